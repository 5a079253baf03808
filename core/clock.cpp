#include "core/clock.h"

#include <algorithm>
#include <thread>

namespace varnet {

Clock::TimePoint RealClock::now() {
  return std::chrono::time_point_cast<Duration>(std::chrono::steady_clock::now());
}

void RealClock::sleepUntil(TimePoint deadline) {
  // sleep_until may wake a few microseconds early where the system's timer is coarser than
  // steady_clock (seen with mingw-w64's run-time); pacing relies on never returning before it.
  while (now() < deadline) std::this_thread::sleep_until(deadline);
}

void RealClock::sleepUntilPrecisely(TimePoint deadline, const std::function<bool()>& settled) {
  // A virtual machine wakes a sleeping thread some 100 to 500 us after its time, even an idle
  // one; a stream that pays that on each of its thousands of pieces runs percents late.
  sleepUntil(deadline - kSpinLead);
  if (settled()) {
    // Nothing else to wait for: hold the core for the last stretch.
    while (now() < deadline) {
    }
    return;
  }
  // Something is due from another thread around the deadline: give way to it while waiting.
  // (Measured on a 2-core virtual machine: holding the core here made a wire-timed port slower,
  // yielding in the branch above made JACK updates slower beside busy processes.)
  while (now() < deadline) std::this_thread::yield();
}

bool RealClock::waitFor(const std::function<bool()>& ready, Duration timeout) {
  const TimePoint deadline = now() + timeout;
  // A completion usually lands within moments of the sender's deadline (a wire-timed port
  // finishes a full piece 0.24 ms after its 10 ms): looking for it for a short while first spares
  // the condition variable's wake-up, which costs as much again.
  const TimePoint spinUntil = std::min(deadline, now() + kSpinLead);
  while (now() < spinUntil) {
    if (ready()) return true;
    std::this_thread::yield();
  }
  for (;;) {
    // The count is taken before the condition is looked at: a notify that lands between the two
    // changes it, and the wait below then returns at once instead of missing the wake-up.
    uint64_t seen;
    {
      std::lock_guard lock(mutex_);
      seen = notifications_;
    }
    if (ready()) return true;
    const TimePoint current = now();
    if (current >= deadline) return ready();
    const TimePoint until = std::min(deadline, current + kFallbackPoll);
    std::unique_lock lock(mutex_);
    changed_.wait_until(lock, std::chrono::steady_clock::time_point(until),
                        [&] { return notifications_ != seen; });
  }
}

void RealClock::notify() {
  {
    std::lock_guard lock(mutex_);
    ++notifications_;
  }
  changed_.notify_all();
}

Clock::TimePoint VirtualClock::now() {
  std::lock_guard lock(mutex_);
  return now_;
}

bool VirtualClock::popDue(TimePoint limit, Event& out) {
  std::lock_guard lock(mutex_);
  if (events_.empty() || events_.top().due > limit) return false;
  // The queue's top is const; the event is moved out just before the pop discards it.
  auto& top = const_cast<Scheduled&>(events_.top());
  if (top.due > now_) now_ = top.due;
  out = std::move(top.event);
  events_.pop();
  return true;
}

void VirtualClock::advanceTo(TimePoint target) {
  std::lock_guard run(runMutex_);
  Event event;
  while (popDue(target, event)) {
    event();  // runs without the lock: it may schedule further events
  }
  std::lock_guard lock(mutex_);
  if (target > now_) now_ = target;
}

void VirtualClock::sleepUntil(TimePoint deadline) {
  TimePoint current = now();
  advanceTo(std::max(deadline, current));
}

bool VirtualClock::waitFor(const std::function<bool()>& ready, Duration timeout) {
  const TimePoint deadline = now() + timeout;
  runDue();
  while (!ready()) {
    TimePoint next;
    {
      std::lock_guard lock(mutex_);
      if (now_ >= deadline) break;
      next = deadline;
      if (!events_.empty()) next = std::min(next, std::max(events_.top().due, now_));
    }
    advanceTo(next);
  }
  return ready();
}

void VirtualClock::schedule(TimePoint due, Event event) {
  std::lock_guard lock(mutex_);
  events_.push({due, nextSeq_++, std::move(event)});
}

void VirtualClock::runDue() {
  advanceTo(now());
}

std::size_t VirtualClock::pendingEvents() {
  std::lock_guard lock(mutex_);
  return events_.size();
}

}  // namespace varnet
