#include "midi/port_locks.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "io/lock_file.h"

#ifndef _WIN32
#include <unistd.h>
#endif

namespace varnet {

namespace {

// FNV-1a: the same in every build and every process, unlike std::hash.
uint64_t StableHash(const std::string& text) {
  uint64_t hash = 0xcbf29ce484222325ull;
  for (const char c : text) {
    hash ^= static_cast<uint8_t>(c);
    hash *= 0x100000001b3ull;
  }
  return hash;
}

class FileHold final : public PortLockHold {
 public:
  explicit FileHold(std::unique_ptr<HeldLockFile> file) : file_(std::move(file)) {}

 private:
  std::unique_ptr<HeldLockFile> file_;
};

long ProcessId() {
#ifdef _WIN32
  return 0;
#else
  return static_cast<long>(getpid());
#endif
}

}  // namespace

std::string DefaultPortLockFolder() {
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime != '\0') {
    std::error_code ec;
    if (std::filesystem::is_directory(runtime, ec)) return runtime;
  }
  std::error_code ec;
  const std::filesystem::path temp = std::filesystem::temp_directory_path(ec);
  return ec ? std::string("/tmp") : temp.string();
}

std::string PortLockPath(const std::string& folder, const std::string& identity) {
  static const char* const kHex = "0123456789abcdef";
  const uint64_t hash = StableHash(identity);
  std::string name = "varnet-port-";
  for (int shift = 60; shift >= 0; shift -= 4) name += kHex[(hash >> shift) & 0xF];
  return (std::filesystem::path(folder) / (name + ".lock")).string();
}

FilePortLocks::FilePortLocks(std::string program, std::string folder)
    : holder_(std::move(program) + ", pid " + std::to_string(ProcessId())),
      folder_(std::move(folder)) {}

std::unique_ptr<PortLockHold> FilePortLocks::take(const std::string& identity,
                                                  std::string& holder) {
  HeldLockFile::Outcome outcome{};
  std::string error;
  auto file =
      HeldLockFile::TryLock(PortLockPath(folder_, identity), holder_, outcome, holder, error);
  switch (outcome) {
    case HeldLockFile::Outcome::Held:
      return std::make_unique<FileHold>(std::move(file));
    case HeldLockFile::Outcome::Taken:
      return nullptr;
    case HeldLockFile::Outcome::Unlockable:
      break;
  }
  return std::make_unique<PortLockHold>();
}

std::string PortInUseText(const std::string& holder) {
  const std::string who =
      holder.empty() ? "another program, perhaps another update" : "an update (" + holder + ")";
  return "The port is in use by " + who + ". Wait until it has ended, then try again.";
}

LockingMidiPlatform::LockingMidiPlatform(MidiPlatform& inner, PortLocks& locks)
    : ForwardingMidiPlatform(inner), inner_(inner), locks_(locks) {}

uint32_t LockingMidiPlatform::open(bool input, MidiHandle* handle, uint32_t device,
                                   MidiCallback callback, uintptr_t instance) {
  const std::string identity =
      input ? inner_.inPortIdentity(device) : inner_.outPortIdentity(device);
  std::unique_ptr<PortLockHold> hold;
  if (!identity.empty()) {
    // The device's input and its output may be one port of the MIDI system (an ALSA sequencer
    // port is both): the update holds both sides, so each side has a lock of its own.
    std::string holder;
    hold = locks_.take((input ? "in " : "out ") + identity, holder);
    if (!hold) {
      std::scoped_lock lock(mutex_);
      lastHolder_ = holder;
      return kPortInUseResult;
    }
  }
  const uint32_t rc = input ? inner_.inOpen(handle, device, callback, instance)
                            : inner_.outOpen(handle, device, callback, instance);
  if (rc != MMSYSERR_NOERROR) return rc;
  const std::vector<OwnPort> own = inner_.ownPorts();
  std::scoped_lock lock(mutex_);
  held_.push_back({input, *handle, std::move(hold)});
  for (const OwnPort& port : own) {
    const std::string name = (port.input ? "in " : "out ") + port.identity;
    const bool held = std::any_of(own_.begin(), own_.end(),
                                  [&](const auto& entry) { return entry.first == name; });
    std::string holder;
    if (!held) own_.emplace_back(name, locks_.take(name, holder));
  }
  return rc;
}

uint32_t LockingMidiPlatform::close(bool input, MidiHandle handle) {
  const uint32_t rc = input ? inner_.inClose(handle) : inner_.outClose(handle);
  // A port the service still refuses to close stays ours, and so does its lock.
  if (rc != MMSYSERR_NOERROR) return rc;
  std::unique_ptr<PortLockHold> released;
  std::vector<std::pair<std::string, std::unique_ptr<PortLockHold>>> releasedOwn;
  {
    std::scoped_lock lock(mutex_);
    for (auto it = held_.begin(); it != held_.end(); ++it) {
      if (it->input == input && it->handle == handle) {
        released = std::move(it->hold);
        held_.erase(it);
        break;
      }
    }
    if (held_.empty()) releasedOwn.swap(own_);
  }
  return rc;
}

uint32_t LockingMidiPlatform::inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                     uintptr_t instance) {
  return open(true, handle, device, callback, instance);
}
uint32_t LockingMidiPlatform::outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                      uintptr_t instance) {
  return open(false, handle, device, callback, instance);
}
uint32_t LockingMidiPlatform::inClose(MidiHandle handle) {
  return close(true, handle);
}
uint32_t LockingMidiPlatform::outClose(MidiHandle handle) {
  return close(false, handle);
}

std::string LockingMidiPlatform::inUseText() {
  std::scoped_lock lock(mutex_);
  return PortInUseText(lastHolder_);
}

std::string LockingMidiPlatform::inGetErrorText(uint32_t result) {
  return result == kPortInUseResult ? inUseText() : inner_.inGetErrorText(result);
}
std::string LockingMidiPlatform::outGetErrorText(uint32_t result) {
  return result == kPortInUseResult ? inUseText() : inner_.outGetErrorText(result);
}

namespace {

class OwnedLockingPlatform final : public ForwardingMidiPlatform {
 public:
  OwnedLockingPlatform(std::unique_ptr<MidiPlatform> inner, std::unique_ptr<PortLocks> locks,
                       std::unique_ptr<LockingMidiPlatform> locking)
      : ForwardingMidiPlatform(*locking),
        inner_(std::move(inner)),
        locks_(std::move(locks)),
        locking_(std::move(locking)) {}

 private:
  // Destroyed in reverse: the locks go with the ports they guard, the ports before the service.
  std::unique_ptr<MidiPlatform> inner_;
  std::unique_ptr<PortLocks> locks_;
  std::unique_ptr<LockingMidiPlatform> locking_;
};

}  // namespace

std::unique_ptr<MidiPlatform> LockPorts(std::unique_ptr<MidiPlatform> platform,
                                        const std::string& program) {
  auto locks = std::make_unique<FilePortLocks>(program);
  auto locking = std::make_unique<LockingMidiPlatform>(*platform, *locks);
  return std::make_unique<OwnedLockingPlatform>(std::move(platform), std::move(locks),
                                                std::move(locking));
}

}  // namespace varnet
