// Device names as the port layer keeps them: at most kMidiNameLength - 1 bytes and a terminator.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "midi/platform.h"

namespace varnet {

// The longest name the layer keeps.
constexpr std::size_t kMidiNameRoom = kMidiNameLength - 1;

// The first `room` bytes of `name`, never ending inside a UTF-8 sequence.
std::string CutName(std::string_view name, std::size_t room = kMidiNameRoom);

// `from`, cut to fit, NUL-terminated and zero-filled, as inGetDevCaps / outGetDevCaps give it.
void CopyDeviceName(std::string_view from, char (&name)[kMidiNameLength]);
// The same for a backend that keeps its devices' names in a list: MMSYSERR_BADDEVICEID past the
// end of the list.
uint32_t CopyDeviceName(const std::vector<std::string>& names, uint32_t device,
                        char (&name)[kMidiNameLength]);

// A port's name in its two parts: the client (the device or program that has the port) and the
// port's own part, which tells the ports of one client apart; `joiner` stands between them
// (":" in JACK's "client:port").
struct PortNameParts {
  std::string client;
  std::string joiner;
  std::string own;
};

// The name of one port in at most `room` bytes. A name too long loses the end of its client part
// ("USB MIDI Interf..:midi_capture_1"), or, when the port's own part alone is too long, the middle
// of that, so that the end, where ports of one device usually differ, stays.
std::string FitPortName(const PortNameParts& port, std::size_t room = kMidiNameRoom);

// The names of one listing, each fitted as above; where two still look the same, the later ones
// end in " #2", " #3", ... so that no two names of the listing are alike.
std::vector<std::string> FitPortNames(const std::vector<PortNameParts>& ports,
                                      std::size_t room = kMidiNameRoom);

}  // namespace varnet
