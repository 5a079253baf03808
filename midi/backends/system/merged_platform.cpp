#include "midi/backends/system/merged_platform.h"

#include <algorithm>
#include <numeric>

#include "midi/port_names.h"

namespace varnet {

MergedMidiPlatform::MergedMidiPlatform(std::vector<Backend> backends)
    : backends_(std::move(backends)) {}

void MergedMidiPlatform::count(bool input) {
  auto& counts = input ? inCounts_ : outCounts_;
  counts.clear();
  for (Backend& b : backends_)
    counts.push_back(input ? b.platform->inGetNumDevs() : b.platform->outGetNumDevs());
  (input ? inCounted_ : outCounted_) = true;
}

bool MergedMidiPlatform::route(bool input, uint32_t device, Route& out) {
  if (!(input ? inCounted_ : outCounted_)) count(input);
  const auto& counts = input ? inCounts_ : outCounts_;
  uint32_t first = 0;
  for (std::size_t i = 0; i < counts.size(); ++i) {
    if (device - first < counts[i] && device >= first) {
      out = Route{backends_[i].platform.get(), i, device - first};
      return true;
    }
    first += counts[i];
  }
  return false;
}

uint32_t MergedMidiPlatform::total(bool input) {
  std::scoped_lock lock(mutex_);
  count(input);
  const auto& counts = input ? inCounts_ : outCounts_;
  return std::accumulate(counts.begin(), counts.end(), 0u);
}

uint32_t MergedMidiPlatform::inGetNumDevs() {
  return total(true);
}
uint32_t MergedMidiPlatform::outGetNumDevs() {
  return total(false);
}

namespace {

uint32_t TaggedName(const std::string& tag, MidiPlatform& platform, bool input, uint32_t device,
                    char (&name)[kMidiNameLength]) {
  char own[kMidiNameLength] = {};
  const uint32_t rc =
      input ? platform.inGetDevCaps(device, own) : platform.outGetDevCaps(device, own);
  if (rc != MMSYSERR_NOERROR) return rc;
  CopyDeviceName(tag + own, name);
  return MMSYSERR_NOERROR;
}

}  // namespace

uint32_t MergedMidiPlatform::inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) {
  std::scoped_lock lock(mutex_);
  Route r;
  if (!route(true, device, r)) return MMSYSERR_BADDEVICEID;
  return TaggedName(backends_[r.backend].tag, *r.platform, true, r.device, name);
}

uint32_t MergedMidiPlatform::outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) {
  std::scoped_lock lock(mutex_);
  Route r;
  if (!route(false, device, r)) return MMSYSERR_BADDEVICEID;
  return TaggedName(backends_[r.backend].tag, *r.platform, false, r.device, name);
}

uint32_t MergedMidiPlatform::inGetDevIdentity(uint32_t device, PortIdentity& identity) {
  std::scoped_lock lock(mutex_);
  Route r;
  if (!route(true, device, r)) return MMSYSERR_BADDEVICEID;
  const uint32_t rc = r.platform->inGetDevIdentity(r.device, identity);
  if (rc == MMSYSERR_NOERROR) identity.fullName = backends_[r.backend].tag + identity.fullName;
  return rc;
}

uint32_t MergedMidiPlatform::outGetDevIdentity(uint32_t device, PortIdentity& identity) {
  std::scoped_lock lock(mutex_);
  Route r;
  if (!route(false, device, r)) return MMSYSERR_BADDEVICEID;
  const uint32_t rc = r.platform->outGetDevIdentity(r.device, identity);
  if (rc == MMSYSERR_NOERROR) identity.fullName = backends_[r.backend].tag + identity.fullName;
  return rc;
}

uint32_t MergedMidiPlatform::open(bool input, MidiHandle* handle, uint32_t device,
                                  MidiCallback callback, uintptr_t instance) {
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  Route r;
  {
    std::scoped_lock lock(mutex_);
    if (!route(input, device, r)) return MMSYSERR_BADDEVICEID;
  }
  // Opening may wait for a server; the backend's callbacks never come back through this object.
  MidiHandle h = 0;
  const uint32_t rc = input ? r.platform->inOpen(&h, r.device, callback, instance)
                            : r.platform->outOpen(&h, r.device, callback, instance);
  if (rc != MMSYSERR_NOERROR) return rc;
  std::scoped_lock lock(mutex_);
  handles_.emplace_back(h, r.platform);
  *handle = h;
  return MMSYSERR_NOERROR;
}

MidiPlatform* MergedMidiPlatform::owner(MidiHandle handle) {
  std::scoped_lock lock(mutex_);
  for (auto& [h, p] : handles_)
    if (h == handle && handle != 0) return p;
  return nullptr;
}

uint32_t MergedMidiPlatform::close(bool input, MidiHandle handle) {
  MidiPlatform* p = owner(handle);
  if (p == nullptr) return MMSYSERR_INVALHANDLE;
  const uint32_t rc = input ? p->inClose(handle) : p->outClose(handle);
  if (rc == MMSYSERR_NOERROR) {
    std::scoped_lock lock(mutex_);
    std::erase_if(handles_, [&](const auto& e) { return e.first == handle && e.second == p; });
  }
  return rc;
}

uint32_t MergedMidiPlatform::inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                    uintptr_t instance) {
  return open(true, handle, device, callback, instance);
}
uint32_t MergedMidiPlatform::outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                     uintptr_t instance) {
  return open(false, handle, device, callback, instance);
}
uint32_t MergedMidiPlatform::inClose(MidiHandle handle) {
  return close(true, handle);
}
uint32_t MergedMidiPlatform::outClose(MidiHandle handle) {
  return close(false, handle);
}

std::string MergedMidiPlatform::errorText(bool input, uint32_t result) {
  for (Backend& b : backends_)
    if (b.ownsResult && b.ownsResult(result))
      return input ? b.platform->inGetErrorText(result) : b.platform->outGetErrorText(result);
  return StandardMidiErrorText(result);
}

std::string MergedMidiPlatform::inGetErrorText(uint32_t result) {
  return errorText(true, result);
}
std::string MergedMidiPlatform::outGetErrorText(uint32_t result) {
  return errorText(false, result);
}

std::string MergedMidiPlatform::identity(bool input, uint32_t device) {
  Route r;
  {
    std::scoped_lock lock(mutex_);
    if (!route(input, device, r)) return {};
  }
  return input ? r.platform->inPortIdentity(r.device) : r.platform->outPortIdentity(r.device);
}

std::string MergedMidiPlatform::inPortIdentity(uint32_t device) {
  return identity(true, device);
}
std::string MergedMidiPlatform::outPortIdentity(uint32_t device) {
  return identity(false, device);
}

std::vector<MidiPlatform::OwnPort> MergedMidiPlatform::ownPorts() {
  std::vector<OwnPort> all;
  for (Backend& b : backends_) {
    for (OwnPort& port : b.platform->ownPorts()) all.push_back(std::move(port));
  }
  return all;
}

}  // namespace varnet
