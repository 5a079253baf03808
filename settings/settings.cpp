#include "settings/settings.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace varnet {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[6] = {'u', 'p', 'd', 'i', 'n', 'i'};
constexpr uint32_t kMinValidSize = 11;  // only bytes 0..8 are used, yet 10 bytes are too few

fs::path SettingsPath(const std::string& startDirectory) {
  return fs::path(startDirectory) / kSettingsFileName;
}

}  // namespace

int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  // Only the first bytes mean anything: a huge file in its place costs no more than a valid one.
  if (!ReadWholeFile(SettingsPath(startDirectory).string(), buffer, nullptr,
                     kSettingsFileSize + 1)) {
    return 0;
  }
  if (buffer.bytesRead < kMinValidSize) return 0;
  if (!std::equal(std::begin(kMagic), std::end(kMagic), buffer.data.begin())) return 0;
  settings.inputDeviceIndex = buffer.data[6];
  settings.outputDeviceIndex = buffer.data[7];
  settings.deviceType = buffer.data[8];
  return 1;
}

int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  buffer.writeSize = kSettingsFileSize;
  buffer.writeData.assign(kSettingsFileSize, 0);
  std::copy(std::begin(kMagic), std::end(kMagic), buffer.writeData.begin());
  buffer.writeData[6] = static_cast<uint8_t>(settings.inputDeviceIndex & 0xFF);
  buffer.writeData[7] = static_cast<uint8_t>(settings.outputDeviceIndex & 0xFF);
  buffer.writeData[8] = settings.deviceType;

  // Replaced whole or left as it was (a full disk or a crash never leaves part of a file); a
  // read-only file is kept, a link is written through, and a folder that takes no new file
  // still lets the file itself be rewritten.
  FileWriteOptions options;
  options.rewriteInPlaceWhenFolderRefuses = true;
  options.writeNonRegular = false;  // the program's exit must never wait on a FIFO
  const std::vector<uint8_t> bytes(buffer.writeData.begin(),
                                   buffer.writeData.begin() + buffer.writeSize);
  if (!WriteFileAtomically(SettingsPath(startDirectory).string(), bytes, options)) {
    buffer.bytesWritten = 0;
    return 0;
  }
  buffer.bytesWritten = buffer.writeSize;
  return 1;
}

bool LoadSettingsOrDefaults(const std::string& startDirectory, FileBuffer& buffer,
                            Settings settings) {
  if (LoadSettings(startDirectory, buffer, settings) != 0) return true;
  settings.inputDeviceIndex = 0;
  settings.outputDeviceIndex = 0;
  settings.deviceType = 0;
  return false;
}

}  // namespace varnet
