#include "cli/ports.h"

namespace varnet {

namespace {

PortEntry Entry(MidiPlatform& platform, PortSide side, uint32_t index) {
  char name[kMidiNameLength] = {};
  const uint32_t result = side == PortSide::In ? platform.inGetDevCaps(index, name)
                                               : platform.outGetDevCaps(index, name);
  PortEntry entry;
  entry.index = index;
  entry.nameKnown = result == 0;
  entry.name = entry.nameKnown ? name : "(name unavailable)";
  return entry;
}

}  // namespace

const char* SideWord(PortSide side) {
  return side == PortSide::In ? "in" : "out";
}

uint32_t PortCount(MidiPlatform& platform, PortSide side) {
  return side == PortSide::In ? platform.inGetNumDevs() : platform.outGetNumDevs();
}

bool PortExists(MidiPlatform& platform, PortSide side, int32_t index) {
  return index >= 0 && static_cast<uint32_t>(index) < PortCount(platform, side);
}

std::vector<PortEntry> ListPorts(MidiPlatform& platform, PortSide side) {
  std::vector<PortEntry> entries;
  const uint32_t count = PortCount(platform, side);
  for (uint32_t index = 0; index < count; ++index) entries.push_back(Entry(platform, side, index));
  return entries;
}

std::string PortName(MidiPlatform& platform, PortSide side, int32_t index) {
  if (!PortExists(platform, side, index)) return "(no such port)";
  return Entry(platform, side, static_cast<uint32_t>(index)).name;
}

}  // namespace varnet
