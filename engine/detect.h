// Finding converters without knowing their ports: the identify request of the handshake goes out
// on every output in turn, and a reply that passes the handshake's checks on any input pairs that
// input with the output.
#pragma once

#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "midi/platform.h"
#include "midi/port_scan.h"

namespace varnet {

struct FoundConverter {
  uint32_t input = 0;
  uint32_t output = 0;
  uint8_t kind = 0;  // kKindAD or kKindDA
};

struct DetectReport {
  std::vector<FoundConverter> found;   // by output, then input
  uint32_t outputsAsked = 0;           // outputs the request went out on
  std::vector<UnusablePort> unusable;  // ports that could not be opened, or refused the request
};

// Sends the identify request on each output and listens on every input for the handshake's
// wait. Blocks for about 510 ms per output. No update session may hold the ports meanwhile.
DetectReport DetectConverters(MidiPlatform& platform, Clock& clock);

}  // namespace varnet
