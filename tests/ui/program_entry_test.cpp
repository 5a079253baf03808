// The desktop program's entry run once, started with Qt options on its command line and a style
// in the environment, from a folder it has to keep its settings in. A plain program: the entry
// makes its own QApplication.
#include <QApplication>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <cstdio>

#include "ui/program.h"
#include "ui_test_support.h"

int main() {
  varnet::test::PinTestPlatform();
  qputenv("QT_STYLE_OVERRIDE", "windows");
  varnet::test::TempDir start, elsewhere;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(start.path());

  varnet::RealClock clock;
  varnet::ProgramHooks hooks;
  hooks.createPlatform = [&clock] { return std::make_unique<varnet::VirtualMidiPlatform>(clock); };
  QStringList seen;  // arguments, layout direction, style, title as the window system got them
  hooks.beforeShow = [&](varnet::MainWindow& window) {
    QTimer::singleShot(0, &window, [&] {
      seen << QCoreApplication::arguments().join(' ')
           << (QGuiApplication::isRightToLeft() ? "right-to-left" : "left-to-right")
           << (QApplication::style()->name().compare("windows", Qt::CaseInsensitive) == 0
                   ? "style asked for"
                   : "own style")
           << window.windowHandle()->title();
      // A file chosen meanwhile moves the process elsewhere; the settings stay where they were.
      std::filesystem::current_path(elsewhere.path());
      window.close();
    });
  };
  std::string args[] = {"varnet-update", "-reverse", "-style",      "windows",
                        "-qwindowtitle", "Other",    "firmware.jtg"};
  char* argv[] = {args[0].data(), args[1].data(), args[2].data(), args[3].data(),
                  args[4].data(), args[5].data(), args[6].data(), nullptr};
  const int code = varnet::RunDesktopProgram(7, argv, hooks);
  std::filesystem::current_path(before);

  const QStringList expected{"varnet-update", "left-to-right", "own style",
                             "Varnet Update Tool 1.0"};
  std::error_code error;
  const bool settingsAtStart = std::filesystem::file_size(start.path() / "ini.upd", error) == 100;
  const bool settingsElsewhere = std::filesystem::exists(elsewhere.path() / "ini.upd");
  if (code == 0 && seen == expected && settingsAtStart && !settingsElsewhere) return 0;
  std::fprintf(stderr, "exit code %d, seen [%s], settings in the start folder %d, elsewhere %d\n",
               code, qPrintable(seen.join(", ")), settingsAtStart, settingsElsewhere);
  return 1;
}
