#include "cli/ports.h"

#include <ostream>

#include "cli/names.h"
#include "midi/port_scan.h"

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

bool FollowStoredPort(MidiPlatform& platform, PortSide side, const StoredPort& stored,
                      int32_t& index, std::ostream& err) {
  const bool input = side == PortSide::In;
  std::vector<PresentPort> present;
  for (PortIdentity& id : PortIdentities(platform, input)) {
    present.push_back({std::move(id.fullName), std::move(id.systemId)});
  }
  const PortMatch match = FindStoredPort(stored, present, PortNames(platform, input));
  if (match.result == PortMatch::Result::NotStored) return true;
  if (match.result == PortMatch::Result::Found) {
    index = match.index;
    return true;
  }
  const char* word = input ? "input" : "output";
  err << "Error!: " << kSettingsFileName << " keeps the " << word << " port "
      << (stored.shownName.empty() ? "" : "\"" + PrintableName(stored.shownName) + "\" ")
      << "(stored index " << index << "), ";
  std::vector<int32_t> listed = match.candidates;
  switch (match.result) {
    case PortMatch::Result::NoneMatch:
      err << "which is none of the ports present; the " << word << " ports:\n";
      listed.clear();
      for (uint32_t i = 0; i < PortCount(platform, side); ++i) {
        listed.push_back(static_cast<int32_t>(i));
      }
      break;
    case PortMatch::Result::Several:
      err << "which " << match.candidates.size() << " ports present could be; they are:\n";
      break;
    default:
      err << "under a name an earlier version shortened, which does not say which "
             "port it was; ports that fit it:\n";
      break;
  }
  for (const int32_t i : listed) {
    err << "  " << SideWord(side) << " " << i << ": " << PortName(platform, side, i) << "\n";
  }
  if (listed.empty()) err << "  (none)\n";
  err << "Choose the " << word << " port with --" << SideWord(side) << " INDEX (or in "
      << "the window's MIDI I/O dialog, which stores it again)\n";
  return false;
}

}  // namespace varnet
