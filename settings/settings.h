// The settings file "ini.upd" in the start directory: the two port indices and the device type.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "io/file_io.h"

namespace varnet {

// The names of the chosen ports, kept so that a port is found again when a device started
// before it has moved its index. Empty: not known.
struct StoredPortNames {
  std::string input;
  std::string output;
};

struct Settings {
  int32_t& inputDeviceIndex;   // owned by MidiPorts
  int32_t& outputDeviceIndex;  // owned by MidiPorts
  uint8_t& deviceType;         // 0 "Kestrin", 1 "Varnet", 0xFF no selection
  // Optional. Load fills it (both empty when the file holds no names); save stores it.
  StoredPortNames* names = nullptr;
  // Optional: the slower transfer chosen in the window's Options menu. Load sets it (false
  // when the file does not say); save stores it. Kept in the file's last 4 bytes, which
  // programs that know only the indices and names leave zero and never read.
  bool* slowTransfer = nullptr;
};

constexpr const char* kSettingsFileName = "ini.upd";
constexpr uint32_t kSettingsFileSize = 100;

// Longest port name the file keeps (the MIDI layer's names are no longer); a longer one is not
// stored, and the port is then found by its index alone.
constexpr std::size_t kStoredPortNameLength = 31;

// 1 when a valid file was read and the three values were set, else 0 (nothing changed).
int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);
// LoadSettings, or where there is no valid file, port 0 for both and device type 0, as a first
// start has them. True when the values came from the file.
bool LoadSettingsOrDefaults(const std::string& startDirectory, FileBuffer& buffer,
                            Settings settings);
// 1 when all 100 bytes were written, else 0. Never leaves a truncated file behind.
int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);

// The port a stored choice means among the ports present (`names`, by index): the stored index
// while it still carries the stored name (or no name was stored), else the port that now carries
// that name, else the stored index as it is.
int32_t ChoosePort(int32_t storedIndex, const std::string& storedName,
                   const std::vector<std::string>& names);
// The name of port `index` in `names`, or empty when there is no such port.
std::string PortNameAt(const std::vector<std::string>& names, int32_t index);

}  // namespace varnet
