#include "engine/firmware_file.h"

#include <algorithm>
#include <cerrno>
#include <system_error>

namespace varnet {

FirmwareLoad LoadFirmwareFile(const std::string& path, FileBuffer& buffer, FirmwareImage& image,
                              FirmwareBlocks blocks) {
  FirmwareLoad load;
  if (!ReadWholeFile(path, buffer, &load.reason)) {
    load.status = FirmwareLoadStatus::Unreadable;
  } else if (ParseFirmwareImage(buffer, image, blocks) != 0) {
    const bool tooLarge = RefusedForWantOfMemory(buffer);
    load.status = tooLarge ? FirmwareLoadStatus::TooLarge : FirmwareLoadStatus::NotValid;
    load.reason = tooLarge ? std::generic_category().message(ENOMEM) : FirmwareNotValidLine();
  } else {
    image.sourcePath = path;
  }
  return load;
}

std::string FirmwareNotValidLine() {
  std::string text = kFirmwareNotValidText;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

bool RefusedForWantOfMemory(const FileBuffer& buffer) {
  const uint32_t available =
      std::min<uint32_t>(buffer.bytesRead, static_cast<uint32_t>(buffer.data.size()));
  constexpr uint32_t kSmallestValid = 51;
  if (available < kSmallestValid) return false;
  // The loader's own checks on the header alone: the same bytes with a declared length of 0,
  // which needs no memory to take in.
  FileBuffer header;
  header.data.assign(buffer.data.begin(), buffer.data.begin() + kSmallestValid);
  std::fill(header.data.begin() + 7, header.data.begin() + kFirmwareHeaderSize, 0);
  header.size = header.bytesRead = kSmallestValid;
  FirmwareImage scratch;
  if (ParseFirmwareImage(header, scratch) != 0) return false;
  const uint8_t* bytes = buffer.data.data();
  const uint32_t declared = (uint32_t{bytes[7]} << 24) | (uint32_t{bytes[8]} << 16) |
                            (uint32_t{bytes[9]} << 8) | uint32_t{bytes[10]};
  return declared <= available - kFirmwareHeaderSize;
}

}  // namespace varnet
