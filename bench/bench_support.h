// An engine on a virtual clock whose MIDI output completes every long message inside the call, so
// that a benchmark measures the engine's own work per byte and per pause.
#pragma once

#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/engine.h"
#include "engine/firmware.h"
#include "midi/midi_ports.h"
#include "midi/platform_base.h"

namespace varnet::bench {

struct SilentPrompts final : Prompts {
  uint64_t shown = 0;
  BoxAnswer showBox(const BoxRequest&) override {
    ++shown;
    return BoxAnswer::Yes;
  }
};

// Only the output side: the benchmarks open no input port.
class InstantOutput final : public UnsupportedMidiPlatform {
 public:
  uint64_t messages = 0;
  uint64_t bytes = 0;

  uint32_t outOpen(MidiHandle* handle, uint32_t, MidiCallback callback,
                   uintptr_t instance) override {
    *handle = 2;
    target_ = {*handle, callback, instance};
    return 0;
  }
  uint32_t outPrepareHeader(MidiHandle, MidiHeader* header) override {
    header->flags |= MHDR_PREPARED;
    return 0;
  }
  uint32_t outUnprepareHeader(MidiHandle, MidiHeader*) override { return 0; }
  uint32_t outLongMsg(MidiHandle, MidiHeader* header) override {
    ++messages;
    bytes += header->bufferLength;
    target_.call(MOM_DONE, reinterpret_cast<uintptr_t>(header));
    return 0;
  }
  uint32_t outReset(MidiHandle) override { return 0; }
  uint32_t outClose(MidiHandle) override { return 0; }

 private:
  CallbackTarget target_;
};

// A payload of `length` bytes with a 20 ms pause asked for at every `pauseEvery`-th byte (0: no
// pause), as the firmware file's bytes from offset 11 would carry it.
inline std::vector<uint8_t> MakePayload(uint32_t length, uint32_t pauseEvery) {
  std::vector<uint8_t> payload(length);
  for (uint32_t i = 0; i < length; ++i) {
    const bool pause = pauseEvery != 0 && i % pauseEvery == pauseEvery - 1;
    payload[i] = static_cast<uint8_t>((pause ? 0x10 : 0x00) | ((i * 7) & 0x03));
  }
  return payload;
}

// Loads `payload` into `image` through the firmware parser, as a file would be.
inline bool LoadPayload(FirmwareImage& image, const std::vector<uint8_t>& payload,
                        uint8_t kind = kKindDA) {
  FileBuffer file;
  file.data = {'J', 'T', 'G', kind, 0x07, 0x08, 0x01};
  const auto length = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) file.data.push_back(uint8_t(length >> shift));
  file.data.insert(file.data.end(), payload.begin(), payload.end());
  while (file.data.size() < 51) file.data.push_back(0);
  file.size = file.bytesRead = static_cast<uint32_t>(file.data.size());
  file.data.push_back(0);
  return ParseFirmwareImage(file, image) == 0;
}

}  // namespace varnet::bench
