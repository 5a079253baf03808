// Helpers for the desktop program's tests: a pinned offscreen platform, a watcher that answers
// modal boxes and dialogs, scripted file choices, firmware files and a window with its records.
#pragma once

#include <QElapsedTimer>
#include <QList>
#include <QMessageBox>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "engine/engine.h"
#include "engine/firmware.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "sim/converter.h"
#include "ui/file_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_prompts.h"

class QDialog;
class QImage;

namespace varnet::test {

// Pins the platform, scale and DPI so that pixels are the same on every machine. Call before
// the QApplication exists.
void PinTestPlatform();

struct SeenBox {
  QString text;
  QString caption;
  QMessageBox::Icon icon = QMessageBox::NoIcon;
  QWidget* owner = nullptr;      // the box's parent widget; nullptr: no owner
  bool closedByProgram = false;  // went away without an answer from the watcher
};

// Answers modal boxes from a polling timer, in the order they appear. Never asserts: a test
// checks what was seen after the fact.
class BoxWatcher final : public QObject {
 public:
  BoxWatcher();
  // The next box is answered with `button` once it has been open for `delayMs`. A box that the
  // program closes itself before that uses up its answer.
  void answer(QMessageBox::StandardButton button, int delayMs = 0);
  // Dialogs that are not message boxes (the port dialog) are handed to this.
  void onDialog(std::function<void(QDialog&)> handler) { dialogHandler_ = std::move(handler); }

  const QList<SeenBox>& seen() const { return seen_; }
  QStringList texts() const;
  int pendingAnswers() const { return static_cast<int>(script_.size()); }

 private:
  void poll();

  struct Scripted {
    QMessageBox::StandardButton button;
    int delayMs;
  };
  QTimer timer_;
  std::deque<Scripted> script_;
  QList<SeenBox> seen_;
  QPointer<QWidget> current_;
  bool answering_ = false;  // current_ is waiting for its scripted answer
  qint64 currentSince_ = 0;
  std::function<void(QDialog&)> dialogHandler_;
};

class ScriptedFileChooser final : public FileChooser {
 public:
  std::optional<ChosenFile> chooseFirmwareFile(QWidget* owner,
                                               const std::string& initialPath) override;
  std::deque<std::optional<std::filesystem::path>> next;  // nullopt: the user cancels
  std::vector<std::string> initialPaths;                  // what each call was given
};

// A temporary folder removed at the end of the test.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::filesystem::path& path() const { return path_; }

 private:
  std::filesystem::path path_;
};

// Writes a firmware file: "JTG", kind, 07 08 01, big-endian length, payload.
void WriteFirmwareFile(const std::filesystem::path& file, uint8_t kind,
                       const std::vector<uint8_t>& payload);
// `symbols` payload bytes without pause codes.
std::vector<uint8_t> PlainPayload(std::size_t symbols);

// Real time, except that a long sleep (the firmware's 15 s pause) can be held: while `hold` is
// set, a sleep of more than a second blocks until release(), and once released every such sleep
// returns at once, so a test can act inside a 15 s pause without waiting it out.
class HeldPauseClock final : public Clock {
 public:
  static constexpr Duration kLong = std::chrono::seconds(1);

  TimePoint now() override { return real_.now(); }
  void sleepUntil(TimePoint deadline) override {
    if (!skipLong(deadline)) real_.sleepUntil(deadline);
  }
  void sleepUntilPrecisely(TimePoint deadline, const std::function<bool()>& settled) override {
    if (!skipLong(deadline)) real_.sleepUntilPrecisely(deadline, settled);
  }
  bool waitFor(const std::function<bool()>& ready, Duration timeout) override {
    return real_.waitFor(ready, timeout);
  }
  void notify() override { real_.notify(); }

  void release() { released_.store(true); }
  std::atomic<bool> hold{false};
  std::atomic<bool> holding{false};  // a long sleep is being held now

 private:
  bool skipLong(TimePoint deadline) {
    if (!hold.load() || deadline - now() <= kLong) return false;
    holding.store(true);
    while (!released_.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    holding.store(false);
    return true;
  }
  RealClock real_;
  std::atomic<bool> released_{false};
};

// The longest time the user-interface thread went without processing events, in real time: a
// 10 ms timer that only fires when the event loop (the window's, or a box's) runs.
class UiStallMeter final : public QObject {
 public:
  void start();
  void stop() { timer_.stop(); }
  qint64 longestMs() const { return longestMs_; }

 private:
  QTimer timer_;
  QElapsedTimer since_;
  qint64 longestMs_ = 0;
};

// A window on the virtual MIDI platform with the simulated converter behind it, on a real
// clock (the window's own timer is real) whose long pauses a test may hold.
struct WindowRig {
  explicit WindowRig(VirtualPlatformConfig config = {}, sim::ConverterConfig converterConfig = {},
                     bool createWindow = true);
  ~WindowRig();
  void CreateWindow();

  TempDir dir;
  HeldPauseClock clock;
  sim::SimulatedConverter converter;
  VirtualMidiPlatform platform;
  QtPrompts prompts;
  MidiLayer midi;
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine;
  ShellState shell;
  ScriptedFileChooser files;
  std::unique_ptr<MainWindow> window;
};

// Pixels of the client area as the user sees them (background, status and controls).
QImage GrabClient(MainWindow& window);
bool IsBright(QRgb pixel);
// Bounding box of the bright (text) pixels inside `area`; empty when there are none.
QRect BrightBox(const QImage& image, const QRect& area);
// Number of leading pixels of row `y`, from x = 27, that have the bar's colour in that row.
int BarPixels(const QImage& image, int y);

}  // namespace varnet::test

// main() for one QTest class with the platform pinned before the application starts.
#define VARNET_QT_TEST_MAIN(TestClass)      \
  int main(int argc, char** argv) {         \
    varnet::test::PinTestPlatform();        \
    QApplication app(argc, argv);           \
    TestClass test;                         \
    return QTest::qExec(&test, argc, argv); \
  }
