#include "midi/backends/alsa/seq_ports.h"

#include <alsa/asoundlib.h>

#include <algorithm>

#include "midi/port_names.h"

namespace varnet::alsaseq {

std::vector<SeqPortInfo> SelectDevicePorts(const std::vector<SeqPortInfo>& all, int ownClient,
                                           Direction direction) {
  const unsigned wanted = direction == Direction::Input
                              ? (SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ)
                              : (SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
  std::vector<SeqPortInfo> out;
  for (const SeqPortInfo& p : all) {
    if (p.client == ownClient || p.client == SND_SEQ_CLIENT_SYSTEM) continue;
    if ((p.capability & wanted) != wanted) continue;
    if (p.capability & SND_SEQ_PORT_CAP_NO_EXPORT) continue;
    out.push_back(p);
  }
  std::sort(out.begin(), out.end(), [](const SeqPortInfo& a, const SeqPortInfo& b) {
    return a.client != b.client ? a.client < b.client : a.port < b.port;
  });
  return out;
}

namespace {

// A port name usually repeats its client's name ("USB MIDI Interface 4x4 with MIDI 1" of client
// "USB MIDI Interface 4x4 with"); what follows is the port's own part.
std::string Numbers(const SeqPortInfo& port) {
  return std::to_string(port.client) + ":" + std::to_string(port.port);
}

PortNameParts PartsOf(const SeqPortInfo& port) {
  if (port.portName.empty()) return {{}, {}, port.clientName};
  if (port.portName.size() > port.clientName.size() && !port.clientName.empty() &&
      port.portName.starts_with(port.clientName)) {
    return {port.clientName, {}, port.portName.substr(port.clientName.size())};
  }
  return {{}, {}, port.portName};
}

}  // namespace

PortIdentity IdentityOf(const SeqPortInfo& port) {
  return {port.clientName + ":" + port.portName, Numbers(port)};
}

std::string DeviceName(const SeqPortInfo& port, std::size_t room) {
  return FitPortName(PartsOf(port), room);
}

std::vector<std::string> DeviceNames(const std::vector<SeqPortInfo>& ports, std::size_t room) {
  std::vector<PortNameParts> parts;
  std::vector<std::string> numbers;
  for (const SeqPortInfo& p : ports) {
    parts.push_back(PartsOf(p));
    numbers.push_back(Numbers(p));
  }
  return FitPortNames(parts, room, numbers);
}

WirePacer::Duration WirePacer::timeFor(uint64_t bytes) const {
  // Whole nanoseconds, rounded up: a port is never fed early by rounding.
  const uint64_t ns = (bytes * 1'000'000'000ULL + bytesPerSecond_ - 1) / bytesPerSecond_;
  return Duration(static_cast<Duration::rep>(ns));
}

WirePacer::Duration WirePacer::idleAt() const {
  return running_ ? anchor_ + timeFor(bytesSinceAnchor_) : Duration{};
}

WirePacer::Duration WirePacer::release(Duration now, std::size_t bytes) {
  if (!running_ || idleAt() <= now) {
    // The wire has run empty: count afresh from now, owing nothing.
    running_ = true;
    anchor_ = now;
    bytesSinceAnchor_ = bytes;
    return now;
  }
  const Duration at = idleAt();
  bytesSinceAnchor_ += bytes;
  return at;
}

}  // namespace varnet::alsaseq
