// varnet-update: the desktop program. The entry owns every record of the run and hands them to
// the main window by reference.
#include <QApplication>
#include <filesystem>
#include <memory>
#include <new>
#include <system_error>

#include "engine/engine.h"
#include "engine/firmware.h"
#include "midi/clock.h"
#include "midi/midi_ports.h"
#include "midi/system_platform.h"
#include "ui/file_chooser.h"
#include "ui/main_window.h"
#include "ui/qt_prompts.h"

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
  window->show();
  return QApplication::exec();
}
