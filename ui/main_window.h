// The desktop program's one top-level window: a fixed 400 x 240 client area under the menu
// bar, its controls, the commands behind the buttons and the menu, and the window side of the
// update session (button captions and states, the 200 ms progress timer, repaints).
#pragma once

#include <QMainWindow>
#include <QTimer>
#include <QWidget>
#include <cstdint>
#include <string>

#include "engine/session.h"
#include "ui-common/window_shell.h"
#include "ui/painting.h"

class QAction;
class QCloseEvent;
class QKeyEvent;
class QMouseEvent;
class QPaintEvent;

namespace varnet {

class FileChooser;

class MainWindow;

// The client area: paints the background and the status, and holds the controls.
class StatusCanvas final : public QWidget {
 public:
  explicit StatusCanvas(MainWindow& window);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  MainWindow& window_;
};

class MainWindow final : public QMainWindow, public SessionView, public WindowCommands {
 public:
  // Runs the start-up sequence. created() tells whether it succeeded (a failure has been shown).
  MainWindow(Engine& engine, FileBuffer& fileBuffer, ShellState& shell, FileChooser& files);
  ~MainWindow() override;

  bool created() const { return created_; }
  // True once the destroy sequence has run; the window is then hidden and done.
  bool ended() const { return ended_; }
  void setOnEnded(std::function<void()> onEnded) { onEnded_ = std::move(onEnded); }

  // Commands: ids 50 to 200 go to the command table, every other id does nothing.
  void OnCommand(int id);
  void DispatchCommand(int index);
  void ShowSystemError(const std::string& systemText);

  // WindowCommands.
  void OnSelectFile() override;
  void OnRunUpdateCommand() override;
  void ConfirmAndClose() override;
  void ShowAboutBox() override;
  void OnMidiIo() override;

  // SessionView.
  void setRunUpdateCaption(const std::string& caption) override;
  void setRunUpdateEnabled(bool enabled) override;
  void setSelectFileEnabled(bool enabled) override;
  void invalidateProgress() override;
  bool startProgressTimer() override;
  void killProgressTimer() override;
  void paintNow() override;

  UpdateSession& session() { return session_; }
  Engine& engine() { return engine_; }
  const WindowResources& resources() const { return resources_; }
  StatusCanvas* canvas() const { return canvas_; }
  QTimer& progressTimer() { return progressTimer_; }
  StatusSnapshot TakeStatusSnapshot() const;

 protected:
  void closeEvent(QCloseEvent* event) override;
  // Keys and mouse on the window itself do nothing.
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;

 private:
  bool InitApplicationState();
  int CreateControls();
  void DestroyControls();
  void BuildMenu();
  void CloseWhenSessionStopped();
  void DestroySequence();

  Engine& engine_;
  FileBuffer& fileBuffer_;
  ShellState& shell_;
  QAction* slowTransferAction_ = nullptr;  // Options > Slow transfer
  FileChooser& files_;
  WindowResources resources_;
  StatusCanvas* canvas_ = nullptr;
  QTimer progressTimer_;
  UpdateSession session_;
  std::function<void()> onEnded_;
  bool created_ = false;
  bool closeQuestionOpen_ = false;
  bool closing_ = false;
  bool ended_ = false;
};

}  // namespace varnet
