// The MIDI ports as varnet-flash names them: by side and index, as `list` shows them and as
// --in, --out and ini.upd choose them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "midi/platform.h"

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

}  // namespace varnet
