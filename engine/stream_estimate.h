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
  uint64_t sendingMs = 0;              // 10 ms per piece of up to 32 bytes (or the piece size)
  uint64_t pausingMs = 0;
  // Pauses after a byte count from the header's F0 that is not a multiple of 3: a USB MIDI 1.0
  // interface carries System Exclusive in 3-byte packets, and its host driver holds the last one
  // or two bytes of such a send until more follow, so the device gets them after the pause.
  uint64_t pausesHeldByUsb = 0;
};

// Counted from the payload alone, as the encoder will cut it into sends and pieces: no stream is
// built and nothing is allocated, so the figures cost nothing for a file of any size. They equal
// what a run of the update's own sending path puts out (RecordUpdateStream).
// `pieceSize`: the bytes per piece the sender uses (Engine::pieceSize).
StreamEstimate EstimateStream(const std::vector<uint8_t>& payload, uint32_t payloadLength,
                              uint32_t pieceSize = 32);
// The same for a loaded image; only its payload is read (the working blocks may be absent).
StreamEstimate EstimateStream(const FirmwareImage& image, uint32_t pieceSize = 32);

}  // namespace varnet
