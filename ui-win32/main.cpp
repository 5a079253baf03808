// varnet-update.exe: the desktop window on Windows, without Qt, on the machine's MIDI services
// (winmm). The program takes no command line and writes no file besides ini.upd.
#include <windows.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include "core/clock.h"
#include "engine/engine.h"
#include "engine/firmware.h"
#include "engine/session_log.h"
#include "midi/midi_ports.h"
#include "midi/system_platform.h"
#include "ui-win32/main_window.h"
#include "ui-win32/win32_prompts.h"

int WINAPI WinMain(HINSTANCE instance, HINSTANCE, LPSTR, int) {
  using namespace varnet;
  // The settings file is read from and written back to the folder the program started in,
  // whatever folder the open-file dialog visits meanwhile.
  char startDirectory[1024] = {};
  GetCurrentDirectoryA(1020, startDirectory);

  Win32Prompts prompts;
  RealClock clock;
  const std::unique_ptr<MidiPlatform> platform = CreateSystemMidiPlatform();
  MidiLayer midi(*platform, prompts);
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine(image, midi, clock, prompts);
  // VARNET_LOG=FILE: the same JSON Lines record of each session as varnet-flash --log writes.
  SessionLog sessionLog;
  if (const char* logPath = std::getenv("VARNET_LOG"); logPath != nullptr && *logPath != '\0') {
    std::string logError;
    if (!sessionLog.open(logPath, engine, logError)) {
      std::fprintf(stderr, "varnet-update: VARNET_LOG %s: %s\n", logPath, logError.c_str());
    }
  }

  Win32Window window(instance, engine, fileBuffer, startDirectory);
  if (!window.Create()) return 0;
  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
