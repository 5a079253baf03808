#include "engine/stream_estimate.h"

#include <algorithm>

#include "engine/engine.h"

namespace varnet {

namespace {

constexpr uint64_t kPieceMs = 10;
constexpr uint64_t kHeaderBytes = 10;  // F0 ... 11, before the first data byte

// The encoder packs three symbols to a byte and starts each send with an empty byte, so the
// length of a send depends only on how many symbols it carries and on how it ends (see
// encoder.cpp): a send cut by a pause after k symbols takes k/3 full bytes plus, for one or two
// symbols left over, a single ending (1 byte) or a double ending (2 bytes); the last send ends
// with the tail byte. Counting this way needs neither the send buffer nor the log, so an estimate
// of a large file costs nothing beyond its payload; the tests check it against the encoder's own
// run (RecordUpdateStream).
uint64_t CutSendBytes(uint64_t symbols) {
  return symbols / 3 + symbols % 3;
}
uint64_t LastSendBytes(uint64_t symbols) {
  return symbols / 3 + 1;
}

void AddSend(StreamEstimate& estimate, uint64_t bytes, uint64_t pieceSize) {
  estimate.encodedBytes += bytes;
  ++estimate.sends;
  estimate.sendingMs += kPieceMs * ((bytes + pieceSize - 1) / pieceSize);
}

}  // namespace

StreamEstimate EstimateStream(const std::vector<uint8_t>& payload, uint32_t payloadLength,
                              uint32_t pieceSize) {
  const uint64_t piece = std::clamp<uint64_t>(pieceSize, 1, kPieceCapacity);
  StreamEstimate estimate{{{0x10, 20, 0}, {0x20, 40, 0}, {0x40, 115, 0}, {0x80, 15000, 0}}};
  const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(payloadLength, payload.size()));
  if (length > 0) estimate.firstByteHasPauseCode = PauseForCode(payload[0]) != 0;
  // A pause code at position p ends the send before p's symbol; position 0's is never acted on.
  uint32_t sendStart = 0;
  for (uint32_t position = 1; position < length; ++position) {
    const uint32_t pause = PauseForCode(payload[position]);
    if (pause == 0) continue;
    for (PauseCount& count : estimate.pauses) {
      if (count.pauseMs == pause) ++count.bytes;
    }
    AddSend(estimate, CutSendBytes(position - sendStart), piece);
    if ((kHeaderBytes + estimate.encodedBytes) % 3 != 0) ++estimate.pausesHeldByUsb;
    estimate.pausingMs += pause;
    sendStart = position;
  }
  AddSend(estimate, LastSendBytes(length - sendStart), piece);
  return estimate;
}

StreamEstimate EstimateStream(const FirmwareImage& image, uint32_t pieceSize) {
  return EstimateStream(image.PayloadBuffer, image.payloadLength, pieceSize);
}

}  // namespace varnet
