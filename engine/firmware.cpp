#include "engine/firmware.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <limits>
#include <memory>
#include <new>
#include <system_error>

namespace varnet {

namespace {

// The stream header (10 bytes) and the closing 0xF7 are logged besides the encoded payload.
constexpr size_t kSentLogOverhead = 11;

constexpr uint8_t kMagic[3] = {'J', 'T', 'G'};
constexpr uint8_t kFormat[3] = {0x07, 0x08, 0x01};

}  // namespace

int ParseFirmwareImage(const FileBuffer& buffer, FirmwareImage& image, FirmwareBlocks blocks) {
  const uint32_t available =
      std::min<uint32_t>(buffer.bytesRead, static_cast<uint32_t>(buffer.data.size()));
  if (available <= 50) return -1;
  const uint8_t* bytes = buffer.data.data();
  if (!std::equal(std::begin(kMagic), std::end(kMagic), bytes)) return -1;
  if (!std::equal(std::begin(kFormat), std::end(kFormat), bytes + 4)) return -1;

  const uint32_t payloadLength = (uint32_t{bytes[7]} << 24) | (uint32_t{bytes[8]} << 16) |
                                 (uint32_t{bytes[9]} << 8) | uint32_t{bytes[10]};
  // A length beyond the bytes actually read would copy past the file; refusing it here also
  // keeps a forged length in the gigabytes from ever being allocated.
  if (payloadLength > available - kFirmwareHeaderSize) return -1;

  // Build the new blocks aside so that the image stays untouched if an allocation fails.
  std::vector<uint8_t> payload;
  std::vector<uint8_t> send;
  std::vector<uint8_t> sentLog;
  try {
    payload.assign(bytes + kFirmwareHeaderSize, bytes + kFirmwareHeaderSize + payloadLength);
    if (blocks == FirmwareBlocks::ForUpdate) {
      send.assign(std::max<size_t>(payloadLength, kMinSendBufferSize), 0x40);
      sentLog.assign(std::max<size_t>(size_t{payloadLength} + kSentLogOverhead, kMinSentLogSize),
                     0);
    }
  } catch (const std::bad_alloc&) {
    return -1;
  }

  image.converterKind = bytes[3];
  image.payloadLength = payloadLength;
  image.PayloadBuffer.swap(payload);
  image.SendBuffer.swap(send);
  image.SentLog.swap(sentLog);
  return 0;
}

}  // namespace varnet
