// The input callback against the fetch on two real threads. Run under ThreadSanitizer in CI.
//
// What a correct hand-over must deliver: every block, in arrival order, never torn. Blocks that
// arrive while both areas wait are held and come out in later fetches; a gap, a reordering or a
// torn block is a fault.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <random>
#include <thread>
#include <vector>

#include "midi/midi_ports.h"
#include "midi/platform_base.h"

namespace varnet {
namespace {

// The staging logic makes no platform call; the stress needs none.
class NoPlatform final : public UnsupportedMidiPlatform {};

class NoPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest&) override { return BoxAnswer::Ok; }
};

// Block `seq`: 4 to 128 bytes (every length occurs), its number in the first four, then a
// pattern that depends on both, so a torn or mixed block cannot pass.
// A short, random busy pause: the two threads must meet at every point of each other's steps.
void Jitter(std::minstd_rand& random, unsigned range) {
  const unsigned spins = random() % range;
  for (unsigned i = 0; i < spins; ++i) std::atomic_signal_fence(std::memory_order_seq_cst);
}

uint32_t LengthOf(uint32_t seq) {
  return 4 + seq % 125;
}
uint8_t ByteOf(uint32_t seq, uint32_t i) {
  return static_cast<uint8_t>(seq * 31 + i * 7);
}

void Build(uint32_t seq, std::vector<uint8_t>& out) {
  out.resize(LengthOf(seq));
  std::memcpy(out.data(), &seq, 4);
  for (uint32_t i = 4; i < out.size(); ++i) out[i] = ByteOf(seq, i);
}

struct Check {
  uint32_t lastSeq = 0;
  uint64_t delivered = 0;
  std::vector<std::string> faults;

  // Returns the block's number, or 0 (after noting a fault) when the block is not one we made.
  uint32_t Verify(const uint8_t* data, int32_t length) {
    uint32_t seq = 0;
    if (length >= 4) std::memcpy(&seq, data, 4);
    if (length < 4 || seq == 0 || static_cast<uint32_t>(length) != LengthOf(seq)) {
      faults.push_back("block of length " + std::to_string(length) + " is torn");
      return 0;
    }
    for (uint32_t i = 4; i < LengthOf(seq); ++i) {
      if (data[i] != ByteOf(seq, i)) {
        faults.push_back("block " + std::to_string(seq) + " is torn at byte " + std::to_string(i));
        return 0;
      }
    }
    return seq;
  }

  void Fetched(MidiPorts& p) {
    uint32_t a = 0;
    if (p.frameALength > 0) {
      a = Verify(p.frameA.data(), p.frameALength);
      if (a != 0 && a != lastSeq + 1) {
        faults.push_back("frameA holds block " + std::to_string(a) + " after " +
                         std::to_string(lastSeq));
      }
      if (a != 0) lastSeq = a, ++delivered;
    }
    if (p.frameBLength > 0) {
      const uint32_t b = Verify(p.frameB.data(), p.frameBLength);
      if (a == 0) {
        faults.push_back("frameB filled without frameA");
      } else if (b != 0 && b != a + 1) {
        faults.push_back("frameB holds block " + std::to_string(b) + " after " + std::to_string(a));
      }
      if (b != 0) lastSeq = b, ++delivered;
    }
    // The callers zero the lengths themselves after reading.
    p.frameALength = 0;
    p.frameBLength = 0;
  }
};

TEST(StagingStress, CallbackAgainstFetchLosesNothing) {
  NoPlatform platform;
  NoPrompts prompts;
  MidiLayer midi{platform, prompts};
#if defined(__SANITIZE_THREAD__)
  constexpr uint32_t kBlocks = 6000;  // ThreadSanitizer runs every access some 10 times slower
#else
  constexpr uint32_t kBlocks = 50000;
#endif

  std::atomic<bool> done{false};
  std::atomic<uint64_t> fetchCount{0};
  std::thread callbackThread([&] {
    std::vector<uint8_t> block;
    std::minstd_rand random(1);
    for (uint32_t seq = 1; seq <= kBlocks; ++seq) {
      Build(seq, block);
      StageInputBlock(midi, block.data(), static_cast<uint32_t>(block.size()));
      // Bursts and gaps: both areas often wait at once, and often only one does. Now and then
      // wait for a fetch, so that the threads meet even when they share one core.
      Jitter(random, seq % 1000 < 500 ? 40 : 2000);
      if (random() % 3 == 0) {
        const uint64_t seen = fetchCount.load(std::memory_order_relaxed);
        while (fetchCount.load(std::memory_order_relaxed) == seen) std::this_thread::yield();
      }
    }
    done.store(true, std::memory_order_release);
  });

  Check check;
  uint64_t fetches = 0;
  std::minstd_rand random(2);
  while (!done.load(std::memory_order_acquire)) {
    FetchCapturedInput(midi);
    check.Fetched(midi.ports);
    ++fetches;
    fetchCount.store(fetches, std::memory_order_relaxed);
    Jitter(random, 600);
    if (random() % 128 == 0)
      std::this_thread::yield();  // let the callback thread run on a busy core
  }
  callbackThread.join();
  for (int i = 0; i < 40; ++i) {  // what the callback left waiting or held
    FetchCapturedInput(midi);
    check.Fetched(midi.ports);
  }

  ASSERT_TRUE(check.faults.empty())
      << check.faults.front() << " (" << check.faults.size() << " faults)";
  EXPECT_EQ(check.lastSeq, kBlocks);
  EXPECT_EQ(check.delivered, kBlocks);
  EXPECT_EQ(midi.held.dropped, 0u);
  EXPECT_EQ(midi.stagingA.free.load(), 1u);
  EXPECT_EQ(midi.stagingB.free.load(), 1u);
  std::printf("fetches %llu, delivered %llu\n", static_cast<unsigned long long>(fetches),
              static_cast<unsigned long long>(check.delivered));
}

// A reader that looks away while a whole burst comes back (a long server period, a pause, the
// end of the stream) gets every block in order, two a look; only a burst past what can be held
// loses its newest blocks, which the echo check then sees as a gap.
TEST(StagingStress, BurstBetweenTwoLooksComesBackInOrder) {
  for (const uint32_t burst :
       {3u, 7u, uint32_t(kHeldInputBlocks + 2), uint32_t(kHeldInputBlocks + 9)}) {
    SCOPED_TRACE(burst);
    NoPlatform platform;
    NoPrompts prompts;
    MidiLayer midi{platform, prompts};
    std::vector<uint8_t> block;
    for (uint32_t seq = 1; seq <= burst; ++seq) {
      Build(seq, block);
      StageInputBlock(midi, block.data(), static_cast<uint32_t>(block.size()));
    }
    Check check;
    for (uint32_t look = 0; look < burst; ++look) {
      FetchCapturedInput(midi);
      check.Fetched(midi.ports);
    }
    ASSERT_TRUE(check.faults.empty()) << check.faults.front();
    const uint64_t kept = std::min<uint64_t>(burst, kHeldInputBlocks + 2);
    EXPECT_EQ(check.delivered, kept);
    EXPECT_EQ(midi.held.dropped, burst - kept);
    // Once drained, a new block goes straight to area A again.
    Build(burst + 1, block);
    StageInputBlock(midi, block.data(), static_cast<uint32_t>(block.size()));
    FetchCapturedInput(midi);
    EXPECT_EQ(check.Verify(midi.ports.frameA.data(), midi.ports.frameALength), burst + 1);
  }
}

}  // namespace
}  // namespace varnet
