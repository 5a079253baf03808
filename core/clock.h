// The one seam for time. Every sleep and wait of the MIDI layer, the engine and the simulated
// converter goes through a Clock, so that tests run on virtual time: a 15 s pause costs nothing.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <queue>
#include <vector>

namespace varnet {

class Clock {
 public:
  using Duration = std::chrono::microseconds;
  using TimePoint = std::chrono::time_point<std::chrono::steady_clock, Duration>;

  virtual ~Clock() = default;

  virtual TimePoint now() = 0;
  // Returns at or after `deadline`. Pacing code sleeps on absolute deadlines so that a fixed
  // spacing does not drift over thousands of pieces.
  virtual void sleepUntil(TimePoint deadline) = 0;
  // The same, for a deadline that may matter to the microsecond: where the system wakes sleepers
  // late, the last stretch is waited for busily, unless `settled` says by then that nothing is
  // expected to happen right around the deadline (see RealClock::kSpinLead for the cost).
  virtual void sleepUntilPrecisely(TimePoint deadline, const std::function<bool()>& settled) {
    (void)settled;
    sleepUntil(deadline);
  }
  // Waits until `ready` returns true or `timeout` has passed; returns the last value of `ready`.
  // `ready` is typically a load of an atomic flag written by a MIDI callback.
  virtual bool waitFor(const std::function<bool()>& ready, Duration timeout) = 0;
  // Something a waitFor may be waiting on has changed (a MIDI callback marked a message sent or
  // staged input): a waiter looks at its condition again now rather than at its next poll. Never
  // blocks for longer than a counter increment under a lock no one holds for more than that.
  virtual void notify() {}

  void sleepFor(Duration d) { sleepUntil(now() + d); }
  void sleepMs(uint32_t ms) { sleepFor(std::chrono::milliseconds(ms)); }
};

// Wall-clock time (steady_clock). waitFor sleeps on a condition variable that notify() wakes, so
// the sender sees a completion as it happens; a condition that changes without a notify is still
// seen within kFallbackPoll.
class RealClock final : public Clock {
 public:
  static constexpr Duration kFallbackPoll = std::chrono::milliseconds(5);
  // How long before a precise deadline a sleeping thread stops sleeping and waits busily instead
  // (at most 3 % of a core while pieces go out every 10 ms), and how long waitFor looks busily
  // before it blocks.
  static constexpr Duration kSpinLead = std::chrono::microseconds(300);

  TimePoint now() override;
  void sleepUntil(TimePoint deadline) override;
  void sleepUntilPrecisely(TimePoint deadline, const std::function<bool()>& settled) override;
  bool waitFor(const std::function<bool()>& ready, Duration timeout) override;
  void notify() override;

 private:
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t notifications_ = 0;
};

// Virtual time: it advances only when code sleeps or waits. Events scheduled with `schedule`
// (deliveries of the simulated converter, completions of the virtual MIDI port) run, in time
// order, on the thread whose sleep or wait carries the clock past their due time. Events never
// run on two threads at once (like a MIDI service's single callback thread). Thread-safe;
// deterministic when one thread at a time sleeps.
class VirtualClock final : public Clock {
 public:
  using Event = std::function<void()>;

  TimePoint now() override;
  void sleepUntil(TimePoint deadline) override;
  bool waitFor(const std::function<bool()>& ready, Duration timeout) override;

  // Runs `event` when the clock reaches `due` (at once on the next advance if `due` has passed).
  void schedule(TimePoint due, Event event);
  // Runs every event that is due now without advancing time.
  void runDue();
  std::size_t pendingEvents();

 private:
  // Moves time forward to `target`, running events due on the way, each at its own time.
  void advanceTo(TimePoint target);
  bool popDue(TimePoint limit, Event& out);

  struct Scheduled {
    TimePoint due;
    uint64_t seq;
    Event event;
    // Earliest due first; equal times in the order they were scheduled.
    bool operator>(const Scheduled& other) const {
      return due != other.due ? due > other.due : seq > other.seq;
    }
  };
  std::mutex mutex_;
  std::recursive_mutex runMutex_;  // serialises the running of events
  TimePoint now_{};
  uint64_t nextSeq_ = 0;
  std::priority_queue<Scheduled, std::vector<Scheduled>, std::greater<>> events_;
};

}  // namespace varnet
