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

// The names of one listing, each fitted as above. Where two fitted names look the same, each of
// them is shortened anew so that it shows the part of its full name in which the ports of that
// group differ ("converter-rack-left-u..1:out", "..2:out"); ports whose full names are the same
// show their entry of `distinct` (what the MIDI system tells them apart by, the ALSA sequencer's
// "24:0"), where given. Only where even that leaves two alike (nothing else tells them
// apart) do the later ones end in " #2", " #3", ... No two names of the listing are alike.
std::vector<std::string> FitPortNames(const std::vector<PortNameParts>& ports,
                                      std::size_t room = kMidiNameRoom,
                                      const std::vector<std::string>& distinct = {});

// Whether `client` is the MIDI client of an updater that asks for the name `updaterName`: that
// name itself, or with the suffix a JACK server gives a second client of the same name
// ("varnet-update-01"). Its ports belong to a running update and are never offered as devices.
bool IsUpdaterClient(std::string_view client, std::string_view updaterName);

}  // namespace varnet
