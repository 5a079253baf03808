#include "core/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using varnet::Clock;
using varnet::RealClock;
using varnet::VirtualClock;

TEST(VirtualClock, TimeMovesOnlyWhenSomeoneSleepsAndEventsRunInDueOrder) {
  VirtualClock clock;
  const auto t0 = clock.now();
  std::vector<int> order;
  std::vector<Clock::Duration> seenAt;
  clock.schedule(t0 + 30ms, [&] {
    order.push_back(3);
    seenAt.push_back(clock.now() - t0);
  });
  clock.schedule(t0 + 10ms, [&] {
    order.push_back(1);
    seenAt.push_back(clock.now() - t0);
  });
  clock.schedule(t0 + 10ms, [&] {
    order.push_back(2);
    seenAt.push_back(clock.now() - t0);
  });
  EXPECT_EQ(clock.now(), t0);

  clock.sleepFor(20ms);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(clock.now() - t0, Clock::Duration(20ms));

  clock.sleepFor(15s);  // a long pause costs nothing
  EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
  ASSERT_EQ(seenAt.size(), 3u);
  EXPECT_EQ(seenAt[0], Clock::Duration(10ms));  // each event sees its own due time
  EXPECT_EQ(seenAt[2], Clock::Duration(30ms));
  EXPECT_EQ(clock.now() - t0, Clock::Duration(15020ms));
}

TEST(VirtualClock, SleepingUntilAPastDeadlineDoesNotMoveTimeBackwards) {
  VirtualClock clock;
  clock.sleepFor(50ms);
  const auto t = clock.now();
  clock.sleepUntil(t - 20ms);
  EXPECT_EQ(clock.now(), t);
}

TEST(VirtualClock, EventsMayScheduleFurtherEventsThatRunInTheSameSleep) {
  VirtualClock clock;
  const auto t0 = clock.now();
  int chain = 0;
  std::function<void()> step = [&] {
    if (++chain < 5) clock.schedule(clock.now() + 1ms, step);
  };
  clock.schedule(t0 + 1ms, step);
  clock.sleepFor(10ms);
  EXPECT_EQ(chain, 5);
  EXPECT_EQ(clock.pendingEvents(), 0u);
}

TEST(VirtualClock, WaitForStopsAtTheEventThatMakesItTrue) {
  VirtualClock clock;
  const auto t0 = clock.now();
  std::atomic<bool> done{false};
  clock.schedule(t0 + 7ms, [&] { done = true; });
  EXPECT_TRUE(clock.waitFor([&] { return done.load(); }, 2s));
  EXPECT_EQ(clock.now() - t0, Clock::Duration(7ms));
}

TEST(VirtualClock, WaitForTimesOutAtItsBoundWhenNothingHappens) {
  VirtualClock clock;
  const auto t0 = clock.now();
  bool late = false;
  clock.schedule(t0 + 3s, [&] { late = true; });
  EXPECT_FALSE(clock.waitFor([] { return false; }, 2s));
  EXPECT_EQ(clock.now() - t0, Clock::Duration(2s));
  EXPECT_FALSE(late);  // an event beyond the bound has not run
}

TEST(VirtualClock, EventsFromTwoSleepingThreadsNeverRunConcurrently) {
  VirtualClock clock;
  const auto t0 = clock.now();
  std::atomic<int> inside{0};
  std::atomic<int> overlaps{0};
  std::atomic<int> ran{0};
  for (int i = 0; i < 2000; ++i) {
    clock.schedule(t0 + std::chrono::microseconds(i * 10), [&] {
      if (inside.fetch_add(1) != 0) overlaps++;
      ran++;
      inside.fetch_sub(1);
    });
  }
  std::thread a([&] {
    for (int i = 0; i < 1000; ++i) clock.sleepFor(10us);
  });
  std::thread b([&] {
    for (int i = 0; i < 1000; ++i) clock.sleepFor(10us);
  });
  a.join();
  b.join();
  clock.sleepFor(1s);
  EXPECT_EQ(ran.load(), 2000);
  EXPECT_EQ(overlaps.load(), 0);
}

TEST(RealClock, SleepUntilReachesItsDeadlineAndWaitForSeesAFlagSetElsewhere) {
  RealClock clock;
  const auto deadline = clock.now() + 5ms;
  clock.sleepUntil(deadline);
  EXPECT_GE(clock.now(), deadline);

  std::atomic<bool> flag{false};
  std::thread setter([&] {
    std::this_thread::sleep_for(2ms);
    flag = true;
  });
  EXPECT_TRUE(clock.waitFor([&] { return flag.load(); }, 5s));
  setter.join();
  EXPECT_FALSE(clock.waitFor([] { return false; }, 1ms));
}

// A precise sleep asks once, shortly before the deadline, whether anything is still due, and
// returns no earlier than the deadline either way; a deadline nearer than the busy stretch, or
// already past, is not slept past.
TEST(RealClock, PreciseSleepAsksOnceAndNeverReturnsEarly) {
  RealClock clock;
  for (const bool settled : {true, false}) {
    for (const auto ahead : {Clock::Duration(3ms), RealClock::kSpinLead / 2, Clock::Duration(0)}) {
      SCOPED_TRACE(testing::Message() << "settled " << settled << ", " << ahead.count() << " us");
      int asked = 0;
      const auto deadline = clock.now() + ahead;
      clock.sleepUntilPrecisely(deadline, [&] {
        ++asked;
        return settled;
      });
      EXPECT_GE(clock.now(), deadline);
      EXPECT_EQ(asked, 1);
    }
  }
}

// The sender waits for a completion that a MIDI callback signals with notify(): the waiter
// sleeps until then instead of polling, and still sees it at once.
TEST(RealClock, WaitForSleepsUntilNotifiedInsteadOfPolling) {
  RealClock clock;
  std::atomic<bool> flag{false};
  std::atomic<int> looks{0};
  std::thread setter([&] {
    std::this_thread::sleep_for(60ms);
    flag = true;
    clock.notify();
  });
  const auto start = std::chrono::steady_clock::now();
  // The first moments are looked at busily (a completion is often that close); after them the
  // wait must sleep. Looks are counted from well past that stretch: under a sanitizer the wait
  // starts measurably after `start`, and its busy looks then run on past start + kSpinLead.
  const auto spinEnd = start + 10ms;
  static_assert(RealClock::kSpinLead < 10ms);
  EXPECT_TRUE(clock.waitFor(
      [&] {
        if (std::chrono::steady_clock::now() > spinEnd) ++looks;
        return flag.load();
      },
      10s));
  const auto waited = std::chrono::steady_clock::now() - start;
  setter.join();
  EXPECT_LT(waited, 5s);
  // Polling every 500 us would look about 100 times in those 50 ms; the fallback poll alone
  // allows 50 ms / 5 ms.
  EXPECT_LE(looks.load(), 50ms / RealClock::kFallbackPoll + 3);
}
