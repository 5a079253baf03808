// The link check against the simulated converter's faults, on the virtual clock: each way a link
// lets short messages down gives its own count, and only a clean link is called fit.
#include "engine/link_check.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/layer_port.h"
#include "midi/midi_ports.h"
#include "sim/converter.h"

namespace varnet {
namespace {

using std::chrono::milliseconds;

class SilentPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request.text);
    return NegativeAnswer(request.buttons);
  }
  std::vector<std::string> boxes;
};

struct LinkRig {
  explicit LinkRig(const std::vector<const char*>& faults) {
    sim::ConverterConfig config;
    for (const char* fault : faults) {
      std::string error;
      EXPECT_TRUE(sim::ParseFault(fault, config.faults, error)) << error;
    }
    converter = std::make_unique<sim::SimulatedConverter>(config);
    platform.connectConverter(*converter);
    InitMidiPorts(midi);
  }
  VirtualClock clock;
  std::unique_ptr<sim::SimulatedConverter> converter;
  VirtualMidiPlatform platform{clock};
  SilentPrompts prompts;
  MidiLayer midi{platform, prompts};
};

struct LinkCase {
  const char* name;
  std::vector<const char*> faults;
  uint32_t received, lost, late, malformed;
  bool undelivered;
  bool fit;
};

TEST(CheckLink, EachFaultShowsItsVerdict) {
  constexpr uint32_t kCount = 6;
  const std::vector<LinkCase> cases = {
      {"clean", {}, kCount, 0, 0, 0, false, true},
      {"every third reply lost", {"lose-replies:3"}, 4, 2, 0, 0, false, false},
      {"every reply lost", {"lose-replies:1"}, 0, kCount, 0, 0, false, false},
      {"silent", {"no-reply"}, 0, kCount, 0, 0, false, false},
      {"slow", {"late-reply"}, 0, 0, kCount, 0, false, false},
      {"garbled", {"wrong-id"}, 0, 0, 0, kCount, false, false},
      // The stream's faults leave the identify reply alone: a link can look fit and still fail
      // an update, which the update's own check then says.
      {"echo faults only", {"lose-echo:40:3", "split-echo"}, kCount, 0, 0, 0, false, true},
      {"request never completes", {"stall-output"}, 0, 0, 0, 0, true, false},
  };
  for (const LinkCase& c : cases) {
    LinkRig rig(c.faults);
    std::unique_ptr<UpdatePort> port = MakeLayerPort(rig.midi, rig.clock);
    LinkCheckResult r;
    ASSERT_TRUE(CheckLink(*port, rig.clock, kCount, r)) << c.name;
    EXPECT_EQ(r.received, c.received) << c.name;
    EXPECT_EQ(r.lost, c.lost) << c.name;
    EXPECT_EQ(r.late, c.late) << c.name;
    EXPECT_EQ(r.malformed, c.malformed) << c.name;
    EXPECT_EQ(r.undelivered, c.undelivered) << c.name;
    EXPECT_EQ(r.fit(), c.fit) << c.name;
    EXPECT_EQ(r.sent, c.undelivered ? 1u : kCount) << c.name;
    EXPECT_EQ(r.roundTrips.size(), r.received + r.late) << c.name;
    // Nothing but identify requests went out, and the ports were let go.
    const std::vector<uint8_t> wire = rig.platform.sentBytes(0);
    EXPECT_EQ(wire.size(), 8u * r.sent) << c.name;
    EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u) << c.name;
    EXPECT_FALSE(rig.converter->decoded().headerSeen) << c.name;
  }
}

TEST(CheckLink, RoundTripsFollowTheDevice) {
  for (const int delayMs : {20, 80, 450}) {
    LinkRig rig({});
    rig.converter->setReplyDelay(milliseconds(delayMs));
    std::unique_ptr<UpdatePort> port = MakeLayerPort(rig.midi, rig.clock);
    LinkCheckResult r;
    const Clock::TimePoint start = rig.clock.now();
    ASSERT_TRUE(CheckLink(*port, rig.clock, 5, r));
    EXPECT_TRUE(r.fit()) << delayMs;
    EXPECT_GE(r.minimum(), milliseconds(delayMs)) << delayMs;
    EXPECT_LE(r.maximum(), milliseconds(delayMs + 10)) << delayMs;
    EXPECT_LE(r.minimum(), r.median());
    EXPECT_LE(r.median(), r.maximum());
    // One request after the other's reply: the whole check takes about five round trips.
    EXPECT_GE(rig.clock.now() - start, 5 * r.minimum()) << delayMs;
  }
}

TEST(CheckLink, MedianOfAnEvenCountIsTheMiddlePairsMean) {
  LinkCheckResult r;
  r.roundTrips = {milliseconds(40), milliseconds(10), milliseconds(30), milliseconds(20)};
  EXPECT_EQ(r.median(), milliseconds(25));
  EXPECT_EQ(r.minimum(), milliseconds(10));
  EXPECT_EQ(r.maximum(), milliseconds(40));
}

}  // namespace
}  // namespace varnet
