// A MidiPlatform that passes every call through and counts the long messages and bytes that the
// service accepted for sending, for the summary line at the end of an update.
#pragma once

#include <atomic>
#include <cstdint>

#include "midi/platform.h"

namespace varnet {

class CountingPlatform final : public MidiPlatform {
 public:
  explicit CountingPlatform(MidiPlatform& inner) : inner_(inner) {}

  uint64_t messagesSent() const { return messages_.load(); }
  uint64_t bytesSent() const { return bytes_.load(); }

  uint32_t inGetNumDevs() override { return inner_.inGetNumDevs(); }
  uint32_t outGetNumDevs() override { return inner_.outGetNumDevs(); }
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    return inner_.inGetDevCaps(device, name);
  }
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    return inner_.outGetDevCaps(device, name);
  }
  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    return inner_.inOpen(handle, device, callback, instance);
  }
  uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    return inner_.inPrepareHeader(handle, header);
  }
  uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    return inner_.inUnprepareHeader(handle, header);
  }
  uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) override {
    return inner_.inAddBuffer(handle, header);
  }
  uint32_t inStart(MidiHandle handle) override { return inner_.inStart(handle); }
  uint32_t inStop(MidiHandle handle) override { return inner_.inStop(handle); }
  uint32_t inReset(MidiHandle handle) override { return inner_.inReset(handle); }
  uint32_t inClose(MidiHandle handle) override { return inner_.inClose(handle); }
  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override {
    return inner_.outOpen(handle, device, callback, instance);
  }
  uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    return inner_.outPrepareHeader(handle, header);
  }
  uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    return inner_.outUnprepareHeader(handle, header);
  }
  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override {
    // Read before the call: once accepted, the header belongs to the service.
    const uint32_t length = header != nullptr ? header->bufferLength : 0;
    const uint32_t result = inner_.outLongMsg(handle, header);
    if (result == MMSYSERR_NOERROR) {
      messages_.fetch_add(1);
      bytes_.fetch_add(length);
    }
    return result;
  }
  uint32_t outReset(MidiHandle handle) override { return inner_.outReset(handle); }
  uint32_t outClose(MidiHandle handle) override { return inner_.outClose(handle); }
  std::string inGetErrorText(uint32_t result) override { return inner_.inGetErrorText(result); }
  std::string outGetErrorText(uint32_t result) override { return inner_.outGetErrorText(result); }

 private:
  MidiPlatform& inner_;
  std::atomic<uint64_t> messages_{0};
  std::atomic<uint64_t> bytes_{0};
};

}  // namespace varnet
