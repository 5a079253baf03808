// The long-message queue of a MIDI output port, for backends whose facility has none of its own
// (ALSA sequencer, JACK, the in-process virtual port).
//
// The port layer prepares one caller-owned header at a time, hands it over with outLongMsg and
// expects it back through MOM_DONE, marked done, once its bytes are sent or a reset cut them off.
// The queue checks the headers as the Windows service does, keeps the ones handed over in order
// and gives them back; the backend only moves the bytes and says when one has gone.
//
// Threads: every call may come from any thread. Callbacks are made with no lock of the queue held
// (the layer's callback may call back into the platform).
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>

#include "midi/platform.h"

namespace varnet {

class OutputMessageQueue {
 public:
  // A backend that copies a message's bytes when it is handed over (the in-process port) may
  // let the caller hand the same header over again before it is done: `copiesBytes`. Each
  // hand-over then comes back on its own, and the queue never writes the header's flags: the
  // caller may already be refilling the header while an earlier hand-over completes.
  explicit OutputMessageQueue(bool copiesBytes = false) : copiesBytes_(copiesBytes) {}
  OutputMessageQueue(const OutputMessageQueue&) = delete;
  OutputMessageQueue& operator=(const OutputMessageQueue&) = delete;

  // The port's callback, as given to outOpen. Forgets whatever an earlier port left queued.
  // open(0, nullptr, 0) after a close: late completions then only mark their headers done.
  void open(MidiHandle handle, MidiCallback callback, uintptr_t instance);

  // midiOutPrepareHeader: a header, and a data area unless the message is empty. Sets
  // MHDR_PREPARED. Returns MMSYSERR_NOERROR or MMSYSERR_INVALPARAM.
  static uint32_t prepare(MidiHeader* header);
  // midiOutUnprepareHeader: MIDIERR_STILLPLAYING while the header is queued.
  uint32_t unprepare(MidiHeader* header);

  // midiOutLongMsg: the header must be prepared and, unless the bytes are copied, not queued
  // already. Sets MHDR_INQUEUE,
  // clears MHDR_DONE and appends it. Returns MMSYSERR_NOERROR, MMSYSERR_INVALPARAM,
  // MIDIERR_UNPREPARED or MIDIERR_STILLPLAYING.
  uint32_t add(MidiHeader* header);
  // Takes back a header that add() accepted but the backend could not pass on, with no report:
  // the caller learns of it from the result of outLongMsg.
  void withdraw(MidiHeader* header);

  // The header's bytes have gone: it leaves the queue (its oldest hand-over), is marked done and,
  // if it was queued, comes back through MOM_DONE. Returns whether it was queued.
  bool complete(MidiHeader* header);
  // midiOutReset: every header after the first `keep` comes back through MOM_DONE, in queue
  // order (a backend that cannot recall the message it is writing keeps that one).
  void returnQueued(std::size_t keep = 0);

  // The oldest queued header (the one a backend writes next), or null.
  MidiHeader* front() const {
    std::lock_guard lock(mutex_);
    return queue_.empty() ? nullptr : queue_.front();
  }
  // midiOutClose refuses with MIDIERR_STILLPLAYING while this is nonzero.
  std::size_t queuedCount() const {
    std::lock_guard lock(mutex_);
    return queue_.size();
  }
  bool isQueued(const MidiHeader* header) const {
    std::lock_guard lock(mutex_);
    return std::count(queue_.begin(), queue_.end(), header) != 0;
  }

 private:
  void report(MidiHeader* header);  // no lock held

  const bool copiesBytes_;
  mutable std::mutex mutex_;
  CallbackTarget target_;
  std::deque<MidiHeader*> queue_;
};

}  // namespace varnet
