#include "midi/input_queue.h"

#include <algorithm>

namespace varnet {

namespace {

// Data bytes that follow a channel or system common status byte.
std::size_t DataBytesAfter(uint8_t status) {
  if (status < 0xF0) {
    const uint8_t kind = status & 0xF0;
    return (kind == 0xC0 || kind == 0xD0) ? 1 : 2;
  }
  switch (status) {
    case 0xF1:  // time code quarter frame
    case 0xF3:  // song select
      return 1;
    case 0xF2:  // song position
      return 2;
    default:  // F4, F5 (undefined), F6 (tune request)
      return 0;
  }
}

uintptr_t PackShort(const uint8_t* bytes, std::size_t count) {
  uintptr_t packed = 0;
  for (std::size_t i = 0; i < count; ++i) packed |= static_cast<uintptr_t>(bytes[i]) << (8 * i);
  return packed;
}

}  // namespace

void InputBufferQueue::open(MidiHandle handle, MidiCallback callback, uintptr_t instance) {
  std::lock_guard lock(stateMutex_);
  target_ = {handle, callback, instance};
}

uint32_t InputBufferQueue::prepare(MidiHeader* header) const {
  if (header == nullptr || header->data == nullptr) return MMSYSERR_INVALPARAM;
  if (isQueued(header)) return MIDIERR_STILLPLAYING;
  header->flags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

uint32_t InputBufferQueue::unprepare(MidiHeader* header) const {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  if (isQueued(header)) return MIDIERR_STILLPLAYING;
  header->flags &= ~static_cast<uint32_t>(MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

uint32_t InputBufferQueue::addBuffer(MidiHeader* header) {
  if (header == nullptr || header->data == nullptr || header->bufferLength == 0) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard lock(stateMutex_);
  if ((header->flags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
  if (std::find(queue_.begin(), queue_.end(), header) != queue_.end()) {
    return MIDIERR_STILLPLAYING;
  }
  header->bytesRecorded = 0;
  header->flags = (header->flags | MHDR_INQUEUE) & ~static_cast<uint32_t>(MHDR_DONE);
  queue_.push_back(header);
  return MMSYSERR_NOERROR;
}

void InputBufferQueue::start() {
  std::lock_guard lock(stateMutex_);
  started_ = true;
}

void InputBufferQueue::stop() {
  std::lock_guard delivering(deliveryMutex_);
  std::vector<Delivery> out;
  {
    std::lock_guard lock(stateMutex_);
    endMessage();
    if (!queue_.empty() && queue_.front()->bytesRecorded > 0) completeFront(out);
  }
  deliver(out);
}

void InputBufferQueue::reset() {
  std::lock_guard delivering(deliveryMutex_);
  std::vector<Delivery> out;
  {
    std::lock_guard lock(stateMutex_);
    endMessage();
    // Everything queued now comes back; a buffer the callback queues again while we deliver
    // stays queued, as with the Windows service.
    while (!queue_.empty()) completeFront(out);
  }
  deliver(out);
}

void InputBufferQueue::feed(const uint8_t* bytes, std::size_t count) {
  std::lock_guard delivering(deliveryMutex_);
  std::vector<Delivery> out;
  std::size_t i = 0;
  while (i < count) {
    {
      std::lock_guard lock(stateMutex_);
      if (!started_) return;
      // Stop at the first delivery: the callback may queue its buffer again before the next
      // byte needs one.
      while (i < count && out.empty()) feedByte(bytes[i++], out);
    }
    deliver(out);
    out.clear();
  }
}

void InputBufferQueue::flushPartial() {
  std::lock_guard delivering(deliveryMutex_);
  std::vector<Delivery> out;
  {
    std::lock_guard lock(stateMutex_);
    if (!queue_.empty() && queue_.front()->bytesRecorded > 0) completeFront(out);
  }
  deliver(out);
}

std::size_t InputBufferQueue::queuedCount() const {
  std::lock_guard lock(stateMutex_);
  return queue_.size();
}

bool InputBufferQueue::isQueued(const MidiHeader* header) const {
  std::lock_guard lock(stateMutex_);
  return std::find(queue_.begin(), queue_.end(), header) != queue_.end();
}

uint64_t InputBufferQueue::droppedBytes() const {
  std::lock_guard lock(stateMutex_);
  return dropped_;
}

void InputBufferQueue::completeFront(std::vector<Delivery>& out) {
  MidiHeader* header = queue_.front();
  queue_.pop_front();
  header->flags = (header->flags | MHDR_DONE) & ~static_cast<uint32_t>(MHDR_INQUEUE);
  out.push_back({MIM_LONGDATA, reinterpret_cast<uintptr_t>(header)});
}

void InputBufferQueue::endMessage() {
  started_ = false;
  inSysex_ = false;
  runningStatus_ = 0;
  shortNeeded_ = 0;
}

void InputBufferQueue::deliver(const std::vector<Delivery>& out) {
  CallbackTarget target;
  {
    std::lock_guard lock(stateMutex_);
    target = target_;
  }
  for (const Delivery& d : out) target.call(d.message, d.param1);
}

void InputBufferQueue::feedByte(uint8_t byte, std::vector<Delivery>& out) {
  if (byte >= 0xF8) {
    // Real-time bytes may appear anywhere, even inside a System Exclusive message, and
    // belong to neither.
    out.push_back({MIM_DATA, byte});
    return;
  }
  if (byte == 0xF0) {
    if (inSysex_ && !queue_.empty() && queue_.front()->bytesRecorded > 0) completeFront(out);
    inSysex_ = true;
    runningStatus_ = 0;
    shortNeeded_ = 0;
  } else if (byte == 0xF7) {
    if (!inSysex_) return;  // a stray end byte carries nothing
  } else if (byte >= 0x80) {
    // Any other status byte ends a System Exclusive message that was never closed.
    if (inSysex_) {
      inSysex_ = false;
      if (!queue_.empty() && queue_.front()->bytesRecorded > 0) completeFront(out);
    }
    runningStatus_ = byte < 0xF0 ? byte : 0;
    shortMessage_[0] = byte;
    shortFill_ = 1;
    shortNeeded_ = DataBytesAfter(byte);
    if (shortNeeded_ == 0) {
      out.push_back({MIM_DATA, byte});
      shortFill_ = 0;
    }
    return;
  } else if (!inSysex_) {
    if (shortNeeded_ == 0) {
      if (runningStatus_ == 0) return;  // data byte with no status: nothing to attach it to
      shortMessage_[0] = runningStatus_;
      shortFill_ = 1;
      shortNeeded_ = DataBytesAfter(runningStatus_);
    }
    shortMessage_[shortFill_++] = byte;
    if (--shortNeeded_ == 0) {
      out.push_back({MIM_DATA, PackShort(shortMessage_, shortFill_)});
      shortFill_ = 0;
    }
    return;
  }

  // A System Exclusive byte (F0, data, or the closing F7).
  if (queue_.empty()) {
    ++dropped_;
    if (byte == 0xF7) inSysex_ = false;
    return;
  }
  MidiHeader* header = queue_.front();
  header->data[header->bytesRecorded++] = byte;
  if (byte == 0xF7) {
    inSysex_ = false;
    completeFront(out);
  } else if (header->bytesRecorded >= header->bufferLength) {
    completeFront(out);
  }
}

}  // namespace varnet
