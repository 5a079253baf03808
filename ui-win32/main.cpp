// varnet-update.exe: the desktop window on Windows, without Qt, on the machine's MIDI services
// (winmm). The program takes no command line and writes no file besides ini.upd.
#include <windows.h>

#include <memory>

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
  const std::unique_ptr<MidiPlatform> platform = CreateSystemMidiPlatform();
  WindowRecords records(*platform, prompts);

  Win32Window window(instance, records.engine, records.fileBuffer, startDirectory);
  if (!window.Create()) return 0;
  MSG message = {};
  while (GetMessageA(&message, nullptr, 0, 0) > 0) {
    TranslateMessage(&message);
    DispatchMessageA(&message);
  }
  return static_cast<int>(message.wParam);
}
