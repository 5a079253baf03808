#include "settings/settings.h"

#include <algorithm>
#include <array>
#include <filesystem>
#include <vector>

namespace varnet {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[6] = {'u', 'p', 'd', 'i', 'n', 'i'};
constexpr uint32_t kMinValidSize = 11;  // only bytes 0..8 are used, yet 10 bytes are too few

// The chosen ports' records live in the bytes after the device type, which programs that know
// only the indices leave zero and never read: a marker with a version, one record per port, and
// a check byte over all of it, so that stray bytes there are never taken for a record. Version 1
// kept the two shown names only; version 2 keeps a kind byte per port, then for an identity the
// two hashes (little-endian) and a shown name, for a name only that name. At most bytes 9 to 94:
// the bytes from kKeptFrom on belong to other settings.
constexpr std::size_t kRecordsAt = 9;
constexpr uint8_t kNamesMarker[2] = {'p', 'n'};
constexpr uint8_t kNamesVersion = 1;
constexpr uint8_t kRecordsVersion = 2;
constexpr std::size_t kKeptFrom = 96;

// The transfer options: a marker with a version and a byte of flags, in bytes 96..99, past
// anything the names block can reach.
constexpr std::size_t kOptionsAt = kKeptFrom;
constexpr uint8_t kOptionsMarker[3] = {'t', 'o', 1};
constexpr uint8_t kSlowTransferFlag = 0x01;

bool ReadSlowTransfer(const uint8_t* bytes, std::size_t size) {
  if (size < kOptionsAt + sizeof kOptionsMarker + 1 ||
      !std::equal(std::begin(kOptionsMarker), std::end(kOptionsMarker), bytes + kOptionsAt)) {
    return false;
  }
  return (bytes[kOptionsAt + sizeof kOptionsMarker] & kSlowTransferFlag) != 0;
}

uint8_t RecordsCheck(const uint8_t* bytes, std::size_t count) {
  uint8_t sum = 0x5A;
  for (std::size_t i = 0; i < count; ++i) sum = static_cast<uint8_t>(sum * 31 + bytes[i]);
  return sum;
}

// Reads bytes off the block; every read says whether the bytes were there.
struct BlockReader {
  const uint8_t* bytes;
  std::size_t size;
  std::size_t at;

  bool byte(uint8_t& value) {
    if (at >= size) return false;
    value = bytes[at++];
    return true;
  }
  template <typename T>
  bool number(T& value) {
    if (at + sizeof(T) > size) return false;
    value = 0;
    for (std::size_t i = 0; i < sizeof(T); ++i) value |= static_cast<T>(bytes[at + i]) << (8 * i);
    at += sizeof(T);
    return true;
  }
  bool text(std::size_t longest, std::string& value) {
    uint8_t length = 0;
    if (!byte(length) || length > longest || at + length > size) return false;
    value.assign(reinterpret_cast<const char*>(bytes + at), length);
    at += length;
    return value.find('\0') == std::string::npos;
  }
};

bool ReadRecord(BlockReader& reader, uint8_t version, StoredPort& port) {
  port = {};
  if (version == kNamesVersion) {
    if (!reader.text(kStoredPortNameLength, port.shownName)) return false;
    if (!port.shownName.empty()) port.kind = StoredPort::Kind::ShownName;
    return true;
  }
  uint8_t kind = 0;
  if (!reader.byte(kind)) return false;
  switch (static_cast<StoredPort::Kind>(kind)) {
    case StoredPort::Kind::None:
      return true;
    case StoredPort::Kind::Identity:
      port.kind = StoredPort::Kind::Identity;
      return reader.number(port.nameHash) && reader.number(port.systemHash) &&
             reader.text(kStoredShownNameLength, port.shownName);
    case StoredPort::Kind::ShownName:
      port.kind = StoredPort::Kind::ShownName;
      return reader.text(kStoredPortNameLength, port.shownName) && !port.shownName.empty();
  }
  return false;
}

// Reads the records from `bytes` (the file's first `size` bytes); false when there are none or
// they do not hold together.
bool ReadRecords(const uint8_t* bytes, std::size_t size, StoredPorts& ports) {
  size = std::min(size, kKeptFrom);
  BlockReader reader{bytes, size, kRecordsAt};
  uint8_t marker[2] = {};
  uint8_t version = 0;
  if (!reader.byte(marker[0]) || !reader.byte(marker[1]) || !reader.byte(version) ||
      !std::equal(std::begin(kNamesMarker), std::end(kNamesMarker), marker) ||
      (version != kNamesVersion && version != kRecordsVersion)) {
    return false;
  }
  StoredPorts found;
  if (!ReadRecord(reader, version, found.input) || !ReadRecord(reader, version, found.output)) {
    return false;
  }
  uint8_t check = 0;
  if (!reader.byte(check) ||
      check != RecordsCheck(bytes + kRecordsAt, reader.at - 1 - kRecordsAt)) {
    return false;
  }
  ports = found;
  return true;
}

// The first `room` bytes of `text`, never ending inside a UTF-8 sequence.
std::string CutText(const std::string& text, std::size_t room) {
  if (text.size() <= room) return text;
  std::size_t end = room;
  while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80) --end;
  return text.substr(0, end);
}

void WriteText(const std::string& text, std::size_t longest, std::vector<uint8_t>& bytes,
               std::size_t& at) {
  std::string cut = CutText(text, longest);
  cut.erase(std::find(cut.begin(), cut.end(), '\0'), cut.end());
  bytes[at++] = static_cast<uint8_t>(cut.size());
  for (char c : cut) bytes[at++] = static_cast<uint8_t>(c);
}

void WriteRecords(const StoredPorts& ports, std::vector<uint8_t>& bytes) {
  if (ports.input.kind == StoredPort::Kind::None && ports.output.kind == StoredPort::Kind::None) {
    return;  // the file stays as the index-only layout
  }
  std::size_t at = kRecordsAt;
  for (uint8_t b : kNamesMarker) bytes[at++] = b;
  bytes[at++] = kRecordsVersion;
  for (const StoredPort* port : {&ports.input, &ports.output}) {
    bytes[at++] = static_cast<uint8_t>(port->kind);
    if (port->kind == StoredPort::Kind::Identity) {
      for (std::size_t i = 0; i < 8; ++i)
        bytes[at++] = static_cast<uint8_t>(port->nameHash >> (8 * i));
      for (std::size_t i = 0; i < 4; ++i) {
        bytes[at++] = static_cast<uint8_t>(port->systemHash >> (8 * i));
      }
      WriteText(port->shownName, kStoredShownNameLength, bytes, at);
    } else if (port->kind == StoredPort::Kind::ShownName) {
      WriteText(port->shownName, kStoredPortNameLength, bytes, at);
    }
  }
  bytes[at] = RecordsCheck(bytes.data() + kRecordsAt, at - kRecordsAt);
}

fs::path SettingsPath(const std::string& startDirectory) {
  return fs::path(startDirectory) / kSettingsFileName;
}

// Why a file that is there cannot be the settings file, or empty when it can.
std::string Unusable(const FileBuffer& buffer) {
  if (buffer.bytesRead < kMinValidSize) {
    return "only " + std::to_string(buffer.bytesRead) + " bytes, fewer than a settings file has";
  }
  if (!std::equal(std::begin(kMagic), std::end(kMagic), buffer.data.begin())) {
    return "it does not begin with \"updini\"";
  }
  return {};
}

uint64_t NameHash(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ULL;  // FNV-1a
  for (char c : text) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 0x100000001b3ULL;
  }
  return hash;
}

uint32_t SystemHash(const std::string& text) {
  if (text.empty()) return 0;
  const uint64_t hash = NameHash(text);
  const auto folded = static_cast<uint32_t>(hash ^ (hash >> 32));
  return folded == 0 ? 1 : folded;  // 0 means "none"
}

// What an earlier version's shown name may stand for. `shortened` when it may be a cut or
// shortened form of a longer name ("start..end", cut at the layer's room, or alike names told
// apart by position with " #n"); `fits` then says whether `full` could be that longer name.
struct ShownNamePattern {
  bool shortened = false;
  std::string head, tail;

  explicit ShownNamePattern(std::string shown) {
    if (const std::size_t hash = shown.rfind(" #");
        hash != std::string::npos && hash + 2 < shown.size() &&
        shown.find_first_not_of("0123456789", hash + 2) == std::string::npos) {
      shown.erase(hash);
      shortened = true;
    }
    if (const std::size_t dots = shown.find(".."); dots != std::string::npos) {
      head = shown.substr(0, dots);
      tail = shown.substr(dots + 2);
      shortened = true;
    } else {
      head = shown;
      // A name cut at the room, perhaps before a character that did not fit whole.
      shortened = shortened || shown.size() + 3 >= kStoredPortNameLength;
    }
  }
  bool fits(const std::string& full) const {
    return full.starts_with(head) && full.find(tail, head.size()) != std::string::npos;
  }
};

}  // namespace

int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  if (settings.ignoredReason != nullptr) settings.ignoredReason->clear();
  const fs::path path = SettingsPath(startDirectory);
  const auto ignored = [&](const std::string& reason) {
    if (settings.ignoredReason != nullptr) *settings.ignoredReason = reason;
    return 0;
  };
  // Only the first bytes mean anything: a huge file in its place costs no more than a valid one.
  std::string readError;
  if (!ReadWholeFile(path.string(), buffer, &readError, kSettingsFileSize + 1)) {
    std::error_code ec;
    // No file is a first start, not a fault; a dangling link is one.
    if (!fs::exists(fs::symlink_status(path, ec))) return 0;
    return ignored(readError);
  }
  if (const std::string why = Unusable(buffer); !why.empty()) return ignored(why);
  settings.inputDeviceIndex = buffer.data[6];
  settings.outputDeviceIndex = buffer.data[7];
  settings.deviceType = buffer.data[8];
  if (settings.ports != nullptr) {
    const std::size_t size = std::min<std::size_t>(buffer.bytesRead, kSettingsFileSize);
    if (!ReadRecords(buffer.data.data(), size, *settings.ports)) *settings.ports = {};
  }
  if (settings.slowTransfer != nullptr) {
    const std::size_t size = std::min<std::size_t>(buffer.bytesRead, kSettingsFileSize);
    *settings.slowTransfer = ReadSlowTransfer(buffer.data.data(), size);
  }
  return 1;
}

int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  // The last bytes belong to settings this code does not know: what a valid file there holds in
  // them stays.
  std::array<uint8_t, kSettingsFileSize - kKeptFrom> kept{};
  {
    FileBuffer previous;
    if (ReadWholeFile(SettingsPath(startDirectory).string(), previous, nullptr,
                      kSettingsFileSize) &&
        previous.bytesRead >= kSettingsFileSize && Unusable(previous).empty()) {
      std::copy_n(previous.data.begin() + kKeptFrom, kept.size(), kept.begin());
    }
  }
  buffer.writeSize = kSettingsFileSize;
  buffer.writeData.assign(kSettingsFileSize, 0);
  std::copy(std::begin(kMagic), std::end(kMagic), buffer.writeData.begin());
  buffer.writeData[6] = static_cast<uint8_t>(settings.inputDeviceIndex & 0xFF);
  buffer.writeData[7] = static_cast<uint8_t>(settings.outputDeviceIndex & 0xFF);
  buffer.writeData[8] = settings.deviceType;
  if (settings.ports != nullptr) WriteRecords(*settings.ports, buffer.writeData);
  std::copy(kept.begin(), kept.end(), buffer.writeData.begin() + kKeptFrom);
  if (settings.slowTransfer != nullptr) {
    // Only a choice away from the default is written, and flags this code does not know stay;
    // with no flag left the bytes are as a file that never chose anything has them.
    uint8_t* options = buffer.writeData.data() + kOptionsAt;
    uint8_t& flags = options[sizeof kOptionsMarker];
    const bool marked = std::equal(std::begin(kOptionsMarker), std::end(kOptionsMarker), options);
    if (*settings.slowTransfer) {
      if (!marked) flags = 0;
      std::copy(std::begin(kOptionsMarker), std::end(kOptionsMarker), options);
      flags |= kSlowTransferFlag;
    } else if (marked) {
      flags &= static_cast<uint8_t>(~kSlowTransferFlag);
      if (flags == 0) std::fill_n(options, sizeof kOptionsMarker, 0);
    }
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

StoredPort StorePort(const PresentPort& port, const std::string& shownName) {
  if (port.fullName.empty()) return {};
  // Too long a shown name loses its middle: its end is where ports of one device differ.
  std::string shown = shownName;
  if (shown.size() > kStoredShownNameLength) {
    std::string head = CutText(shown, kStoredShownNameLength / 3);
    std::size_t from = shown.size() - (kStoredShownNameLength - head.size() - 2);
    while (from < shown.size() && (static_cast<unsigned char>(shown[from]) & 0xC0) == 0x80) ++from;
    shown = head + ".." + shown.substr(from);
  }
  return {StoredPort::Kind::Identity, NameHash(port.fullName), SystemHash(port.systemId), shown};
}

PortMatch FindStoredPort(const StoredPort& stored, const std::vector<PresentPort>& present,
                         const std::vector<std::string>& shown) {
  PortMatch match;
  if (stored.kind == StoredPort::Kind::None) return match;
  std::vector<int32_t> named;
  for (std::size_t i = 0; i < present.size(); ++i) {
    const PresentPort& port = present[i];
    // An earlier version's name that was not shortened is what the list still shows for that
    // port: names that would look alike are shown apart, never under that name.
    bool same = false;
    if (port.fullName.empty()) continue;
    if (stored.kind == StoredPort::Kind::Identity) {
      same = NameHash(port.fullName) == stored.nameHash;
    } else {
      same =
          port.fullName == stored.shownName || (!ShownNamePattern(stored.shownName).shortened &&
                                                i < shown.size() && shown[i] == stored.shownName);
    }
    if (same) named.push_back(static_cast<int32_t>(i));
  }
  if (named.size() > 1 && stored.systemHash != 0) {
    std::vector<int32_t> same;
    for (int32_t i : named) {
      if (SystemHash(present[static_cast<std::size_t>(i)].systemId) == stored.systemHash) {
        same.push_back(i);
      }
    }
    if (same.size() == 1) named = same;
  }
  if (named.size() == 1) {
    match.result = PortMatch::Result::Found;
    match.index = named.front();
    return match;
  }
  if (named.empty() && stored.kind == StoredPort::Kind::ShownName) {
    // A shortened name may stand for a port that is gone as well as for the ones that fit it:
    // it never chooses a port by itself.
    const ShownNamePattern pattern(stored.shownName);
    if (pattern.shortened) {
      for (std::size_t i = 0; i < present.size(); ++i) {
        if (pattern.fits(present[i].fullName)) named.push_back(static_cast<int32_t>(i));
      }
      match.result = PortMatch::Result::Uncertain;
      match.candidates = std::move(named);
      return match;
    }
  }
  match.result = named.empty() ? PortMatch::Result::NoneMatch : PortMatch::Result::Several;
  match.candidates = std::move(named);
  return match;
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
