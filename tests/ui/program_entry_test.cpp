// The desktop program's entry run once, as a user would start it: with Qt options on its command
// line and a style in the environment, from a folder it has to keep its settings in.
#include <QApplication>
#include <QStyle>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <filesystem>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/clock.h"
#include "ui/main_window.h"
#include "ui/program.h"
#include "ui_test_support.h"

namespace {

int failures = 0;

void Check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "FAIL: %s\n", what);
  ++failures;
}

}  // namespace

int main() {
  varnet::test::PinTestPlatform();
  // Neither the style named here nor the one on the command line may be taken.
  qputenv("QT_STYLE_OVERRIDE", "windows");
  varnet::test::TempDir start;
  varnet::test::TempDir elsewhere;
  const std::filesystem::path before = std::filesystem::current_path();
  std::filesystem::current_path(start.path());

  varnet::RealClock clock;
  varnet::ProgramHooks hooks;
  hooks.createPlatform = [&clock] { return std::make_unique<varnet::VirtualMidiPlatform>(clock); };
  QStringList arguments;
  Qt::LayoutDirection direction = Qt::RightToLeft;
  QString style;
  QString title;
  hooks.beforeShow = [&](varnet::MainWindow& window) {
    QTimer::singleShot(0, &window, [&] {
      arguments = QCoreApplication::arguments();
      direction = QGuiApplication::layoutDirection();
      style = QApplication::style()->name();
      title = window.windowHandle() != nullptr ? window.windowHandle()->title() : QString();
      // A file chosen meanwhile moves the process elsewhere; the settings stay where they were.
      std::filesystem::current_path(elsewhere.path());
      window.close();
    });
  };
  char program[] = "varnet-update";
  char reverse[] = "-reverse";
  char styleOption[] = "-style";
  char styleName[] = "windows";
  char titleOption[] = "-qwindowtitle";
  char titleText[] = "Other";
  char file[] = "firmware.jtg";
  char* argv[] = {program, reverse, styleOption, styleName, titleOption, titleText, file, nullptr};
  const int code = varnet::RunDesktopProgram(7, argv, hooks);
  std::filesystem::current_path(before);

  Check(code == 0, "exit code 0 after a regular close");
  Check(arguments == QStringList{QStringLiteral("varnet-update")},
        "the program's name is its only argument");
  Check(direction == Qt::LeftToRight, "-reverse is ignored");
  Check(style.compare(QStringLiteral("windows"), Qt::CaseInsensitive) != 0,
        "QT_STYLE_OVERRIDE and -style are ignored");
  Check(title == QStringLiteral("Varnet Update Tool 1.0"), "-qwindowtitle is ignored");
  std::error_code error;
  Check(std::filesystem::file_size(start.path() / "ini.upd", error) == 100,
        "settings in the start folder");
  Check(!std::filesystem::exists(elsewhere.path() / "ini.upd"), "no settings elsewhere");
  return failures == 0 ? 0 : 1;
}
