// The ALSA sequencer backend of the MIDI platform: the sequencer ports of other clients as
// devices. Without a kernel sequencer (no /dev/snd/seq) it simply has no devices.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "midi/platform.h"

namespace varnet {

// Result codes of this backend: the base ORed with the library's error number.
constexpr uint32_t kAlsaResultBase = 0x410000;
inline bool IsAlsaResult(uint32_t result) {
  return (result & 0xFF0000) == kAlsaResultBase;
}

// Device names are made to fit in `nameRoom` bytes (less than the layer keeps when another
// backend's list puts a tag in front of them), and to stay apart within each list.
std::unique_ptr<MidiPlatform> CreateAlsaMidiPlatform(
    const std::string& clientName = "varnet-update", std::size_t nameRoom = kMidiNameLength - 1);

// The library's text (snd_strerror) for a result of this backend, the standard texts otherwise.
std::string AlsaResultText(uint32_t result);

// Empty when the kernel sequencer can be opened; otherwise why not, naming the device file
// ("/dev/snd/seq: No such file or directory").
std::string AlsaSequencerUnavailableReason();

// A sequencer client that publishes one writable and one readable port for others to connect
// to (the simulated converter's side). Received System Exclusive bytes and short messages arrive
// on the client's reader thread.
class AlsaPublishedPorts {
 public:
  using Received = std::function<void(const uint8_t* data, std::size_t size)>;
  // Creates client `name` with ports "<name> in" and "<name> out". Null and *error (a negative
  // library error number) when the sequencer cannot be opened.
  static std::unique_ptr<AlsaPublishedPorts> Open(const std::string& name, Received received,
                                                  int* error);
  virtual ~AlsaPublishedPorts() = default;
  // Sends bytes to every subscriber as System Exclusive event(s) of at most 256 bytes.
  virtual bool send(const uint8_t* data, std::size_t size) = 0;
};

}  // namespace varnet
