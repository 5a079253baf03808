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

}  // namespace

std::string UnreadableFileText(const std::string& reason) {
  // The system's words alone ("not a regular file", "Permission denied") say neither what was
  // being done nor what to do about it.
  return "The chosen file could not be read (" + reason +
         "). Please select a firmware file that can be read.";
}

WindowRecords::WindowRecords(MidiPlatform& platform, Prompts& prompts)
    : midi(platform, prompts), engine(image, midi, clock, prompts) {
  if (const char* logPath = std::getenv("VARNET_LOG"); logPath != nullptr && *logPath != '\0') {
    std::string logError;
    if (!sessionLog.open(logPath, engine, logError)) {
      std::fprintf(stderr, "varnet-update: VARNET_LOG %s: %s\n", logPath, logError.c_str());
    }
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
  StoredPortNames storedNames;
  if (LoadSettingsOrDefaults(shell.startDirectory, fileBuffer,
                             Settings{ports.inputDeviceIndex, ports.outputDeviceIndex,
                                      shell.deviceType, &storedNames})) {
    // A device started before the converter moves the indices; the names find its ports again.
    MidiPlatform& platform = engine.midi->platform;
    ports.inputDeviceIndex =
        ChoosePort(ports.inputDeviceIndex, storedNames.input, PortNames(platform, true));
    ports.outputDeviceIndex =
        ChoosePort(ports.outputDeviceIndex, storedNames.output, PortNames(platform, false));
  }
  shell.firmwarePath.clear();
  shell.firmwareTitle.clear();
  RefreshDeviceNames(*engine.midi, ports.inputDeviceIndex, ports.outputDeviceIndex, owner);
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
  MidiPorts& ports = engine.midi->ports;
  MidiPlatform& platform = engine.midi->platform;
  StoredPortNames chosenNames{PortNameAt(PortNames(platform, true), ports.inputDeviceIndex),
                              PortNameAt(PortNames(platform, false), ports.outputDeviceIndex)};
  SaveSettings(
      shell.startDirectory, fileBuffer,
      Settings{ports.inputDeviceIndex, ports.outputDeviceIndex, shell.deviceType, &chosenNames});
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
