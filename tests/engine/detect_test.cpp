// Finding converters on unknown ports: the identify request on each output in turn, replies
// paired with the input they arrived on, over virtual ports on the virtual clock.
#include "engine/detect.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/platform_base.h"
#include "sim/converter.h"

namespace varnet {
namespace {

// A MIDI-through loop: everything sent comes straight back, and reaches a device behind it if
// there is one (a converter that echoes what it hears).
class ThroughPeer final : public VirtualPeer {
 public:
  explicit ThroughPeer(VirtualPeer* device = nullptr) : device_(device) {}
  void receive(const uint8_t* data, std::size_t count, Clock::TimePoint firstArrival,
               Clock::Duration spacing) override {
    emissions_.push_back({firstArrival + spacing * static_cast<int64_t>(count),
                          std::vector<uint8_t>(data, data + count), false});
    if (device_ == nullptr) return;
    device_->receive(data, count, firstArrival, spacing);
    for (PeerEmission& e : device_->takeEmissions()) emissions_.push_back(std::move(e));
  }
  std::vector<PeerEmission> takeEmissions() override { return std::exchange(emissions_, {}); }
  bool completesOutput() const override { return true; }

 private:
  VirtualPeer* device_;
  std::vector<PeerEmission> emissions_;
};

enum class Device { AD, DA, WrongId, LateReply, Through, EchoingDA };

struct Placed {
  Device device;
  uint32_t input;
  uint32_t output;
};

struct Found {
  uint32_t input;
  uint32_t output;
  uint8_t kind;
  bool operator==(const Found&) const = default;
};

struct DetectCase {
  const char* name;
  std::vector<Placed> devices;
  // Opening inputs fails `inputFailures` times after `inputOpensFirst` opens that succeed.
  int inputOpensFirst = 0;
  int inputFailures = 0;
  int failingOutput = -1;  // this output cannot be opened
  std::vector<Found> found;
  uint32_t outputsAsked = 3;
  std::vector<std::pair<bool, uint32_t>> unusable = {};  // (input?, index)
};

std::unique_ptr<sim::SimulatedConverter> Converter(uint8_t kind, bool wrongId = false,
                                                   bool lateReply = false) {
  sim::ConverterConfig config;
  config.kind = kind;
  config.faults.wrongId = wrongId;
  config.faults.lateReply = lateReply;
  return std::make_unique<sim::SimulatedConverter>(config);
}

class DetectTest : public ::testing::TestWithParam<DetectCase> {};

TEST_P(DetectTest, PairsRepliesWithTheirPorts) {
  const DetectCase& c = GetParam();
  VirtualClock clock;
  std::vector<std::unique_ptr<VirtualPeer>> peers;  // outlive the platform
  VirtualMidiPlatform platform(clock, VirtualPorts(3, 3, false));
  for (const Placed& placed : c.devices) {
    switch (placed.device) {
      case Device::AD:
        peers.push_back(Converter(kKindAD));
        break;
      case Device::DA:
        peers.push_back(Converter(kKindDA));
        break;
      case Device::WrongId:
        peers.push_back(Converter(kKindAD, true));
        break;
      case Device::LateReply:
        peers.push_back(Converter(kKindAD, false, true));
        break;
      case Device::Through:
        peers.push_back(std::make_unique<ThroughPeer>());
        break;
      case Device::EchoingDA:
        peers.push_back(Converter(kKindDA));
        peers.push_back(std::make_unique<ThroughPeer>(peers.back().get()));
        break;
    }
    platform.connectConverter(*peers.back(), placed.input, placed.output);
  }
  if (c.inputFailures > 0) {
    platform.failOn(VirtualOp::InOpen, MMSYSERR_ALLOCATED, c.inputFailures, c.inputOpensFirst);
  }
  if (c.failingOutput >= 0) {
    platform.failOn(VirtualOp::OutOpen, MMSYSERR_ALLOCATED, 1, c.failingOutput);
  }

  const DetectReport report = DetectConverters(platform, clock);

  std::vector<Found> found;
  for (const FoundConverter& f : report.found) found.push_back({f.input, f.output, f.kind});
  EXPECT_EQ(found, c.found);
  EXPECT_EQ(report.outputsAsked, c.outputsAsked);
  std::vector<std::pair<bool, uint32_t>> unusable;
  for (const UnusablePort& port : report.unusable) {
    unusable.emplace_back(port.input, port.index);
    EXPECT_FALSE(port.reason.empty());
  }
  EXPECT_EQ(unusable, c.unusable);

  // Nothing but whole identify requests ever goes out, and every port is let go.
  const std::array<uint8_t, 8> request = IdentifyRequestBytes(0x32);
  for (uint32_t port = 0; port < 3; ++port) {
    const std::vector<uint8_t> sent = platform.sentBytes(port);
    ASSERT_EQ(sent.size() % request.size(), 0u) << "output " << port;
    for (std::size_t at = 0; at < sent.size(); at += request.size()) {
      EXPECT_TRUE(std::equal(request.begin(), request.end(), sent.begin() + at)) << port;
    }
    EXPECT_FALSE(platform.isInputOpen(port));
    EXPECT_FALSE(platform.isOutputOpen(port));
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, DetectTest,
    ::testing::Values(
        DetectCase{"OneAmongSilentPorts", {{Device::AD, 1, 2}}, 0, 0, -1, {{1, 2, kKindAD}}},
        DetectCase{"TwoConverters",
                   {{Device::DA, 2, 1}, {Device::AD, 0, 0}},
                   0,
                   0,
                   -1,
                   {{0, 0, kKindAD}, {2, 1, kKindDA}}},
        DetectCase{"None", {}, 0, 0, -1, {}},
        DetectCase{"ThroughPortEchoIsNoReply", {{Device::Through, 1, 1}}, 0, 0, -1, {}},
        DetectCase{
            "ReplyAfterItsOwnEcho", {{Device::EchoingDA, 0, 1}}, 0, 0, -1, {{0, 1, kKindDA}}},
        DetectCase{"WrongDeviceId", {{Device::WrongId, 0, 0}}, 0, 0, -1, {}},
        // Its answer lands in output 1's window; it is not taken for a device on output 1.
        DetectCase{
            "LateReplyNotPairedWithTheNextOutput", {{Device::LateReply, 2, 0}}, 0, 0, -1, {}},
        // Input 2 is refused beside the others and again alone.
        DetectCase{"InputThatFailsToOpenIsSkipped",
                   {{Device::AD, 1, 1}},
                   2,
                   2,
                   -1,
                   {{1, 1, kKindAD}},
                   3,
                   {{true, 2}}},
        DetectCase{
            "ConverterBehindAnInputThatFails", {{Device::AD, 2, 1}}, 2, 2, -1, {}, 3, {{true, 2}}},
        // A backend that holds one input at a time: input 1 is asked about in a round of its own.
        DetectCase{"InputRefusedBesideOthersIsAskedAlone",
                   {{Device::DA, 1, 0}},
                   1,
                   1,
                   -1,
                   {{1, 0, kKindDA}}},
        DetectCase{"OutputThatFailsToOpenIsSkipped",
                   {{Device::DA, 1, 2}},
                   0,
                   0,
                   0,
                   {{1, 2, kKindDA}},
                   2,
                   {{false, 0}}}),
    [](const ::testing::TestParamInfo<DetectCase>& info) { return info.param.name; });

}  // namespace
}  // namespace varnet

namespace varnet {
namespace {

class CountingInputs final : public ForwardingMidiPlatform {
 public:
  using ForwardingMidiPlatform::ForwardingMidiPlatform;
  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    ++opens;
    return ForwardingMidiPlatform::inOpen(handle, device, callback, instance);
  }
  int opens = 0;
};

// A studio's worth of ports: each output is asked once with every input listening, and the pair
// that answered is confirmed on its own input, so the search takes about half a second an output.
TEST(DetectTime, SixteenPortsEachWayTakeAboutHalfASecondAnOutput) {
  for (const uint32_t ports : {1u, 4u, 16u}) {
    SCOPED_TRACE(ports);
    VirtualClock clock;
    std::unique_ptr<VirtualPeer> converter = Converter(kKindAD);
    VirtualMidiPlatform platform(clock, VirtualPorts(ports, ports, false));
    const uint32_t in = ports / 2, out = ports - 1 - ports / 3;
    platform.connectConverter(*converter, in, out);
    CountingInputs counting(platform);
    const Clock::TimePoint start = clock.now();
    const DetectReport report = DetectConverters(counting, clock);
    const double seconds = std::chrono::duration<double>(clock.now() - start).count();
    ASSERT_EQ(report.found.size(), 1u);
    EXPECT_EQ(report.found[0].input, in);
    EXPECT_EQ(report.found[0].output, out);
    EXPECT_EQ(counting.opens, static_cast<int>(ports) + 1);
    EXPECT_LT(seconds, 0.7 * (ports + 1));
  }
}

}  // namespace
}  // namespace varnet
