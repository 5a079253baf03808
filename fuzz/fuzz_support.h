// Shared pieces of the fuzz targets: a MIDI platform whose input side is the real input buffer
// queue and whose output side completes every long message at once, and a check that aborts
// loudly (so that libFuzzer records the input) when an invariant does not hold.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "core/prompts.h"
#include "midi/input_queue.h"
#include "midi/midi_ports.h"
#include "midi/platform_base.h"

#define FUZZ_CHECK(condition)                                                                \
  do {                                                                                       \
    if (!(condition)) {                                                                      \
      std::fprintf(stderr, "%s:%d: invariant failed: %s\n", __FILE__, __LINE__, #condition); \
      std::abort();                                                                          \
    }                                                                                        \
  } while (0)

namespace varnet::fuzz {

struct CountingPrompts final : Prompts {
  std::vector<BoxRequest> boxes;
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request);
    return BoxAnswer::Ok;
  }
};

// One input port backed by InputBufferQueue (what the ALSA, JACK and virtual backends use) and
// one output port that completes each long message inside the call. The targets open the ports
// by index and never list the devices.
class QueuePlatform final : public UnsupportedMidiPlatform {
 public:
  InputBufferQueue queue;
  std::vector<uint8_t> sent;

  uint32_t inOpen(MidiHandle* handle, uint32_t, MidiCallback callback,
                  uintptr_t instance) override {
    *handle = kInHandle;
    queue.open(kInHandle, callback, instance);
    return MMSYSERR_NOERROR;
  }
  uint32_t inPrepareHeader(MidiHandle, MidiHeader* header) override {
    header->flags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }
  uint32_t inUnprepareHeader(MidiHandle, MidiHeader* header) override {
    if (queue.isQueued(header)) return MIDIERR_STILLPLAYING;
    header->flags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }
  uint32_t inAddBuffer(MidiHandle, MidiHeader* header) override { return queue.addBuffer(header); }
  uint32_t inStart(MidiHandle) override {
    queue.start();
    return MMSYSERR_NOERROR;
  }
  uint32_t inStop(MidiHandle) override {
    queue.stop();
    return MMSYSERR_NOERROR;
  }
  uint32_t inReset(MidiHandle) override {
    queue.reset();
    return MMSYSERR_NOERROR;
  }
  uint32_t inClose(MidiHandle) override {
    return queue.queuedCount() == 0 ? MMSYSERR_NOERROR : MIDIERR_STILLPLAYING;
  }
  uint32_t outOpen(MidiHandle* handle, uint32_t, MidiCallback callback,
                   uintptr_t instance) override {
    *handle = kOutHandle;
    output_ = {kOutHandle, callback, instance};
    return MMSYSERR_NOERROR;
  }
  uint32_t outPrepareHeader(MidiHandle, MidiHeader* header) override {
    header->flags |= MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }
  uint32_t outUnprepareHeader(MidiHandle, MidiHeader* header) override {
    header->flags &= ~MHDR_PREPARED;
    return MMSYSERR_NOERROR;
  }
  uint32_t outLongMsg(MidiHandle, MidiHeader* header) override {
    sent.insert(sent.end(), header->data, header->data + header->bufferLength);
    output_.call(MOM_DONE, reinterpret_cast<uintptr_t>(header));
    return MMSYSERR_NOERROR;
  }
  uint32_t outReset(MidiHandle) override { return MMSYSERR_NOERROR; }
  uint32_t outClose(MidiHandle) override { return MMSYSERR_NOERROR; }

 private:
  static constexpr MidiHandle kInHandle = 11;
  static constexpr MidiHandle kOutHandle = 12;
  CallbackTarget output_;
};

}  // namespace varnet::fuzz
