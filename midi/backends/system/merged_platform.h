// Several MIDI backends shown as one platform: the devices of each backend in turn, numbered on
// from 0 in a stable order (backend by backend, each in its own order), each name led by its
// backend's tag ("A: ", "J: ") and cut to 31 characters.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/platform_base.h"

namespace varnet {

class MergedMidiPlatform final : public ForwardingMidiPlatform {
 public:
  struct Backend {
    std::string tag;  // put in front of every device name, e.g. "J: "
    std::unique_ptr<MidiPlatform> platform;
    // True for the result codes whose text this backend gives.
    std::function<bool(uint32_t)> ownsResult;
  };

  explicit MergedMidiPlatform(std::vector<Backend> backends);

  uint32_t inGetNumDevs() override;
  uint32_t outGetNumDevs() override;
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override;
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override;
  // The backend's identity with the backend's tag in front of the full name.
  uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) override;
  uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) override;

  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override;
  uint32_t inClose(MidiHandle handle) override;

  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override;
  uint32_t outClose(MidiHandle handle) override;

  std::string inGetErrorText(uint32_t result) override;
  std::string outGetErrorText(uint32_t result) override;
  std::string inPortIdentity(uint32_t device) override;
  std::string outPortIdentity(uint32_t device) override;
  std::vector<OwnPort> ownPorts() override;

 private:
  struct Route {
    MidiPlatform* platform = nullptr;
    std::size_t backend = 0;
    uint32_t device = 0;
  };
  // Maps a merged device number to its backend and the backend's own number, counting the
  // devices first if nobody has yet. mutex_ held.
  bool route(bool input, uint32_t device, Route& out);
  void count(bool input);
  uint32_t total(bool input);  // counts afresh; takes mutex_
  // The calls on an open port go to the backend that opened it.
  MidiPlatform* owner(MidiHandle handle) override;
  uint32_t open(bool input, MidiHandle* handle, uint32_t device, MidiCallback callback,
                uintptr_t instance);
  uint32_t close(bool input, MidiHandle handle);
  std::string errorText(bool input, uint32_t result);
  std::string identity(bool input, uint32_t device);

  std::vector<Backend> backends_;
  std::mutex mutex_;
  std::vector<uint32_t> inCounts_, outCounts_;
  bool inCounted_ = false, outCounted_ = false;
  // Open handles and the backend that gave each (handles are the backends' own).
  std::vector<std::pair<MidiHandle, MidiPlatform*>> handles_;
};

}  // namespace varnet
