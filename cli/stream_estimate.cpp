#include "cli/stream_estimate.h"

#include <algorithm>

namespace varnet {

namespace {

constexpr uint64_t kPieceBytes = 32;
constexpr uint64_t kPieceMs = 10;

uint32_t PauseMsFor(uint8_t payloadByte) {
  switch (payloadByte & 0xF0) {
    case 0x10:
      return 20;
    case 0x20:
      return 40;
    case 0x40:
      return 115;
    case 0x80:
      return 15000;
    default:
      return 0;
  }
}

uint64_t PiecesOf(uint64_t sendBytes) {
  return (sendBytes + kPieceBytes - 1) / kPieceBytes;
}

}  // namespace

StreamEstimate EstimateStream(const std::vector<uint8_t>& payload, uint32_t payloadLength) {
  StreamEstimate estimate{{{0x10, 20, 0}, {0x20, 40, 0}, {0x40, 115, 0}, {0x80, 15000, 0}}};
  const uint32_t length = std::min<uint64_t>(payloadLength, payload.size());
  if (length > 0) estimate.firstByteHasPauseCode = PauseMsFor(payload[0]) != 0;

  // Three symbols fill one byte; a pause ends the current send early, and the stream ends with
  // one more (tail) byte.
  uint64_t sendBytes = 0;
  uint32_t slot = 0;
  for (uint32_t position = 0; position < length; ++position) {
    const uint32_t pause = position + 1 < length ? PauseMsFor(payload[position + 1]) : 0;
    if (slot == 2) ++sendBytes;  // the third symbol completes the byte
    if (pause == 0) {
      slot = (slot + 1) % 3;
      continue;
    }
    for (PauseCount& count : estimate.pauses) {
      if (count.pauseMs == pause) ++count.bytes;
    }
    // After a first symbol its byte goes alone, after a second with an extra zero byte; after a
    // third nothing is added, the full byte was counted above.
    sendBytes += slot == 0 ? 1 : slot == 1 ? 2 : 0;
    slot = 0;
    estimate.encodedBytes += sendBytes;
    estimate.sendingMs += PiecesOf(sendBytes) * kPieceMs;
    estimate.pausingMs += pause;
    ++estimate.sends;
    sendBytes = 0;
  }
  ++sendBytes;  // the tail
  estimate.encodedBytes += sendBytes;
  estimate.sendingMs += PiecesOf(sendBytes) * kPieceMs;
  ++estimate.sends;
  return estimate;
}

}  // namespace varnet
