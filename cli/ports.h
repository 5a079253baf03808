// The MIDI ports as varnet-flash names them: by side and index, as `list` shows them and as
// --in, --out and ini.upd choose them.
#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>
#include <vector>

#include "midi/platform.h"
#include "settings/settings.h"

namespace varnet {

enum class PortSide { In, Out };

// "in" or "out", as `list` prints it.
const char* SideWord(PortSide side);
uint32_t PortCount(MidiPlatform& platform, PortSide side);
bool PortExists(MidiPlatform& platform, PortSide side, int32_t index);

struct PortEntry {
  uint32_t index = 0;
  std::string name;        // "(name unavailable)" when the service would not say
  bool nameKnown = false;  // the service gave the name
};

// Every port on one side, in index order.
std::vector<PortEntry> ListPorts(MidiPlatform& platform, PortSide side);
// The port's name; "(no such port)" for an index outside the list.
std::string PortName(MidiPlatform& platform, PortSide side, int32_t index);

// Where ini.upd keeps a port: sets `index` to the one port present that the stored identity
// names and returns true (also when nothing was stored). When it names none or several, says so
// on `err` with the candidates and how to choose, and returns false: nothing is guessed.
bool FollowStoredPort(MidiPlatform& platform, PortSide side, const StoredPort& stored,
                      int32_t& index, std::ostream& err);

}  // namespace varnet
