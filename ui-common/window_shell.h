// What both desktop windows do with the program's records, whichever toolkit draws them: the
// records at start (buffers, settings, ports found again by name), the command table, loading the
// file the user chose, the close question, and the records at the end. The Qt window (ui/) and
// the native Windows window (ui-win32/) keep only their controls, painting and timers.
#pragma once

#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/engine.h"
#include "engine/session_log.h"
#include "io/file_io.h"
#include "midi/midi_ports.h"

namespace varnet {

// The shell's own records, owned by the program's entry (or a test).
struct ShellState {
  std::string startDirectory;  // current directory at start: where the settings file lives
  std::string firmwarePath;    // empty: no firmware loaded
  std::string firmwareTitle;
  uint8_t deviceType = 0;  // 0 "Kestrin", 1 "Varnet", 0xFF none selected
};

// The records a desktop window runs on, made in the order the engine needs them.
struct WindowRecords {
  // Opens the session log named by VARNET_LOG, the same JSON Lines record varnet-flash --log
  // writes; a log that cannot be opened is reported on stderr and the window runs without it.
  WindowRecords(MidiPlatform& platform, Prompts& prompts);

  RealClock clock;
  MidiLayer midi;
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine;
  SessionLog sessionLog;
};

// The commands behind the buttons and the menu, as each window carries them out.
class WindowCommands {
 public:
  virtual void OnSelectFile() = 0;
  virtual void OnRunUpdateCommand() = 0;
  virtual void ConfirmAndClose() = 0;
  virtual void ShowAboutBox() = 0;
  virtual void OnMidiIo() = 0;

 protected:
  ~WindowCommands() = default;
};

// Command `index` (command id - 50) of the table; an index outside it, or one without a
// command, does nothing.
void DispatchWindowCommand(int index, WindowCommands& commands);

// The records at start: the MIDI layer's, the buffers at their first size, the settings file (or
// its defaults) with the ports found again by their stored names, no firmware, and the port
// names the window paints.
void StartWindowRecords(Engine& engine, FileBuffer& fileBuffer, ShellState& shell, WindowRef owner);

// Loads the file the user chose. One that cannot be read or is not firmware is reported and
// leaves no firmware loaded, so the title field never names a file Run Update would not send.
void LoadChosenFirmware(Engine& engine, FileBuffer& fileBuffer, ShellState& shell,
                        const std::string& path, const std::string& title, WindowRef owner);

// The box text for a chosen file that could not be read, around the system's `reason`.
std::string UnreadableFileText(const std::string& reason);

// Quit, the title-bar button and Alt+F4: while a session holds the ports the user is asked
// first (`questionOpen` is set meanwhile). True when the window goes on closing.
bool UserAgreesToClose(Engine& engine, bool& questionOpen, WindowRef owner);

// The about box over `owner`.
void ShowAbout(Engine& engine, WindowRef owner);

// Writes the settings file: the chosen ports by index and name, and the device type.
void SaveWindowSettings(Engine& engine, FileBuffer& fileBuffer, ShellState& shell);

// Lets go of the ports by the one release path and returns the buffers to the system; they are
// not used again in this run.
void ReleaseWindowRecords(Engine& engine, FileBuffer& fileBuffer);

}  // namespace varnet
