// What a converter receives during an update of a loaded firmware, obtained by running the
// engine's own sending path (stream header, encoder, sender, end byte) against a port that
// records every long message and completes it at once, on virtual time. Both `export` and the
// stream figures of `inspect` come from here, so they cannot disagree with a real update.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/clock.h"
#include "engine/firmware.h"

namespace varnet {

struct StreamRecording {
  std::vector<uint8_t> wire;  // header, encoded stream and end byte, in the order sent
  uint32_t headerBytes = 0;
  uint32_t streamBytes = 0;  // the encoded stream alone
  uint32_t endBytes = 0;
  uint32_t streamPieces = 0;  // long messages of up to 32 bytes carrying the stream
  uint32_t streamSends = 0;   // runs of the stream between pauses
  Clock::Duration
      streamTime{};  // from the stream's first piece to the end of its last piece's 10 ms
  Clock::Duration pauseTime{};   // the part of streamTime spent in the payload's pauses
  Clock::Duration updateTime{};  // from the header to the end byte's 10 ms
  std::string problem;           // empty when the whole stream went out and matches the log
};

// Runs the sending path for `image` (its SendBuffer and counters are used as in an update).
// false when the stream could not be recorded whole; `problem` then says why. Without
// `keepBytes` only the figures are kept and `wire` stays empty. `pieceSize`: as Engine::pieceSize.
bool RecordUpdateStream(FirmwareImage& image, StreamRecording& recording, bool keepBytes = true,
                        uint32_t pieceSize = 32);

}  // namespace varnet
