// The settings file "ini.upd" in the start directory: the two port indices and the device type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/file_io.h"

namespace varnet {

// How a chosen port is kept, so that it is found again however the ports present are numbered:
// by its identity (a hash of the MIDI system's full name of the port, and one of what the system
// tells ports of the same name apart by), with the name the list showed for messages. Files of
// an earlier version kept only the shown name, which may be shortened; such a name still finds a
// port when exactly one full name fits it.
struct StoredPort {
  enum class Kind : uint8_t { None = 0, Identity = 1, ShownName = 2 };
  Kind kind = Kind::None;
  uint64_t nameHash = 0;
  uint32_t systemHash = 0;  // 0: the system gave nothing beside the name
  std::string shownName;

  bool operator==(const StoredPort&) const = default;
};

struct StoredPorts {
  StoredPort input;
  StoredPort output;
};

// A port present now, as the MIDI system names it (midi/platform.h PortIdentity).
struct PresentPort {
  std::string fullName;
  std::string systemId;
};

struct Settings {
  int32_t& inputDeviceIndex;   // owned by MidiPorts
  int32_t& outputDeviceIndex;  // owned by MidiPorts
  uint8_t& deviceType;         // 0 "Kestrin", 1 "Varnet", 0xFF no selection
  // Optional. Load fills it (both None when the file keeps no identities); save stores it.
  StoredPorts* ports = nullptr;
  // Optional. Load sets it to why a file that is there was not used ("Is a directory", "only 10
  // bytes"), and leaves it empty when the file was used or there is none.
  std::string* ignoredReason = nullptr;
  // Optional: the slower transfer chosen in the window's Options menu. Load sets it (false
  // when the file does not say); save stores it. Kept in the file's last 4 bytes, which
  // programs that know only the indices and names leave zero and never read.
  bool* slowTransfer = nullptr;
};

constexpr const char* kSettingsFileName = "ini.upd";
constexpr uint32_t kSettingsFileSize = 100;

// Longest shown name the file keeps beside an identity (longer ones are cut: they only appear in
// messages), and the longest an earlier version's name-only record holds.
constexpr std::size_t kStoredShownNameLength = 27;
constexpr std::size_t kStoredPortNameLength = 31;

// 1 when a valid file was read and the three values were set, else 0 (nothing changed).
int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);
// LoadSettings, or where there is no valid file, port 0 for both and device type 0, as a first
// start has them. True when the values came from the file.
bool LoadSettingsOrDefaults(const std::string& startDirectory, FileBuffer& buffer,
                            Settings settings);
// 1 when all 100 bytes were written, else 0. Never leaves a truncated file behind. Bytes 96 to 99
// of the file there, when it is a valid one, are kept as they are.
int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);

// The record of port `port`, shown as `shownName` in the list it was chosen from.
StoredPort StorePort(const PresentPort& port, const std::string& shownName);

struct PortMatch {
  enum class Result {
    NotStored,  // nothing but the index is kept: the index is the choice
    Found,      // exactly one port present is the stored one: `index`
    NoneMatch,  // no port present is
    Several,    // more than one could be: `candidates`
    Uncertain,  // an earlier version's shortened name: `candidates` fit it, but so may a port
                // that is gone
  };
  Result result = Result::NotStored;
  int32_t index = -1;
  std::vector<int32_t> candidates;
};

// Which of the ports present (by index) the stored one is. Where several have the stored full
// name, the one whose system identity matches too is it, if that is one alone.
// `shown` (by index, optional) are the names the list shows now: an earlier version's name that
// was not shortened still finds the one port shown under it.
PortMatch FindStoredPort(const StoredPort& stored, const std::vector<PresentPort>& present,
                         const std::vector<std::string>& shown = {});

}  // namespace varnet
