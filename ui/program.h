// The desktop program's entry, apart from main() so that a test can run it once: Qt gets only
// the program's name, the start folder is taken before the window exists, and the window's
// destroy sequence ends the run.
#pragma once

#include <functional>
#include <memory>

#include "midi/platform.h"

namespace varnet {

class MainWindow;

struct ProgramHooks {
  // The machine's MIDI services (a virtual platform in tests).
  std::function<std::unique_ptr<MidiPlatform>()> createPlatform;
  // Called once the window exists, right before it is shown.
  std::function<void(MainWindow&)> beforeShow;
};

// Runs the program and returns its exit code. Of argv only the program's name is used: the
// program has no command line, and Qt's own options (-reverse, -style, -qwindowtitle, ...) are
// not honoured.
int RunDesktopProgram(int argc, char** argv, const ProgramHooks& hooks);

// Qt reads environment variables that change how any Qt program looks and behaves. Removes every
// variable named QT_... except those that connect the program to the display and the desktop
// (QT_QPA_*, QT_PLUGIN_PATH, QT_IM_MODULE, QT_ACCESSIBILITY), the pixel pins of tests and
// headless runs (QT_ENABLE_HIGHDPI_SCALING, QT_SCALE_FACTOR, QT_FONT_DPI) and the diagnostics
// that only print (QT_DEBUG_PLUGINS, QT_LOGGING_RULES). Call before the QApplication exists.
void DropQtEnvironment();

}  // namespace varnet
