#include "midi/output_queue.h"

#include <algorithm>
#include <vector>

namespace varnet {

namespace {

void MarkDone(MidiHeader* header) {
  header->flags = (header->flags | MHDR_DONE) & ~static_cast<uint32_t>(MHDR_INQUEUE);
}

}  // namespace

void OutputMessageQueue::open(MidiHandle handle, MidiCallback callback, uintptr_t instance) {
  std::lock_guard lock(mutex_);
  target_ = {handle, callback, instance};
  queue_.clear();
}

uint32_t OutputMessageQueue::prepare(MidiHeader* header) {
  if (header == nullptr || (header->data == nullptr && header->bufferLength > 0)) {
    return MMSYSERR_INVALPARAM;
  }
  header->flags |= MHDR_PREPARED;
  return MMSYSERR_NOERROR;
}

uint32_t OutputMessageQueue::unprepare(MidiHeader* header) {
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  if (isQueued(header)) return MIDIERR_STILLPLAYING;
  header->flags &= ~static_cast<uint32_t>(MHDR_PREPARED);
  return MMSYSERR_NOERROR;
}

uint32_t OutputMessageQueue::add(MidiHeader* header) {
  if (header == nullptr || (header->data == nullptr && header->bufferLength > 0)) {
    return MMSYSERR_INVALPARAM;
  }
  std::lock_guard lock(mutex_);
  if ((header->flags & MHDR_PREPARED) == 0) return MIDIERR_UNPREPARED;
  if (!copiesBytes_ && std::find(queue_.begin(), queue_.end(), header) != queue_.end()) {
    return MIDIERR_STILLPLAYING;
  }
  if (!copiesBytes_) {
    header->flags = (header->flags | MHDR_INQUEUE) & ~static_cast<uint32_t>(MHDR_DONE);
  }
  queue_.push_back(header);
  return MMSYSERR_NOERROR;
}

void OutputMessageQueue::withdraw(MidiHeader* header) {
  std::lock_guard lock(mutex_);
  std::erase(queue_, header);
  if (!copiesBytes_) header->flags &= ~static_cast<uint32_t>(MHDR_INQUEUE);
}

bool OutputMessageQueue::complete(MidiHeader* header) {
  bool queued;
  {
    std::lock_guard lock(mutex_);
    const auto it = std::find(queue_.begin(), queue_.end(), header);
    queued = it != queue_.end();
    if (queued) queue_.erase(it);
    if (!copiesBytes_ && std::find(queue_.begin(), queue_.end(), header) == queue_.end()) {
      MarkDone(header);
    }
  }
  if (queued) report(header);
  return queued;
}

void OutputMessageQueue::returnQueued(std::size_t keep) {
  std::vector<MidiHeader*> returned;
  {
    std::lock_guard lock(mutex_);
    while (queue_.size() > keep) {
      returned.insert(returned.begin(), queue_.back());
      queue_.pop_back();
    }
    if (!copiesBytes_) {
      for (MidiHeader* header : returned) MarkDone(header);
    }
  }
  for (MidiHeader* header : returned) report(header);
}

void OutputMessageQueue::report(MidiHeader* header) {
  CallbackTarget target;
  {
    std::lock_guard lock(mutex_);
    target = target_;
  }
  target.call(MOM_DONE, reinterpret_cast<uintptr_t>(header));
}

}  // namespace varnet
