// Two starting points for a MidiPlatform that serves only some of the twenty calls.
//
// UnsupportedMidiPlatform answers every call "not supported" (MMSYSERR_NOTSUPPORTED) and has no
// devices: a port that only sends, or a test fake, overrides the calls it serves and nothing
// else. ForwardingMidiPlatform passes every call on: a wrapper that counts or reroutes overrides
// only the calls it looks at.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "midi/platform.h"

namespace varnet {

class UnsupportedMidiPlatform : public MidiPlatform {
 public:
  uint32_t inGetNumDevs() override { return 0; }
  uint32_t outGetNumDevs() override { return 0; }
  uint32_t inGetDevCaps(uint32_t, char (&)[kMidiNameLength]) override { return kUnsupported; }
  uint32_t outGetDevCaps(uint32_t, char (&)[kMidiNameLength]) override { return kUnsupported; }
  uint32_t inOpen(MidiHandle*, uint32_t, MidiCallback, uintptr_t) override { return kUnsupported; }
  uint32_t inPrepareHeader(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t inUnprepareHeader(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t inAddBuffer(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t inStart(MidiHandle) override { return kUnsupported; }
  uint32_t inStop(MidiHandle) override { return kUnsupported; }
  uint32_t inReset(MidiHandle) override { return kUnsupported; }
  uint32_t inClose(MidiHandle) override { return kUnsupported; }
  uint32_t outOpen(MidiHandle*, uint32_t, MidiCallback, uintptr_t) override { return kUnsupported; }
  uint32_t outPrepareHeader(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t outUnprepareHeader(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t outLongMsg(MidiHandle, MidiHeader*) override { return kUnsupported; }
  uint32_t outReset(MidiHandle) override { return kUnsupported; }
  uint32_t outClose(MidiHandle) override { return kUnsupported; }
  std::string inGetErrorText(uint32_t result) override { return StandardMidiErrorText(result); }
  std::string outGetErrorText(uint32_t result) override { return StandardMidiErrorText(result); }

 private:
  static constexpr uint32_t kUnsupported = MMSYSERR_NOTSUPPORTED;
};

class ForwardingMidiPlatform : public MidiPlatform {
 public:
  explicit ForwardingMidiPlatform(MidiPlatform& inner) : inner_(&inner) {}

  uint32_t inGetNumDevs() override { return inner_->inGetNumDevs(); }
  uint32_t outGetNumDevs() override { return inner_->outGetNumDevs(); }
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    return inner_->inGetDevCaps(device, name);
  }
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    return inner_->outGetDevCaps(device, name);
  }
  uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    return inner_->inGetDevIdentity(device, identity);
  }
  uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    return inner_->outGetDevIdentity(device, identity);
  }
  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    return inner_->inOpen(handle, device, callback, instance);
  }
  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override {
    return inner_->outOpen(handle, device, callback, instance);
  }
  uint32_t inClose(MidiHandle handle) override { return inner_->inClose(handle); }
  uint32_t outClose(MidiHandle handle) override { return inner_->outClose(handle); }
  std::string inGetErrorText(uint32_t result) override { return inner_->inGetErrorText(result); }
  std::string outGetErrorText(uint32_t result) override { return inner_->outGetErrorText(result); }

  // The calls on an open port go to the platform that opened it.
  uint32_t inPrepareHeader(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::inPrepareHeader, header);
  }
  uint32_t inUnprepareHeader(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::inUnprepareHeader, header);
  }
  uint32_t inAddBuffer(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::inAddBuffer, header);
  }
  uint32_t inStart(MidiHandle h) override { return onOwner(h, &MidiPlatform::inStart); }
  uint32_t inStop(MidiHandle h) override { return onOwner(h, &MidiPlatform::inStop); }
  uint32_t inReset(MidiHandle h) override { return onOwner(h, &MidiPlatform::inReset); }
  uint32_t outPrepareHeader(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::outPrepareHeader, header);
  }
  uint32_t outUnprepareHeader(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::outUnprepareHeader, header);
  }
  uint32_t outLongMsg(MidiHandle h, MidiHeader* header) override {
    return onOwner(h, &MidiPlatform::outLongMsg, header);
  }
  uint32_t outReset(MidiHandle h) override { return onOwner(h, &MidiPlatform::outReset); }
  uint32_t outOtherSenders(MidiHandle h, std::vector<std::string>& senders) override {
    senders.clear();
    return onOwner(h, &MidiPlatform::outOtherSenders, senders);
  }

 protected:
  // For a platform that merges several: it overrides the thirteen calls above, which name a device
  // or a result rather than an open port, and owner().
  ForwardingMidiPlatform() = default;
  // The platform that opened `handle`; null when none did.
  virtual MidiPlatform* owner(MidiHandle) { return inner_; }

 private:
  // `call` on the platform that opened `h`; a handle that none opened is not valid.
  template <typename... Args>
  uint32_t onOwner(MidiHandle h, uint32_t (MidiPlatform::*call)(MidiHandle, Args...),
                   std::type_identity_t<Args>... args) {
    MidiPlatform* platform = owner(h);
    return platform != nullptr ? (platform->*call)(h, args...) : MMSYSERR_INVALHANDLE;
  }

  MidiPlatform* inner_ = nullptr;
};

}  // namespace varnet
