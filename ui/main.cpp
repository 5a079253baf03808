// varnet-update: the desktop program on the machine's MIDI services (the entry itself is
// ui/program.cpp).
#include <QCoreApplication>
#include <QEvent>
#include <QTimer>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <string>

#include "midi/port_locks.h"
#include "midi/system_platform.h"
#include "ui/main_window.h"
#include "ui/program.h"

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
  varnet::ProgramHooks hooks;
  // An update holds its ports alone: another update or a `detect` cannot open them meanwhile.
  hooks.createPlatform = [] {
    return varnet::LockPorts(varnet::CreateSystemMidiPlatform(), "varnet-update");
  };
  std::unique_ptr<FirstPaintProbe> probe;
  if (const char* launch = std::getenv("VARNET_STARTUP_PROBE")) {
    hooks.beforeShow = [&probe, launch](varnet::MainWindow& window) {
      probe = std::make_unique<FirstPaintProbe>(window, std::atoll(launch));
      QCoreApplication::instance()->installEventFilter(probe.get());
    };
  }
  return varnet::RunDesktopProgram(argc, argv, hooks);
}
