// varnet-update: the desktop program. The entry owns every record of the run and hands them to
// the main window by reference.
#include <QApplication>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "engine/engine.h"
#include "engine/firmware.h"
#include "engine/session_log.h"
#include "midi/clock.h"
#include "midi/midi_ports.h"
#include "midi/system_platform.h"
#include "ui/file_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_prompts.h"

namespace {

// Start-up measurement (scripts/bench): with VARNET_STARTUP_PROBE set to the launch time in
// nanoseconds since the epoch, the program prints the time to the window's first paint and its
// resident memory once that paint is done, then quits.
class FirstPaintProbe final : public QObject {
 public:
  FirstPaintProbe(QWidget& window, long long launchNs) : window_(window), launchNs_(launchNs) {}

  bool eventFilter(QObject* watched, QEvent* event) override {
    if (done_ || event->type() != QEvent::Paint || !watched->isWidgetType()) return false;
    auto* widget = static_cast<QWidget*>(watched);
    if (widget != &window_ && !window_.isAncestorOf(widget)) return false;
    done_ = true;
    const long long now = std::chrono::duration_cast<std::chrono::nanoseconds>(
                              std::chrono::system_clock::now().time_since_epoch())
                              .count();
    const double ms = double(now - launchNs_) / 1e6;
    QTimer::singleShot(0, [ms] {
      std::ifstream status("/proc/self/status");
      std::string line;
      long rssKb = -1;
      while (std::getline(status, line)) {
        if (line.rfind("VmRSS:", 0) == 0) rssKb = std::strtol(line.c_str() + 6, nullptr, 10);
      }
      std::printf("first_paint_ms %.1f\nresident_kb %ld\n", ms, rssKb);
      std::fflush(stdout);
      QCoreApplication::exit(0);
    });
    return false;
  }

 private:
  QWidget& window_;
  long long launchNs_;
  bool done_ = false;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("varnet-update"));
  QApplication::setDesktopFileName(QStringLiteral("varnet-update"));
  // The program ends through its destroy sequence only, never because a box was the last
  // window on screen.
  QApplication::setQuitOnLastWindowClosed(false);

  varnet::ShellState shell;
  // The settings file is read from and written back to the folder the program started in,
  // whatever folder the open-file dialog visits meanwhile.
  std::error_code error;
  shell.startDirectory = std::filesystem::current_path(error).string();

  varnet::QtPrompts prompts;
  varnet::RealClock clock;
  const std::unique_ptr<varnet::MidiPlatform> platform = varnet::CreateSystemMidiPlatform();
  varnet::MidiLayer midi(*platform, prompts);
  varnet::FirmwareImage image;
  varnet::FileBuffer fileBuffer;
  varnet::Engine engine(image, midi, clock, prompts);
  // VARNET_LOG=FILE: the same JSON Lines record of each session as varnet-flash --log writes.
  varnet::SessionLog sessionLog;
  if (const char* logPath = std::getenv("VARNET_LOG"); logPath != nullptr && *logPath != '\0') {
    std::string logError;
    if (!sessionLog.open(logPath, engine, logError)) {
      std::fprintf(stderr, "varnet-update: VARNET_LOG %s: %s\n", logPath, logError.c_str());
    }
  }
  varnet::QtFileChooser files;

  std::unique_ptr<varnet::MainWindow> window;
  try {
    window = std::make_unique<varnet::MainWindow>(engine, fileBuffer, shell, files);
  } catch (const std::bad_alloc&) {
    window.reset();
  }
  if (!window || !window->created()) {
    prompts.showError("Failed to create window...", "Sorry");
    return 0;
  }
  window->setOnEnded([] { QCoreApplication::exit(0); });
  std::unique_ptr<FirstPaintProbe> probe;
  if (const char* launch = std::getenv("VARNET_STARTUP_PROBE")) {
    probe = std::make_unique<FirstPaintProbe>(*window, std::atoll(launch));
    app.installEventFilter(probe.get());
  }
  window->show();
  return QApplication::exec();
}
