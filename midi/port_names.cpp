#include "midi/port_names.h"

#include <algorithm>
#include <set>

namespace varnet {

namespace {

// Marks where a name was shortened. Plain ASCII: names end up in settings files and terminals.
constexpr std::string_view kShortened = "..";

bool IsContinuationByte(char c) {
  return (static_cast<unsigned char>(c) & 0xC0) == 0x80;
}

// The last `room` bytes of `name` at most, never starting inside a UTF-8 sequence.
std::string_view LastPart(std::string_view name, std::size_t room) {
  std::size_t start = name.size() > room ? name.size() - room : 0;
  while (start < name.size() && IsContinuationByte(name[start])) ++start;
  return name.substr(start);
}

// `name` with its middle left out; the start gets a third of the room, the end the rest.
std::string CutMiddle(std::string_view name, std::size_t room) {
  if (name.size() <= room) return std::string(name);
  if (room <= kShortened.size()) return CutName(name, room);
  const std::size_t left = room - kShortened.size();
  std::string head = CutName(name, left / 3);
  const std::string_view tail = LastPart(name, left - head.size());
  return head.append(kShortened).append(tail);
}

}  // namespace

std::string CutName(std::string_view name, std::size_t room) {
  if (name.size() <= room) return std::string(name);
  std::size_t end = room;
  // A character cut in half would show as garbage in the window and in settings files.
  while (end > 0 && IsContinuationByte(name[end])) --end;
  return std::string(name.substr(0, end));
}

void CopyDeviceName(std::string_view from, char (&name)[kMidiNameLength]) {
  const std::string cut = CutName(from);
  std::fill(std::copy(cut.begin(), cut.end(), name), std::end(name), '\0');
}

uint32_t CopyDeviceName(const std::vector<std::string>& names, uint32_t device,
                        char (&name)[kMidiNameLength]) {
  if (device >= names.size()) return MMSYSERR_BADDEVICEID;
  CopyDeviceName(names[device], name);
  return MMSYSERR_NOERROR;
}

std::string FitPortName(const PortNameParts& port, std::size_t room) {
  const std::string tail = port.joiner + port.own;
  if (port.client.size() + tail.size() <= room) return port.client + tail;
  // At least one character of the client, so that the name still says whose port it is.
  if (!port.client.empty() && tail.size() + kShortened.size() < room) {
    return CutName(port.client, room - tail.size() - kShortened.size())
        .append(kShortened)
        .append(tail);
  }
  return CutMiddle(port.own.empty() ? port.client : port.own, room);
}

std::vector<std::string> FitPortNames(const std::vector<PortNameParts>& ports, std::size_t room) {
  std::vector<std::string> names;
  std::set<std::string> taken;
  for (const PortNameParts& port : ports) {
    std::string name = FitPortName(port, room);
    for (int n = 2; taken.count(name) != 0; ++n) {
      const std::string suffix = " #" + std::to_string(n);
      name = CutName(FitPortName(port, room), room - std::min(room, suffix.size())) + suffix;
    }
    taken.insert(name);
    names.push_back(std::move(name));
  }
  return names;
}

}  // namespace varnet
