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

namespace {

std::string FullName(const PortNameParts& port) {
  return port.client + port.joiner + port.own;
}

// `full` in `room` bytes showing where it differs from the others of its group: the bytes from
// `differsAt` on are kept whole when they fit behind a start of the name, else their start.
std::string ShowDifference(const std::string& full, std::size_t differsAt, std::size_t room) {
  if (full.size() <= room) return full;
  while (differsAt > 0 && IsContinuationByte(full[differsAt])) --differsAt;
  const std::string_view rest = std::string_view(full).substr(differsAt);
  if (rest.size() + kShortened.size() < room) {
    return CutName(full, room - rest.size() - kShortened.size()).append(kShortened).append(rest);
  }
  // The difference starts the shortened rest, which keeps its own start and its end.
  const std::size_t head = std::min<std::size_t>(differsAt, room / 4);
  if (head == 0 || room <= head + 2 * kShortened.size()) return CutMiddle(rest, room);
  std::string name = CutName(full, head).append(kShortened);
  return name.append(CutMiddle(rest, room - name.size()));
}

// The length of the start all of `names` share.
std::size_t CommonStart(const std::vector<const std::string*>& names) {
  std::size_t length = names.front()->size();
  for (const std::string* name : names) {
    std::size_t i = 0;
    while (i < length && i < name->size() && (*name)[i] == (*names.front())[i]) ++i;
    length = i;
  }
  return length;
}

}  // namespace

std::vector<std::string> FitPortNames(const std::vector<PortNameParts>& ports, std::size_t room,
                                      const std::vector<std::string>& distinct) {
  std::vector<std::string> names;
  names.reserve(ports.size());
  for (const PortNameParts& port : ports) names.push_back(FitPortName(port, room));

  // Ports whose shortened names meet are shortened again around what tells them apart; ports of
  // the same full name are told apart by what the system gives beside it.
  std::vector<std::string> full;
  for (const PortNameParts& port : ports) full.push_back(FullName(port));
  std::vector<bool> done(ports.size(), false);
  for (std::size_t i = 0; i < ports.size(); ++i) {
    if (done[i]) continue;
    std::vector<std::size_t> group;
    for (std::size_t j = i; j < ports.size(); ++j) {
      if (!done[j] && names[j] == names[i]) group.push_back(j);
    }
    for (std::size_t j : group) done[j] = true;
    if (group.size() < 2) continue;
    std::vector<std::size_t> named;  // members whose full name is theirs alone in the group
    for (std::size_t j : group) {
      const bool sameFull = std::any_of(
          group.begin(), group.end(), [&](std::size_t k) { return k != j && full[k] == full[j]; });
      if (!sameFull) {
        named.push_back(j);
      } else if (j < distinct.size() && !distinct[j].empty()) {
        const std::string tail = " [" + distinct[j] + "]";
        names[j] = tail.size() < room ? CutName(names[j], room - tail.size()) + tail
                                      : CutName(distinct[j], room);
      }
    }
    if (named.size() >= 2) {
      std::vector<const std::string*> fulls;
      for (std::size_t j : named) fulls.push_back(&full[j]);
      const std::size_t differsAt = CommonStart(fulls);
      for (std::size_t j : named) names[j] = ShowDifference(full[j], differsAt, room);
    }
  }

  // The last resort, where nothing in the names tells two ports apart.
  std::set<std::string> taken;
  for (std::string& name : names) {
    const std::string base = name;
    for (int n = 2; taken.count(name) != 0; ++n) {
      const std::string suffix = " #" + std::to_string(n);
      name = CutName(base, room - std::min(room, suffix.size())) + suffix;
    }
    taken.insert(name);
  }
  return names;
}

bool IsUpdaterClient(std::string_view client, std::string_view updaterName) {
  if (updaterName.empty() || !client.starts_with(updaterName)) return false;
  const std::string_view rest = client.substr(updaterName.size());
  if (rest.empty()) return true;
  return rest.size() >= 2 && rest[0] == '-' &&
         rest.substr(1).find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace varnet
