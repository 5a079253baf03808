// The input buffer queue of a MIDI service, for backends whose facility has none of its own
// (ALSA sequencer, JACK, the in-process virtual port).
//
// The port layer queues caller-owned 128-byte buffers and expects them back, in queue order,
// through MIM_LONGDATA, each holding System Exclusive bytes only (F0 ... F7 inclusive) and returned
// when it is full or when a System Exclusive message ends. A backend owns one InputBufferQueue per
// open input port and feeds it every raw byte it receives; the queue does the rest.
//
// Threads: feed(), flushPartial() and the backend's own calls run on the backend's thread;
// addBuffer(), start(), stop(), reset() and the queries may come from any other thread. Every
// callback is made with no lock of the queue's state held (the layer's callback calls addBuffer()
// from inside it), but deliveries are serialised, so the callback never runs on two threads at
// once and buffers come back in the order they were filled.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "midi/platform.h"

namespace varnet {

class InputBufferQueue {
 public:
  InputBufferQueue() = default;
  InputBufferQueue(const InputBufferQueue&) = delete;
  InputBufferQueue& operator=(const InputBufferQueue&) = delete;

  // The port's callback, as given to inOpen. Call before any feed.
  void open(MidiHandle handle, MidiCallback callback, uintptr_t instance);

  // midiInPrepareHeader / midiInUnprepareHeader: a header with a data area, not queued (then
  // MIDIERR_STILLPLAYING). Set or clear MHDR_PREPARED.
  uint32_t prepare(MidiHeader* header) const;
  uint32_t unprepare(MidiHeader* header) const;

  // midiInAddBuffer: the header must be prepared (MHDR_PREPARED) and not already queued, and
  // have a data area with a nonzero length. Sets MHDR_INQUEUE, clears MHDR_DONE and
  // bytesRecorded. Returns MMSYSERR_NOERROR, MIDIERR_UNPREPARED, MIDIERR_STILLPLAYING or
  // MMSYSERR_INVALPARAM.
  uint32_t addBuffer(MidiHeader* header);

  // midiInStart / midiInStop. Bytes fed while stopped are dropped. stop() returns the buffer that
  // is being filled, if it holds anything, and ends the System Exclusive message in progress;
  // buffers that are still empty stay queued.
  void start();
  void stop();
  // midiInReset: stops, ends any System Exclusive message in progress, and returns every queued
  // buffer through MIM_LONGDATA with whatever it holds (often nothing).
  void reset();

  // Raw incoming MIDI bytes, any stream (running status, real-time bytes anywhere). Only the
  // bytes of System Exclusive messages reach the buffers; a complete short message or a real-time
  // byte is reported through MIM_DATA (param1: status | data1 << 8 | data2 << 16) instead.
  void feed(const uint8_t* bytes, std::size_t count);
  // Returns the buffer being filled now, if it holds anything, as some drivers do after a quiet
  // spell; the System Exclusive message goes on in the next buffer.
  void flushPartial();

  // Buffers queued and not yet returned (midiInClose refuses with MIDIERR_STILLPLAYING while
  // this is nonzero; midiInUnprepareHeader refuses for a queued header).
  std::size_t queuedCount() const;
  bool isQueued(const MidiHeader* header) const;
  // System Exclusive bytes that arrived while no buffer was queued, and were lost.
  uint64_t droppedBytes() const;

 private:
  struct Delivery {
    uint32_t message;
    uintptr_t param1;
  };
  void completeFront(std::vector<Delivery>& out);  // state lock held
  void endMessage();                               // state lock held
  void deliver(const std::vector<Delivery>& out);  // delivery lock held, state lock not
  void feedByte(uint8_t byte, std::vector<Delivery>& out);

  mutable std::mutex stateMutex_;
  std::mutex deliveryMutex_;  // serialises callbacks; taken before stateMutex_, never after

  CallbackTarget target_;

  std::deque<MidiHeader*> queue_;
  bool started_ = false;
  bool inSysex_ = false;
  uint8_t runningStatus_ = 0;
  uint8_t shortMessage_[3] = {};
  std::size_t shortFill_ = 0;
  std::size_t shortNeeded_ = 0;
  uint64_t dropped_ = 0;
};

}  // namespace varnet
