// What both desktop windows do with the program's records, whichever toolkit draws them: the
// records at start (buffers, settings, ports found again by their stored identity), the command
// table, loading the file the user chose, the close question, and the records at the end. The Qt
// window (ui/) and the native Windows window (ui-win32/) keep only their controls, painting and
// timers.
#pragma once

#include <cstdint>
#include <string>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/engine.h"
#include "engine/session_log.h"
#include "io/file_io.h"
#include "midi/counting_platform.h"
#include "midi/midi_ports.h"
#include "settings/settings.h"

namespace varnet {

// The shell's own records, owned by the program's entry (or a test).
struct ShellState {
  std::string startDirectory;  // current directory at start: where the settings file lives
  std::string firmwarePath;    // empty: no firmware loaded
  std::string firmwareTitle;
  uint8_t deviceType = 0;     // 0 "Kestrin", 1 "Varnet", 0xFF none selected
  bool slowTransfer = false;  // Options > Slow transfer, kept in the settings file
  // The chosen ports as the settings file kept them, with the indices stored beside them: unless
  // the user chooses ports in the port dialog, they are written back as they were read (an index
  // follows its port where the port was found at another).
  StoredPorts storedPorts;
  int32_t storedInputIndex = 0;
  int32_t storedOutputIndex = 0;
};

// The window's boxes, with the outcome box of a session whose record is incomplete saying so in
// its caption.
class RecordNoticePrompts final : public Prompts {
 public:
  explicit RecordNoticePrompts(Prompts& inner) : inner_(inner) {}
  BoxAnswer showBox(const BoxRequest& request) override;
  void closeSessionQuestions() override { inner_.closeSessionQuestions(); }
  // The next box's caption gets the notice (user-interface thread).
  void noteIncompleteRecord() { pending_ = true; }

 private:
  Prompts& inner_;
  bool pending_ = false;
};

// " (session record incomplete)", added to the caption of the outcome box.
extern const char* const kIncompleteRecordCaption;

// The records a desktop window runs on, made in the order the engine needs them.
struct WindowRecords {
  // Names the session log of VARNET_LOG, the same JSON Lines record varnet-flash --log writes,
  // summary line included. It is opened when the first session starts; a log that is refused or
  // cannot be written is reported on stderr and in the outcome box's caption, and the update goes
  // on without it.
  WindowRecords(MidiPlatform& platform, Prompts& prompts);
  ~WindowRecords();
  WindowRecords(const WindowRecords&) = delete;
  WindowRecords& operator=(const WindowRecords&) = delete;

  RealClock clock;
  RecordNoticePrompts notices;
  CountingPlatform counting;  // for the summary line
  MidiLayer midi;
  FirmwareImage image;
  FileBuffer fileBuffer;
  Engine engine;
  SessionLog sessionLog;

 private:
  void endSessionRecord(bool done, Clock::Duration sessionTime);
  std::string logPath_;
  uint64_t bytesBefore_ = 0;  // counted before this session
  uint64_t messagesBefore_ = 0;
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
// its defaults) with the ports found again by their stored identities, no firmware, and the
// port names the window paints. A kept port that no port present is, or that several could be,
// is reported in a box and left unchosen (-1), so that the port dialog preselects nothing.
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

// Options > Slow transfer: the next update sends in smaller pieces (same bytes and pauses).
// Refused (false, nothing changed) while a session holds the ports: the worker reads the piece
// size as it sends.
bool SetSlowTransfer(Engine& engine, ShellState& shell, bool slow);

// Writes the settings file: the chosen ports by index and identity, the device type and the
// options. A port the user did not choose anew in this run keeps the record it was read with.
void SaveWindowSettings(Engine& engine, FileBuffer& fileBuffer, ShellState& shell);

// Lets go of the ports by the one release path and returns the buffers to the system; they are
// not used again in this run.
void ReleaseWindowRecords(Engine& engine, FileBuffer& fileBuffer);

}  // namespace varnet
