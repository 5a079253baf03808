// The native Windows window: one fixed 400 x 240 client area under the menu bar, its controls,
// the commands behind the buttons and the menu, painting with the program's bitmaps, and the
// window side of the update session (button captions and states, the 200 ms timer, repaints).
#pragma once

#include <windows.h>

#include <cstdint>
#include <string>

#include "engine/engine.h"
#include "engine/session.h"
#include "io/file_io.h"
#include "ui-common/window_shell.h"

namespace varnet {

// Fonts, bitmaps and child controls of the main window; null until made, null again after.
struct Win32Resources {
  HFONT textFont = nullptr;
  HFONT controlFont = nullptr;
  HBITMAP backgroundBitmap = nullptr;
  HBITMAP progressBitmap = nullptr;
  HWND selectFileButton = nullptr;
  HWND runUpdateButton = nullptr;
  HWND deviceTypeCombo = nullptr;
  HWND fileTitleEdit = nullptr;
};

class Win32Window final : public SessionView, public WindowCommands {
 public:
  Win32Window(HINSTANCE instance, Engine& engine, FileBuffer& fileBuffer,
              std::string startDirectory);
  ~Win32Window() override;

  // Registers the class and creates the window (the create sequence runs inside). A failure
  // has been shown to the user; the entry then ends with 0.
  bool Create();
  HWND handle() const { return window_; }

  // SessionView.
  void setRunUpdateCaption(const std::string& caption) override;
  void setRunUpdateEnabled(bool enabled) override;
  void setSelectFileEnabled(bool enabled) override;
  void invalidateProgress() override;
  bool startProgressTimer() override;
  void killProgressTimer() override;
  void paintNow() override;

 private:
  static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
  static void CALLBACK TimerProc(HWND window, UINT message, UINT_PTR id, DWORD time);
  LRESULT Handle(UINT message, WPARAM wParam, LPARAM lParam);

  bool CreateSequence();
  int CreateControls();
  void DestroyControls();
  void LoadGraphics();
  void ReleaseGraphics();
  void DestroySequence();
  void PaintBackground(HDC dc) const;
  void PaintStatus(HDC dc) const;

  // WindowCommands.
  void OnSelectFile() override;
  void OnRunUpdateCommand() override;
  void ConfirmAndClose() override;
  void ShowAboutBox() override;
  void OnMidiIo() override;

  void CloseWhenSessionStopped();

  HINSTANCE instance_;
  HWND window_ = nullptr;
  Engine& engine_;
  FileBuffer& fileBuffer_;
  ShellState shell_;  // the settings file's folder, whatever folder the file dialog visits
  Win32Resources resources_;
  UpdateSession session_;
  bool closeQuestionOpen_ = false;
  bool closing_ = false;
  bool ended_ = false;
};

// The MIDI port dialog (resource "MyMidiDialog") over `owner`: 1 after OK, 0 after Cancel.
int RunWin32PortDialog(HINSTANCE instance, MidiLayer& midi, HWND owner);

}  // namespace varnet
