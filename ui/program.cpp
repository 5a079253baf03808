#include "ui/program.h"

#include <QApplication>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <filesystem>
#include <memory>
#include <new>
#include <string>
#include <system_error>

#include "ui/file_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_prompts.h"

namespace varnet {

namespace {

bool KeptQtVariable(const QString& name) {
  static const QStringList kept{
      QStringLiteral("QT_PLUGIN_PATH"),   QStringLiteral("QT_IM_MODULE"),
      QStringLiteral("QT_ACCESSIBILITY"), QStringLiteral("QT_ENABLE_HIGHDPI_SCALING"),
      QStringLiteral("QT_SCALE_FACTOR"),  QStringLiteral("QT_FONT_DPI"),
      QStringLiteral("QT_DEBUG_PLUGINS"), QStringLiteral("QT_LOGGING_RULES"),
  };
  return name.startsWith(QLatin1String("QT_QPA_")) || kept.contains(name);
}

}  // namespace

void DropQtEnvironment() {
  const QStringList names = QProcessEnvironment::systemEnvironment().keys();
  for (const QString& name : names) {
    if (name.startsWith(QLatin1String("QT_")) && !KeptQtVariable(name)) {
      qunsetenv(name.toLocal8Bit().constData());
    }
  }
}

int RunDesktopProgram(int argc, char** argv, const ProgramHooks& hooks) {
  DropQtEnvironment();
  // QApplication keeps a reference to its argument count and vector for the whole run.
  static char fallbackName[] = "varnet-update";
  char* qtArgv[] = {argc > 0 && argv[0] != nullptr ? argv[0] : fallbackName, nullptr};
  int qtArgc = 1;
  QApplication app(qtArgc, qtArgv);
  QApplication::setApplicationName(QStringLiteral("varnet-update"));
  QApplication::setDesktopFileName(QStringLiteral("varnet-update"));
  // The program ends through its destroy sequence only, never because a box was the last
  // window on screen.
  QApplication::setQuitOnLastWindowClosed(false);

  ShellState shell;
  // The settings file is read from and written back to the folder the program started in,
  // whatever folder the open-file dialog visits meanwhile.
  std::error_code error;
  shell.startDirectory = std::filesystem::current_path(error).string();

  QtPrompts prompts;
  const std::unique_ptr<MidiPlatform> platform = hooks.createPlatform();
  WindowRecords records(*platform, prompts);
  QtFileChooser files;

  std::unique_ptr<MainWindow> window;
  try {
    window = std::make_unique<MainWindow>(records.engine, records.fileBuffer, shell, files);
  } catch (const std::bad_alloc&) {
    window.reset();
  }
  if (!window || !window->created()) {
    prompts.showError("Failed to create window...", "Sorry");
    return 0;
  }
  window->setOnEnded([] { QCoreApplication::exit(0); });
  if (hooks.beforeShow) hooks.beforeShow(*window);
  window->show();
  return QApplication::exec();
}

}  // namespace varnet
