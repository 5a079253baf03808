#include "engine/stream_estimate.h"

#include <algorithm>
#include <chrono>

#include "engine/engine.h"
#include "engine/firmware.h"
#include "engine/stream_recording.h"

namespace varnet {

namespace {

uint64_t WholeMs(Clock::Duration duration) {
  return static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(duration).count());
}

}  // namespace

StreamEstimate EstimateStream(FirmwareImage& image) {
  StreamEstimate estimate{{{0x10, 20, 0}, {0x20, 40, 0}, {0x40, 115, 0}, {0x80, 15000, 0}}};
  const std::vector<uint8_t>& payload = image.PayloadBuffer;
  const uint32_t length =
      static_cast<uint32_t>(std::min<uint64_t>(image.payloadLength, payload.size()));
  if (length > 0) estimate.firstByteHasPauseCode = PauseForCode(payload[0]) != 0;
  for (uint32_t position = 1; position < length; ++position) {
    const uint32_t pause = PauseForCode(payload[position]);
    for (PauseCount& count : estimate.pauses) {
      if (pause != 0 && count.pauseMs == pause) ++count.bytes;
    }
  }

  // The stream's length and timing come from running the update's own sending path on a
  // recording port, so they are exact rather than counted a second way; the port only counts,
  // so a large file's stream is never held in memory for it.
  StreamRecording recording;
  RecordUpdateStream(image, recording, false);
  estimate.encodedBytes = recording.streamBytes;
  estimate.sends = recording.streamSends;
  estimate.pausingMs = WholeMs(recording.pauseTime);
  estimate.sendingMs = WholeMs(recording.streamTime - recording.pauseTime);
  return estimate;
}

StreamEstimate EstimateStream(const std::vector<uint8_t>& payload, uint32_t payloadLength) {
  FirmwareImage scratch;
  const uint32_t length = static_cast<uint32_t>(std::min<uint64_t>(payloadLength, payload.size()));
  scratch.payloadLength = length;
  scratch.PayloadBuffer.assign(payload.begin(), payload.begin() + length);
  scratch.SendBuffer.assign(std::max<std::size_t>(length, kMinSendBufferSize), 0x40);
  scratch.SentLog.assign(std::max<std::size_t>(std::size_t{length} + 11, kMinSentLogSize), 0);
  return EstimateStream(scratch);
}

}  // namespace varnet
