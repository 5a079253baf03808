// The parts of the ALSA sequencer backend that need no kernel sequencer: which ports are offered
// as devices, in which order, under which names, and how fast bytes may be handed to a port.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "midi/platform.h"

namespace varnet::alsaseq {

// One sequencer port as the sequencer describes it.
struct SeqPortInfo {
  int client = 0;
  int port = 0;
  std::string clientName;
  std::string portName;
  unsigned capability = 0;  // SND_SEQ_PORT_CAP_* bits
  unsigned type = 0;        // SND_SEQ_PORT_TYPE_* bits
};

enum class Direction { Input, Output };

// The ports another client may be subscribed from (Input: we read what they send) or to
// (Output: we write to them), without the ports of `ownClient`, the system client (timer and
// announce), and ports that do not want to be listed; sorted by client and port number so that
// device numbers stay the same while the set of ports does.
std::vector<SeqPortInfo> SelectDevicePorts(const std::vector<SeqPortInfo>& all, int ownClient,
                                           Direction direction);

// A device name as the port layer shows it: the port's name (the client's when it has none) in
// at most `room` bytes, shortened in the client's part first (midi/port_names.h).
std::string DeviceName(const SeqPortInfo& port, std::size_t room = 31);
// The names of one listing, each at most `room` bytes, no two alike.
std::vector<std::string> DeviceNames(const std::vector<SeqPortInfo>& ports, std::size_t room);

// What names a port for good: "client name:port name" in full, and the sequencer's "client:port"
// numbers, which tell apart two devices of the same names (two identical interfaces).
PortIdentity IdentityOf(const SeqPortInfo& port);

// The longest piece of a System Exclusive stream put into one sequencer event; the kernel splits
// incoming System Exclusive at the same size.
constexpr std::size_t kSysexChunk = 256;

// The MIDI 1.0 wire: 31250 baud, ten bits a byte.
constexpr uint32_t kWireBytesPerSecond = 3125;

// Keeps a port from receiving bytes faster than the wire can carry them away. Bytes are counted
// against time from the moment the port last ran idle, so the spacing never drifts however many
// small messages are sent; a message is released when every byte before it has left the wire,
// so a device's buffer never holds more than one message.
class WirePacer {
 public:
  using Duration = std::chrono::nanoseconds;

  explicit WirePacer(uint32_t bytesPerSecond = kWireBytesPerSecond)
      : bytesPerSecond_(bytesPerSecond) {}

  // `now` is on any monotonic time line the caller keeps. Returns the moment at which `bytes`
  // may be handed to the port (never before `now`) and counts them.
  Duration release(Duration now, std::size_t bytes);

  // The moment at which everything counted so far has left the wire.
  Duration idleAt() const;

 private:
  Duration timeFor(uint64_t bytes) const;

  uint32_t bytesPerSecond_;
  bool running_ = false;
  Duration anchor_{};
  uint64_t bytesSinceAnchor_ = 0;
};

}  // namespace varnet::alsaseq
