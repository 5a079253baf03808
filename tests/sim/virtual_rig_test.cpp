// The port layer, the virtual platform and the simulated converter together, on virtual time and
// on the real clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <set>
#include <vector>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "sim/converter.h"
#include "tests/midi/test_prompts.h"

namespace varnet {
namespace {

const std::vector<uint8_t> kIdentify = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x10, 0xF7};
const std::vector<uint8_t> kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

// A session's worth of wiring on a given clock.
struct Rig {
  explicit Rig(Clock& clock, sim::ConverterConfig config = {})
      : clock(clock), device(config), platform(clock) {
    platform.connectConverter(device);
  }

  void Open() {
    ASSERT_EQ(OpenMidiInput(midi), 0);
    midi.ports.inputOpen = 1;
    ASSERT_EQ(OpenMidiOutput(midi), 0);
    midi.ports.outputOpen = 1;
    SetInputRequeue(midi, 1);
    ASSERT_EQ(PrepareInputBuffers(midi), 0);
    ASSERT_EQ(StartMidiInput(midi), 0);
    QueueInputBuffers(midi);
  }

  // What the sender does: pieces of at most 32 bytes, 10 ms apart, the echo collected after each.
  void Send(const std::vector<uint8_t>& bytes) {
    for (std::size_t at = 0; at < bytes.size(); at += 32) {
      const std::size_t n = std::min<std::size_t>(32, bytes.size() - at);
      std::copy(bytes.begin() + at, bytes.begin() + at + n, midi.ports.outputData.begin());
      midi.ports.outputLength = static_cast<uint32_t>(n);
      ASSERT_EQ(PrepareOutputMessage(midi), 0);
      ASSERT_EQ(SendOutputMessage(midi), 0);
      clock.sleepMs(10);
      Collect();
    }
  }

  void Collect() {
    FetchCapturedInput(midi);
    received.insert(received.end(), midi.ports.frameA.begin(),
                    midi.ports.frameA.begin() + midi.ports.frameALength);
    received.insert(received.end(), midi.ports.frameB.begin(),
                    midi.ports.frameB.begin() + midi.ports.frameBLength);
    if (midi.ports.frameALength > 0) blockSizes.push_back(midi.ports.frameALength);
    if (midi.ports.frameBLength > 0) blockSizes.push_back(midi.ports.frameBLength);
    midi.ports.frameALength = midi.ports.frameBLength = 0;
  }

  Clock& clock;
  sim::SimulatedConverter device;
  VirtualMidiPlatform platform;
  testing::RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};
  std::vector<uint8_t> received;
  std::vector<int32_t> blockSizes;
};

bool IsSubsequence(const std::vector<uint8_t>& part, const std::vector<uint8_t>& whole) {
  std::size_t at = 0;
  for (uint8_t b : whole) {
    if (at < part.size() && part[at] == b) ++at;
  }
  return at == part.size();
}

std::vector<uint8_t> Body(std::size_t n) {
  std::vector<uint8_t> body;
  for (std::size_t i = 0; i < n; ++i) body.push_back(static_cast<uint8_t>(0x40 + i % 64));
  return body;
}

TEST(VirtualRig, IdentifyReplyLandsInFrameAWithinTheWindow) {
  VirtualClock clock;
  Rig rig(clock);
  rig.Open();
  rig.Send(kIdentify);
  clock.sleepMs(500);
  FetchCapturedInput(rig.midi);
  ASSERT_GT(rig.midi.ports.frameALength, 8);
  EXPECT_EQ(rig.midi.ports.frameA[4], 0x32);
  EXPECT_EQ(rig.midi.ports.frameA[6], 0x30);
  EXPECT_EQ(rig.midi.ports.frameA[10] & 1, 1);
  EXPECT_EQ(rig.platform.sentBytes(0), kIdentify);
}

TEST(VirtualRig, ALateReplyMissesTheWindowButArrivesLater) {
  VirtualClock clock;
  sim::ConverterConfig config;
  config.faults.lateReply = true;
  Rig rig(clock, config);
  rig.Open();
  rig.Send(kIdentify);
  clock.sleepMs(500);
  FetchCapturedInput(rig.midi);
  EXPECT_EQ(rig.midi.ports.frameALength, 0);
  clock.sleepMs(200);
  FetchCapturedInput(rig.midi);
  EXPECT_GT(rig.midi.ports.frameALength, 8);
}

TEST(VirtualRig, TheWholeStreamComesBackAndDecodes) {
  VirtualClock clock;
  Rig rig(clock);
  rig.Open();
  std::vector<uint8_t> sent = kHeader;
  rig.Send(kHeader);
  clock.sleepMs(100);
  const std::vector<uint8_t> body = Body(1000);
  rig.Send(body);
  sent.insert(sent.end(), body.begin(), body.end());
  rig.Send({0xF7});
  clock.sleepMs(50);
  rig.Collect();
  sent.push_back(0xF7);
  EXPECT_EQ(rig.received, sent);
  // Echo blocks complete every 128 bytes, the last one at F7.
  ASSERT_FALSE(rig.blockSizes.empty());
  for (std::size_t i = 0; i + 1 < rig.blockSizes.size(); ++i) EXPECT_EQ(rig.blockSizes[i], 128);
  const sim::StreamDecode decoded = rig.device.decoded();
  EXPECT_TRUE(decoded.ended);
  EXPECT_EQ(decoded.bodyBytes, 1000u);
  EXPECT_EQ(decoded.symbols.size(), 999u * 3);
  // Long messages complete at wire speed: the output is idle again at the end.
  EXPECT_EQ(rig.platform.pendingLongMessages(0), 0u);
  EXPECT_EQ(rig.midi.outputDone.load(), 1u);
}

TEST(VirtualRig, OddBlocksReachTheFramesInIrregularSizes) {
  VirtualClock clock;
  sim::ConverterConfig config;
  config.faults.oddBlocks = true;
  Rig rig(clock, config);
  rig.Open();
  rig.Send(kHeader);
  rig.Send(Body(200));
  clock.sleepMs(50);
  rig.Collect();
  std::vector<uint8_t> sent = kHeader;
  const std::vector<uint8_t> body = Body(200);
  sent.insert(sent.end(), body.begin(), body.end());
  // Up to three blocks can come back between two fetches; the third replaces the second, so
  // the frames may miss bytes, but never reorder them.
  EXPECT_LE(rig.received.size(), sent.size());
  EXPECT_TRUE(IsSubsequence(rig.received, sent));
  std::set<int32_t> sizes(rig.blockSizes.begin(), rig.blockSizes.end());
  EXPECT_GT(sizes.size(), 3u);
  EXPECT_EQ(rig.received.front(), 0xF0);
}

TEST(VirtualRig, AStalledOutputNeverCompletesAndCannotBeClosed) {
  VirtualClock clock;
  sim::ConverterConfig config;
  config.faults.stallOutput = true;
  Rig rig(clock, config);
  rig.Open();
  rig.Send(kIdentify);
  clock.sleepMs(500);
  EXPECT_EQ(rig.midi.outputDone.load(), 0u);
  EXPECT_EQ(ResetMidiOutput(rig.midi), 1);
  EXPECT_EQ(CloseMidiOutput(rig.midi), static_cast<uint32_t>(MIDIERR_STILLPLAYING));
  // A reset gives the message back; then the port closes.
  EXPECT_EQ(rig.platform.outReset(rig.midi.ports.outputHandle), 0u);
  EXPECT_EQ(rig.midi.outputDone.load(), 1u);
  EXPECT_EQ(CloseMidiOutput(rig.midi), 0u);
}

TEST(VirtualRig, AnUnpluggedDeviceGoesQuietAndItsOutputStalls) {
  VirtualClock clock;
  sim::ConverterConfig config;
  config.faults.unplugAfter = 8 + 10 + 20;  // request, header, 20 stream bytes
  Rig rig(clock, config);
  rig.Open();
  rig.Send(kIdentify);
  rig.Send(kHeader);
  EXPECT_EQ(rig.midi.outputDone.load(), 1u);
  rig.Send(Body(64));
  clock.sleepMs(100);
  EXPECT_EQ(rig.midi.outputDone.load(), 0u);
  EXPECT_EQ(rig.device.received().size(), 38u);
}

TEST(VirtualRig, MessagesQueueBehindEachOtherOnTheWire) {
  VirtualClock clock;
  Rig rig(clock);
  rig.Open();
  const std::vector<uint8_t> piece = Body(32);
  for (int i = 0; i < 2; ++i) {
    std::copy(piece.begin(), piece.end(), rig.midi.ports.outputData.begin());
    rig.midi.ports.outputLength = 32;
    ASSERT_EQ(PrepareOutputMessage(rig.midi), 0);
    ASSERT_EQ(SendOutputMessage(rig.midi), 0);
  }
  // Two 32-byte messages sent at once take 64 byte times (20.48 ms) to leave.
  clock.sleepFor(std::chrono::microseconds(64 * 320 - 1));
  EXPECT_EQ(rig.platform.pendingLongMessages(0), 1u);
  clock.sleepFor(std::chrono::microseconds(1));
  EXPECT_EQ(rig.platform.pendingLongMessages(0), 0u);
}

TEST(VirtualRig, OnTheRealClockDeliveriesRunOnTheBackendThread) {
  RealClock clock;
  sim::ConverterConfig config;
  config.replyDelay = std::chrono::milliseconds(5);
  Rig rig(clock, config);
  rig.Open();
  rig.Send(kIdentify);
  ASSERT_TRUE(clock.waitFor(
      [&] {
        rig.Collect();
        return rig.received.size() >= 12;
      },
      std::chrono::milliseconds(2000)));
  EXPECT_EQ(rig.received[6], 0x30);
  rig.received.clear();
  rig.Send(kHeader);
  rig.Send(Body(300));
  rig.Send({0xF7});
  EXPECT_TRUE(clock.waitFor(
      [&] {
        rig.Collect();
        return rig.received.size() >= 10u + 300 + 1;
      },
      std::chrono::milliseconds(2000)));
  EXPECT_TRUE(rig.platform.settle());
  EXPECT_EQ(rig.received.size(), 10u + 300 + 1);
  SetInputRequeue(rig.midi, 0);
  StopMidiInput(rig.midi);
  EXPECT_EQ(UnprepareInputBuffers(rig.midi), 0);
  EXPECT_EQ(CloseMidiInput(rig.midi), 0);
  EXPECT_EQ(UnprepareOutputMessage(rig.midi), 0);
  EXPECT_EQ(ResetMidiOutput(rig.midi), 0);
  EXPECT_EQ(CloseMidiOutput(rig.midi), 0u);
}

TEST(VirtualRig, InjectedInputArrivesAfterItsDelay) {
  VirtualClock clock;
  Rig rig(clock);
  rig.Open();
  rig.platform.injectInput(0, {0xF0, 0x01, 0xF7}, std::chrono::milliseconds(30));
  clock.sleepMs(29);
  rig.Collect();
  EXPECT_TRUE(rig.received.empty());
  clock.sleepMs(1);
  rig.Collect();
  EXPECT_EQ(rig.received, (std::vector<uint8_t>{0xF0, 0x01, 0xF7}));
}

}  // namespace
}  // namespace varnet
