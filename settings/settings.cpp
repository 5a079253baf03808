#include "settings/settings.h"

#include <algorithm>
#include <filesystem>
#include <vector>

namespace varnet {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[6] = {'u', 'p', 'd', 'i', 'n', 'i'};
constexpr uint32_t kMinValidSize = 11;  // only bytes 0..8 are used, yet 10 bytes are too few

// The port names live in the bytes after the device type, which programs that know only the
// indices leave zero and never read: a marker with a version, each name as a length byte and its
// characters, and a check byte over all of it, so that stray bytes there are never taken for
// names.
constexpr std::size_t kNamesAt = 9;
constexpr uint8_t kNamesMarker[3] = {'p', 'n', 1};

// The transfer options: a marker with a version and a byte of flags, in bytes 96..99, past
// anything the names block can reach.
constexpr std::size_t kOptionsAt = 96;
constexpr uint8_t kOptionsMarker[3] = {'t', 'o', 1};
constexpr uint8_t kSlowTransferFlag = 0x01;

bool ReadSlowTransfer(const uint8_t* bytes, std::size_t size) {
  if (size < kOptionsAt + sizeof kOptionsMarker + 1 ||
      !std::equal(std::begin(kOptionsMarker), std::end(kOptionsMarker), bytes + kOptionsAt)) {
    return false;
  }
  return (bytes[kOptionsAt + sizeof kOptionsMarker] & kSlowTransferFlag) != 0;
}

uint8_t NamesCheck(const uint8_t* bytes, std::size_t count) {
  uint8_t sum = 0x5A;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum * 31 + bytes[i]);
  return sum;
}

// Reads the names block from `bytes` (the file's first `size` bytes); false when there is none or
// it does not hold together.
bool ReadNames(const uint8_t* bytes, std::size_t size, StoredPortNames& names) {
  std::size_t at = kNamesAt;
  if (size < at + sizeof kNamesMarker ||
      !std::equal(std::begin(kNamesMarker), std::end(kNamesMarker), bytes + at)) {
    return false;
  }
  at += sizeof kNamesMarker;
  std::string found[2];
  for (std::string& name : found) {
    if (at >= size) return false;
    const std::size_t length = bytes[at++];
    if (length > kStoredPortNameLength || at + length > size) return false;
    name.assign(reinterpret_cast<const char*>(bytes + at), length);
    if (name.find('\0') != std::string::npos) return false;
    at += length;
  }
  if (at >= size || bytes[at] != NamesCheck(bytes + kNamesAt, at - kNamesAt)) return false;
  names = {found[0], found[1]};
  return true;
}

void WriteNames(const StoredPortNames& names, std::vector<uint8_t>& bytes) {
  const auto fits = [](const std::string& name) {
    return name.size() <= kStoredPortNameLength && name.find('\0') == std::string::npos;
  };
  const std::string input = fits(names.input) ? names.input : "";
  const std::string output = fits(names.output) ? names.output : "";
  if (input.empty() && output.empty()) return;  // the file stays as the index-only layout
  std::size_t at = kNamesAt;
  for (uint8_t b : kNamesMarker) bytes[at++] = b;
  for (const std::string* name : {&input, &output}) {
    bytes[at++] = static_cast<uint8_t>(name->size());
    for (char c : *name) bytes[at++] = static_cast<uint8_t>(c);
  }
  bytes[at] = NamesCheck(bytes.data() + kNamesAt, at - kNamesAt);
}

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
  if (settings.names != nullptr) {
    const std::size_t size = std::min<std::size_t>(buffer.bytesRead, kSettingsFileSize);
    if (!ReadNames(buffer.data.data(), size, *settings.names)) *settings.names = {};
  }
  if (settings.slowTransfer != nullptr) {
    const std::size_t size = std::min<std::size_t>(buffer.bytesRead, kSettingsFileSize);
    *settings.slowTransfer = ReadSlowTransfer(buffer.data.data(), size);
  }
  return 1;
}

int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  buffer.writeSize = kSettingsFileSize;
  buffer.writeData.assign(kSettingsFileSize, 0);
  std::copy(std::begin(kMagic), std::end(kMagic), buffer.writeData.begin());
  buffer.writeData[6] = static_cast<uint8_t>(settings.inputDeviceIndex & 0xFF);
  buffer.writeData[7] = static_cast<uint8_t>(settings.outputDeviceIndex & 0xFF);
  buffer.writeData[8] = settings.deviceType;
  if (settings.names != nullptr) WriteNames(*settings.names, buffer.writeData);
  if (settings.slowTransfer != nullptr && *settings.slowTransfer) {
    // Only a choice away from the default is written: otherwise the file stays as before.
    std::copy(std::begin(kOptionsMarker), std::end(kOptionsMarker),
              buffer.writeData.begin() + kOptionsAt);
    buffer.writeData[kOptionsAt + sizeof kOptionsMarker] = kSlowTransferFlag;
  }

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

int32_t ChoosePort(int32_t storedIndex, const std::string& storedName,
                   const std::vector<std::string>& names) {
  if (storedName.empty() || PortNameAt(names, storedIndex) == storedName) return storedIndex;
  const auto found = std::find(names.begin(), names.end(), storedName);
  if (found == names.end()) return storedIndex;
  return static_cast<int32_t>(found - names.begin());
}

std::string PortNameAt(const std::vector<std::string>& names, int32_t index) {
  if (index < 0 || static_cast<std::size_t>(index) >= names.size()) return {};
  return names[static_cast<std::size_t>(index)];
}

bool LoadSettingsOrDefaults(const std::string& startDirectory, FileBuffer& buffer,
                            Settings settings) {
  if (LoadSettings(startDirectory, buffer, settings) != 0) return true;
  settings.inputDeviceIndex = 0;
  settings.outputDeviceIndex = 0;
  settings.deviceType = 0;
  if (settings.slowTransfer != nullptr) *settings.slowTransfer = false;
  return false;
}

}  // namespace varnet
