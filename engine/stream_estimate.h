// What an update of a loaded payload will put on the wire and how long it will take.
#pragma once

#include <cstdint>
#include <vector>

#include "engine/firmware.h"

namespace varnet {

struct PauseCount {
  uint8_t code;      // 0x10, 0x20, 0x40 or 0x80
  uint32_t pauseMs;  // the pause this code calls for
  uint32_t bytes;    // payload bytes at positions 1 and up that carry it
};

struct StreamEstimate {
  PauseCount pauses[4];
  bool firstByteHasPauseCode = false;  // position 0's code is never acted on
  uint64_t encodedBytes = 0;           // data bytes of the stream, endings and tail included
  uint64_t sends = 0;                  // runs of bytes between pauses
  uint64_t sendingMs = 0;              // 10 ms per piece of up to 32 bytes
  uint64_t pausingMs = 0;
};

// The pause codes are counted from the payload; the stream's bytes, sends and times come from a
// run of the update's own sending path against a recording port (see stream_recording.h).
StreamEstimate EstimateStream(const std::vector<uint8_t>& payload, uint32_t payloadLength);
// The same for a loaded image, run on the image itself: its working buffers and counters are
// used as an update uses them, and no copy of the payload is made.
StreamEstimate EstimateStream(FirmwareImage& image);

}  // namespace varnet
