// The staging areas and the hand-over into the frames, driven through the input callback as the
// MIDI service drives it.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "tests/midi/test_prompts.h"

namespace varnet {
namespace {

class Staging : public ::testing::Test {
 protected:
  VirtualClock clock;
  VirtualMidiPlatform platform{clock};
  testing::RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};

  // A buffer coming back from the service with `bytes` in it.
  // (A header of the test's own, so that the port's queued headers are left alone.)
  std::array<uint8_t, kInputBufferSize> returnedData{};
  MidiHeader returned{};

  void Return(std::vector<uint8_t> bytes, uint32_t message = MIM_LONGDATA) {
    MidiHeader& h = returned;
    h.data = returnedData.data();
    h.bufferLength = kInputBufferSize;
    std::copy(bytes.begin(), bytes.end(), returnedData.begin());
    h.bytesRecorded = static_cast<uint32_t>(bytes.size());
    MidiInputCallback(midi.ports.inputHandle, message, reinterpret_cast<uintptr_t>(&midi),
                      reinterpret_cast<uintptr_t>(&h), 0);
  }

  std::vector<uint8_t> FrameA() const {
    return {midi.ports.frameA.begin(), midi.ports.frameA.begin() + midi.ports.frameALength};
  }
  std::vector<uint8_t> FrameB() const {
    return {midi.ports.frameB.begin(), midi.ports.frameB.begin() + midi.ports.frameBLength};
  }
};

TEST_F(Staging, AZeroByteBlockClaimsAnAreaAndHandsOverLengthZero) {
  midi.ports.frameA.fill(0x55);
  midi.ports.frameALength = 7;
  Return({});
  EXPECT_EQ(midi.stagingA.free.load(), 0u);
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 0);
  EXPECT_EQ(midi.ports.frameA[0], 0x55);  // nothing copied
  EXPECT_EQ(midi.stagingA.free.load(), 1u);
}

TEST_F(Staging, AFetchWithNothingWaitingChangesNoFrame) {
  midi.ports.frameA.fill(0x11);
  midi.ports.frameB.fill(0x22);
  midi.ports.frameALength = 3;
  midi.ports.frameBLength = 4;
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 3);
  EXPECT_EQ(midi.ports.frameBLength, 4);
  EXPECT_EQ(midi.ports.frameA[127], 0x11);
  EXPECT_EQ(midi.ports.frameB[127], 0x22);
}

TEST_F(Staging, TwoBlocksGoIntoFrameAThenFrameB) {
  Return({1, 2, 3});
  Return({4, 5});
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), (std::vector<uint8_t>{1, 2, 3}));
  EXPECT_EQ(FrameB(), (std::vector<uint8_t>{4, 5}));
  EXPECT_EQ(midi.stagingA.free.load(), 1u);
  EXPECT_EQ(midi.stagingB.free.load(), 1u);
  // Both areas are zeroed for the next blocks.
  EXPECT_EQ(std::accumulate(midi.stagingA.bytes.begin(), midi.stagingA.bytes.end(), 0), 0);
  EXPECT_EQ(std::accumulate(midi.stagingB.bytes.begin(), midi.stagingB.bytes.end(), 0), 0);
}

TEST_F(Staging, AThirdBlockWaitsForTheNextFetch) {
  Return({1, 1, 1, 1});
  Return({2, 2, 2, 2, 2, 2});
  Return({3});
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), (std::vector<uint8_t>{1, 1, 1, 1}));
  EXPECT_EQ(FrameB(), (std::vector<uint8_t>{2, 2, 2, 2, 2, 2}));
  midi.ports.frameBLength = 0;  // as a caller does after reading
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), std::vector<uint8_t>{3});
  // Bytes beyond the new, shorter length keep what the frame held: the caller zeroes frames.
  EXPECT_EQ(midi.ports.frameA[1], 1);
  EXPECT_EQ(midi.ports.frameBLength, 0);
}

TEST_F(Staging, AShorterBlockLeavesTheFrameTailAsItWas) {
  Return({9, 9, 9, 9});
  FetchCapturedInput(midi);
  Return({7});
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), std::vector<uint8_t>{7});
  EXPECT_EQ(midi.ports.frameA[1], 9);
}

TEST_F(Staging, AFullBlockFillsItsFrame) {
  std::vector<uint8_t> block(128);
  std::iota(block.begin(), block.end(), 0);
  Return(block);
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 128);
  EXPECT_EQ(FrameA(), block);
}

TEST_F(Staging, ARecordedCountAboveTheBufferIsCutTo128) {
  MidiHeader& h = returned;
  h.data = returnedData.data();
  h.bytesRecorded = 5000;
  MidiInputCallback(0, MIM_LONGDATA, reinterpret_cast<uintptr_t>(&midi),
                    reinterpret_cast<uintptr_t>(&h), 0);
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 128);
}

TEST_F(Staging, OtherCallbackMessagesStageNothing) {
  for (uint32_t message : {MIM_OPEN, MIM_CLOSE, MIM_DATA, MIM_ERROR, MIM_LONGERROR, MOM_DONE}) {
    Return({1, 2, 3}, message);
  }
  EXPECT_EQ(midi.stagingA.free.load(), 1u);
  EXPECT_EQ(midi.stagingB.free.load(), 1u);
  EXPECT_EQ(midi.inputBuffersQueued.load(), 0);
}

TEST_F(Staging, WithRequeueOffCaptureStopsAfterTwoBlocks) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  ASSERT_EQ(StartMidiInput(midi), 0);
  QueueInputBuffers(midi);
  SetInputRequeue(midi, 0);
  platform.injectInput(0, {0xF0, 1, 0xF7, 0xF0, 2, 0xF7, 0xF0, 3, 0xF7});
  clock.sleepMs(1);
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), (std::vector<uint8_t>{0xF0, 1, 0xF7}));
  EXPECT_EQ(FrameB(), (std::vector<uint8_t>{0xF0, 2, 0xF7}));
  EXPECT_EQ(platform.queuedInputBuffers(0), 0u);
  EXPECT_EQ(platform.droppedInputBytes(0), 3u);

  // Queued again, capture goes on.
  QueueInputBuffers(midi);
  platform.injectInput(0, {0xF0, 4, 0xF7});
  clock.sleepMs(1);
  midi.ports.frameALength = 0;
  FetchCapturedInput(midi);
  EXPECT_EQ(FrameA(), (std::vector<uint8_t>{0xF0, 4, 0xF7}));
}

TEST_F(Staging, WithRequeueOnEveryBlockIsCaptured) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  ASSERT_EQ(StartMidiInput(midi), 0);
  SetInputRequeue(midi, 1);
  QueueInputBuffers(midi);
  std::vector<uint8_t> got;
  for (int i = 0; i < 10; ++i) {
    platform.injectInput(0, {0xF0, static_cast<uint8_t>(i), 0xF7});
    clock.sleepMs(1);
    midi.ports.frameALength = midi.ports.frameBLength = 0;
    FetchCapturedInput(midi);
    got.insert(got.end(), midi.ports.frameA.begin(),
               midi.ports.frameA.begin() + midi.ports.frameALength);
  }
  ASSERT_EQ(got.size(), 30u);
  EXPECT_EQ(got[28], 9);
  EXPECT_EQ(platform.queuedInputBuffers(0), 2u);
  EXPECT_EQ(midi.inputBuffersQueued.load(), 2);
}

TEST_F(Staging, StopMidiInputDiscardsWhatTheResetDelivered) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  ASSERT_EQ(StartMidiInput(midi), 0);
  SetInputRequeue(midi, 1);
  QueueInputBuffers(midi);
  platform.injectInput(0, {0xF0, 1, 2, 3});  // unfinished: stays in a queued buffer
  clock.sleepMs(1);
  SetInputRequeue(midi, 0);
  Return({5, 6});
  StopMidiInput(midi);
  EXPECT_EQ(midi.stagingA.free.load(), 1u);
  EXPECT_EQ(midi.stagingB.free.load(), 1u);
  EXPECT_EQ(midi.stagingA.bytes[0], 0);
  EXPECT_EQ(platform.queuedInputBuffers(0), 0u);
  midi.ports.frameALength = -1;
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, -1);
  EXPECT_EQ(UnprepareInputBuffers(midi), 0);
  EXPECT_EQ(CloseMidiInput(midi), 0);
}

}  // namespace
}  // namespace varnet
