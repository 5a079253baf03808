// What stands on the far side of a virtual port pair: a device that is handed the bytes the host
// sent, with their arrival times, and answers with bytes due at later times. The simulated
// converter is one; the virtual platform knows nothing else of it, so the MIDI layer does not
// depend on the simulator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/clock.h"

namespace varnet {

// Bytes the peer sends back: to be delivered at `due`. With `flush` the host's port returns its
// partly filled input buffer after these bytes.
struct PeerEmission {
  Clock::TimePoint due;
  std::vector<uint8_t> bytes;
  bool flush = false;
};

class VirtualPeer {
 public:
  virtual ~VirtualPeer() = default;

  // Bytes received from the host; byte i arrived at firstArrival + i * spacing.
  virtual void receive(const uint8_t* data, std::size_t count, Clock::TimePoint firstArrival,
                       Clock::Duration spacing) = 0;
  // What the peer sends back, oldest first; each emission is returned once.
  virtual std::vector<PeerEmission> takeEmissions() = 0;
  // False once the host's long messages would no longer complete (a stalled or vanished peer).
  virtual bool completesOutput() const = 0;
};

}  // namespace varnet
