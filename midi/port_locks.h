// Ports that are one session's alone. A MIDI port carries whatever anybody sends into it: a
// second update, or a `detect` asking every port who it is, would mix its bytes into a firmware
// stream that is already under way. Every program of this system takes a lock named from the
// port's identity in the MIDI system (MidiPlatform::inPortIdentity) before it opens a port, and
// keeps it until the port is closed; a program that finds the lock taken does not open the port.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "midi/platform_base.h"

namespace varnet {

// What an open of a port that another session holds answers (MMSYSERR_ALLOCATED in its low
// bits, as the Windows service answers for a port another program has open).
constexpr uint32_t kPortInUseResult = 0x4C0000 | MMSYSERR_ALLOCATED;

// A lock on one port; let go when it is destroyed.
class PortLockHold {
 public:
  virtual ~PortLockHold() = default;
};

class PortLocks {
 public:
  virtual ~PortLocks() = default;
  // Takes the lock named `identity`, or gives null when another session holds it: `holder`
  // then says who ("varnet-flash update, pid 4242"; empty when that cannot be read). Where no
  // lock can be taken at all (no folder to keep it in) the port is not shared with any program
  // of this system that could lock it either: a hold that holds nothing is given.
  virtual std::unique_ptr<PortLockHold> take(const std::string& identity, std::string& holder) = 0;
};

// The folder for lock files: $XDG_RUNTIME_DIR (the user's own, cleared at logout), else the
// system's temporary folder.
std::string DefaultPortLockFolder();
// The lock file of a port identity in `folder`: named from a hash of the identity, which may
// hold any characters.
std::string PortLockPath(const std::string& folder, const std::string& identity);

// Locks as files in a folder, held with flock(2): the kernel lets go of them when the process
// ends, however it ends. `program` describes the holder ("varnet-flash update").
class FilePortLocks final : public PortLocks {
 public:
  explicit FilePortLocks(std::string program, std::string folder = DefaultPortLockFolder());
  std::unique_ptr<PortLockHold> take(const std::string& identity, std::string& holder) override;

 private:
  std::string holder_;
  std::string folder_;
};

// A platform whose opens take the port's lock first, and whose closes let go of it. An open
// of a port that another session holds answers kPortInUseResult, and its error text names the
// holder. While any port is open it also holds the locks of the ports the platform itself has
// put into the MIDI system, so that another program's `detect` does not send into our input.
class LockingMidiPlatform final : public ForwardingMidiPlatform {
 public:
  LockingMidiPlatform(MidiPlatform& inner, PortLocks& locks);

  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override;
  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override;
  uint32_t inClose(MidiHandle handle) override;
  uint32_t outClose(MidiHandle handle) override;
  std::string inGetErrorText(uint32_t result) override;
  std::string outGetErrorText(uint32_t result) override;

 private:
  uint32_t open(bool input, MidiHandle* handle, uint32_t device, MidiCallback callback,
                uintptr_t instance);
  uint32_t close(bool input, MidiHandle handle);
  std::string inUseText();

  MidiPlatform& inner_;
  PortLocks& locks_;
  std::mutex mutex_;
  struct Held {
    bool input = false;
    MidiHandle handle = 0;
    std::unique_ptr<PortLockHold> hold;
  };
  std::vector<Held> held_;  // under mutex_
  // The locks on our own ports (MidiPlatform::ownPorts), by lock name, while any port is open.
  std::vector<std::pair<std::string, std::unique_ptr<PortLockHold>>> own_;  // under mutex_
  std::string lastHolder_;  // under mutex_: who held the port the last refused open wanted
};

// `platform` with its opens under FilePortLocks for `program`, owning both.
std::unique_ptr<MidiPlatform> LockPorts(std::unique_ptr<MidiPlatform> platform,
                                        const std::string& program);

// The plain words for a port that another program holds, where the MIDI system says no more.
std::string PortInUseText(const std::string& holder);

}  // namespace varnet
