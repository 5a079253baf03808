// A MidiPlatform that passes every call through and counts the long messages and bytes that the
// service accepted for sending, for the summary line at the end of an update.
#pragma once

#include <atomic>
#include <cstdint>

#include "midi/platform_base.h"

namespace varnet {

class CountingPlatform final : public ForwardingMidiPlatform {
 public:
  explicit CountingPlatform(MidiPlatform& inner) : ForwardingMidiPlatform(inner) {}

  uint64_t messagesSent() const { return messages_.load(); }
  uint64_t bytesSent() const { return bytes_.load(); }

  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override {
    // Read before the call: once accepted, the header belongs to the service.
    const uint32_t length = header != nullptr ? header->bufferLength : 0;
    const uint32_t result = ForwardingMidiPlatform::outLongMsg(handle, header);
    if (result == MMSYSERR_NOERROR) {
      messages_.fetch_add(1);
      bytes_.fetch_add(length);
    }
    return result;
  }

 private:
  std::atomic<uint64_t> messages_{0};
  std::atomic<uint64_t> bytes_{0};
};

}  // namespace varnet
