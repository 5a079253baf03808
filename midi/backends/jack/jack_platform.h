// The JACK backend of the MIDI platform: the MIDI ports of a running JACK server as devices.
// One JACK client carries the open input and output; it is connected to the chosen ports.
#pragma once

#include <cstddef>
#include <memory>
#include <string>

#include "midi/platform.h"

namespace varnet {

// Result codes of this backend: the base ORed with the library's status bits, or with
// kJackConnectFailed when a chosen port could not be connected.
constexpr uint32_t kJackResultBase = 0x4A0000;
constexpr uint32_t kJackConnectFailed = 0x8000;
inline bool IsJackResult(uint32_t result) {
  return (result & 0xFF0000) == kJackResultBase;
}

// `clientName` is the name the client asks the server for. Device names are made to fit in
// `nameRoom` bytes (less than the layer keeps when another backend's list puts a tag in front of
// them), and to stay apart within each list.
std::unique_ptr<MidiPlatform> CreateJackMidiPlatform(
    const std::string& clientName = "varnet-update", std::size_t nameRoom = kMidiNameLength - 1);

// The text for a result of this backend (the standard texts for the others).
std::string JackResultText(uint32_t result);

// Empty when a client can reach the JACK server (JACK_DEFAULT_SERVER, or the default one);
// otherwise why not ("no server running"). Never starts a server.
std::string JackUnavailableReason();

}  // namespace varnet
