// The settings file "ini.upd" in the start directory: the two port indices and the device type.
#pragma once

#include <cstdint>
#include <string>

#include "io/file_io.h"

namespace varnet {

struct Settings {
  int32_t& inputDeviceIndex;   // owned by MidiPorts
  int32_t& outputDeviceIndex;  // owned by MidiPorts
  uint8_t& deviceType;         // 0 "Kestrin", 1 "Varnet", 0xFF no selection
};

constexpr const char* kSettingsFileName = "ini.upd";
constexpr uint32_t kSettingsFileSize = 100;

// 1 when a valid file was read and the three values were set, else 0 (nothing changed).
int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);
// LoadSettings, or where there is no valid file, port 0 for both and device type 0, as a first
// start has them. True when the values came from the file.
bool LoadSettingsOrDefaults(const std::string& startDirectory, FileBuffer& buffer,
                            Settings settings);
// 1 when all 100 bytes were written, else 0. Never leaves a truncated file behind.
int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings);

}  // namespace varnet
