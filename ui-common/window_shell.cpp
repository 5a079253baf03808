#include "ui-common/window_shell.h"

#include <array>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "engine/firmware_file.h"
#include "engine/session.h"
#include "midi/port_scan.h"
#include "settings/settings.h"
#include "ui-common/window_layout.h"

namespace varnet {

namespace {

enum class Action : uint8_t { None, SelectFile, RunUpdate, Quit, About, MidiIo };

constexpr std::array<Action, kLastCommandId - kFirstCommandId + 1> MakeCommandTable() {
  std::array<Action, kLastCommandId - kFirstCommandId + 1> table{};
  table[IDC_SELECT_FILE - kFirstCommandId] = Action::SelectFile;
  table[IDC_RUN_UPDATE - kFirstCommandId] = Action::RunUpdate;
  table[IDM_QUIT - kFirstCommandId] = Action::Quit;
  table[IDM_ABOUT - kFirstCommandId] = Action::About;
  table[IDM_MIDI_IO - kFirstCommandId] = Action::MidiIo;
  return table;
}
constexpr auto kCommandTable = MakeCommandTable();

void FreeBlock(std::vector<uint8_t>& block) {
  std::vector<uint8_t>().swap(block);
}

std::vector<PresentPort> PresentPorts(MidiPlatform& platform, bool input) {
  std::vector<PresentPort> present;
  for (PortIdentity& id : PortIdentities(platform, input)) {
    present.push_back({std::move(id.fullName), std::move(id.systemId)});
  }
  return present;
}

// The box that says a kept port was not found again, or empty when it was.
std::string PortNotFoundText(const char* word, const StoredPort& stored, const PortMatch& match) {
  const std::string name = stored.shownName.empty() ? "" : " (" + stored.shownName + ")";
  std::string text = std::string("The MIDI ") + word + " chosen before" + name;
  switch (match.result) {
    case PortMatch::Result::NotStored:
    case PortMatch::Result::Found:
      return {};
    case PortMatch::Result::NoneMatch:
      text += " is not among the MIDI ports now.";
      break;
    case PortMatch::Result::Several:
      text += " cannot be told apart from " + std::to_string(match.candidates.size() - 1) +
              " other port(s) now.";
      break;
    case PortMatch::Result::Uncertain:
      text +=
          " was kept by an earlier version under a shortened name, which does not tell "
          "which port it was.";
      break;
  }
  return text + " No " + word + " is chosen: choose one under Options, MIDI I/O.";
}

// The name the window paints for one side, read without the layer's box for a missing port.
void CopyShownName(MidiPlatform& platform, bool input, int32_t index,
                   std::array<char, kNameAreaSize>& area) {
  area.fill('\0');
  char name[kMidiNameLength] = {};
  if (index < 0) return;
  const auto device = static_cast<uint32_t>(index);
  const uint32_t rc =
      input ? platform.inGetDevCaps(device, name) : platform.outGetDevCaps(device, name);
  if (rc != MMSYSERR_NOERROR) return;
  name[kMidiNameLength - 1] = '\0';
  std::copy(std::begin(name), std::end(name), area.begin());
}

}  // namespace

const char* const kIncompleteRecordCaption = " (session record incomplete)";

BoxAnswer RecordNoticePrompts::showBox(const BoxRequest& request) {
  if (!pending_) return inner_.showBox(request);
  pending_ = false;
  BoxRequest noted = request;
  noted.caption += kIncompleteRecordCaption;
  return inner_.showBox(noted);
}

std::string UnreadableFileText(const std::string& reason) {
  // The system's words alone ("not a regular file", "Permission denied") say neither what was
  // being done nor what to do about it.
  return "The chosen file could not be read (" + reason +
         "). Please select a firmware file that can be read.";
}

WindowRecords::WindowRecords(MidiPlatform& platform, Prompts& prompts)
    : notices(prompts),
      counting(platform),
      midi(counting, notices),
      engine(image, midi, clock, notices) {
  if (const char* logPath = std::getenv("VARNET_LOG"); logPath != nullptr && *logPath != '\0') {
    logPath_ = logPath;
    sessionLog.openAtSessionStart(logPath_, engine);
    sessionLog.afterOutcome = [this](const std::string& outcome, Clock::Duration sessionTime) {
      endSessionRecord(outcome == "done", sessionTime);
    };
  }
}

WindowRecords::~WindowRecords() {
  sessionLog.detach();
}

// After the outcome line (user-interface thread, before the outcome box): the summary the command
// line ends its record with, and the one report of a record that could not be kept.
void WindowRecords::endSessionRecord(bool done, Clock::Duration sessionTime) {
  const uint64_t bytes = counting.bytesSent() - bytesBefore_;
  const uint64_t messages = counting.messagesSent() - messagesBefore_;
  bytesBefore_ = counting.bytesSent();
  messagesBefore_ = counting.messagesSent();
  const bool verified = done && !engine.echoMissing;
  sessionLog.write(
      "summary",
      "\"text\":" +
          SessionLog::Quote(SummaryLine(bytes, messages, image.echoVerifiedCount, sessionTime)) +
          ",\"bytes\":" + std::to_string(bytes) + ",\"messages\":" + std::to_string(messages) +
          ",\"echo_verified\":" + std::to_string(image.echoVerifiedCount) +
          ",\"verified\":" + (verified ? "true" : "false"));
  if (const std::string why = sessionLog.takeIncomplete(); !why.empty()) {
    std::fprintf(stderr, "varnet-update: VARNET_LOG %s: the session record is incomplete: %s\n",
                 logPath_.c_str(), why.c_str());
    notices.noteIncompleteRecord();
  }
}

void DispatchWindowCommand(int index, WindowCommands& commands) {
  if (index < 0 || index >= static_cast<int>(kCommandTable.size())) return;
  switch (kCommandTable[static_cast<std::size_t>(index)]) {
    case Action::SelectFile:
      commands.OnSelectFile();
      break;
    case Action::RunUpdate:
      commands.OnRunUpdateCommand();
      break;
    case Action::Quit:
      commands.ConfirmAndClose();
      break;
    case Action::About:
      commands.ShowAboutBox();
      break;
    case Action::MidiIo:
      commands.OnMidiIo();
      break;
    case Action::None:
      break;
  }
}

void StartWindowRecords(Engine& engine, FileBuffer& fileBuffer, ShellState& shell,
                        WindowRef owner) {
  InitMidiPorts(*engine.midi);
  fileBuffer.data.assign(256, 0);
  fileBuffer.writeData.assign(256, 0);
  FirmwareImage& image = engine.image;
  image.PayloadBuffer.assign(256, 0);
  image.SendBuffer.assign(256, 0);
  image.SentLog.assign(256, 0);
  engine.DeviceId = 0x42;

  // Settings come before the port names and the controls, which show what they hold.
  MidiPorts& ports = engine.midi->ports;
  MidiPlatform& platform = engine.midi->platform;
  shell.storedPorts = {};
  const bool loaded = LoadSettingsOrDefaults(
      shell.startDirectory, fileBuffer,
      Settings{ports.inputDeviceIndex, ports.outputDeviceIndex, shell.deviceType,
               &shell.storedPorts, nullptr, &shell.slowTransfer});
  shell.storedInputIndex = ports.inputDeviceIndex;
  shell.storedOutputIndex = ports.outputDeviceIndex;
  std::string notFound;
  if (loaded) {
    // A device started before the converter moves the indices; the identities find its ports
    // again, and a port they do not find for certain is chosen by nobody but the user.
    const auto follow = [&](bool input, const StoredPort& stored, int32_t& index) {
      const PortMatch match =
          FindStoredPort(stored, PresentPorts(platform, input), PortNames(platform, input));
      if (match.result == PortMatch::Result::Found) index = match.index;
      const std::string text = PortNotFoundText(input ? "input" : "output", stored, match);
      if (!text.empty()) {
        index = -1;
        notFound += (notFound.empty() ? "" : "\n\n") + text;
      }
    };
    follow(true, shell.storedPorts.input, ports.inputDeviceIndex);
    follow(false, shell.storedPorts.output, ports.outputDeviceIndex);
  }
  engine.pieceSize = shell.slowTransfer ? kSlowPieceSize : static_cast<uint32_t>(kPieceCapacity);
  shell.firmwarePath.clear();
  shell.firmwareTitle.clear();
  if (notFound.empty()) {
    RefreshDeviceNames(*engine.midi, ports.inputDeviceIndex, ports.outputDeviceIndex, owner);
  } else {
    engine.prompts.showBox(
        {notFound, kSystemErrorCaption, BoxIcon::Warning, BoxButtons::Ok, owner});
    CopyShownName(platform, true, ports.inputDeviceIndex, ports.inputDeviceName);
    CopyShownName(platform, false, ports.outputDeviceIndex, ports.outputDeviceName);
  }
}

void LoadChosenFirmware(Engine& engine, FileBuffer& fileBuffer, ShellState& shell,
                        const std::string& path, const std::string& title, WindowRef owner) {
  FirmwareImage& image = engine.image;
  shell.firmwarePath = path;
  shell.firmwareTitle = title;
  const FirmwareLoad load = LoadFirmwareFile(shell.firmwarePath, fileBuffer, image);
  if (load.loaded()) return;
  if (load.status == FirmwareLoadStatus::Unreadable) {
    engine.prompts.showError(UnreadableFileText(load.reason), kSystemErrorCaption);
    fileBuffer.bytesRead = 0;
  } else {
    engine.prompts.showError(kFileNotValidText, kFileNotValidCaption, owner);
  }
  shell.firmwarePath.clear();
  shell.firmwareTitle.clear();
  image.payloadLength = 0;
  image.progressTotal.store(0);
}

bool UserAgreesToClose(Engine& engine, bool& questionOpen, WindowRef owner) {
  if (engine.midi->ports.sessionPortsOpen.load() != 1) return true;
  questionOpen = true;
  const BoxAnswer answer =
      engine.prompts.showBox({kCloseQuestionText, kCloseQuestionCaption, BoxIcon::Question,
                              BoxButtons::YesNo, owner, true});
  questionOpen = false;
  return answer != BoxAnswer::No;
}

void ShowAbout(Engine& engine, WindowRef owner) {
  engine.prompts.showBox({kAboutText, kAboutCaption, BoxIcon::Information, BoxButtons::Ok, owner});
}

void SaveWindowSettings(Engine& engine, FileBuffer& fileBuffer, ShellState& shell) {
  MidiLayer& midi = *engine.midi;
  MidiPorts& ports = midi.ports;
  int32_t input = ports.inputDeviceIndex;
  int32_t output = ports.outputDeviceIndex;
  StoredPorts records = shell.storedPorts;
  if (midi.portChoices != 0) {
    // The ports the user chose: each recorded by its identity (none where nothing was chosen).
    const auto record = [&](bool isInput, int32_t index, StoredPort& kept) {
      const std::vector<PortIdentity> ids = PortIdentities(midi.platform, isInput);
      const std::vector<std::string> names = PortNames(midi.platform, isInput);
      kept = {};
      if (index < 0 || static_cast<std::size_t>(index) >= ids.size()) return;
      const auto at = static_cast<std::size_t>(index);
      kept = StorePort({ids[at].fullName, ids[at].systemId}, at < names.size() ? names[at] : "");
    };
    record(true, input, records.input);
    record(false, output, records.output);
  } else {
    // Nothing chosen: merely opening and closing the window changes nothing. A kept port that
    // was not found again keeps its index as well as its record.
    if (input < 0) input = shell.storedInputIndex;
    if (output < 0) output = shell.storedOutputIndex;
  }
  SaveSettings(shell.startDirectory, fileBuffer,
               Settings{input, output, shell.deviceType, &records, nullptr, &shell.slowTransfer});
}

bool SetSlowTransfer(Engine& engine, ShellState& shell, bool slow) {
  if (engine.midi != nullptr && engine.midi->ports.sessionPortsOpen.load() == 1) return false;
  shell.slowTransfer = slow;
  engine.pieceSize = slow ? kSlowPieceSize : static_cast<uint32_t>(kPieceCapacity);
  return true;
}

void ReleaseWindowRecords(Engine& engine, FileBuffer& fileBuffer) {
  ReleaseMidiPorts(*engine.midi);
  FirmwareImage& image = engine.image;
  image.payloadLength = 0;
  FreeBlock(fileBuffer.data);
  FreeBlock(fileBuffer.writeData);
  FreeBlock(image.PayloadBuffer);
  FreeBlock(image.SendBuffer);
  FreeBlock(image.SentLog);
}

}  // namespace varnet
