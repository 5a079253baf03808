// The port operations with their results, texts and boxes, driven through a platform that fails
// on demand.
#include <gtest/gtest.h>

#include "midi/backends/virtual/virtual_platform.h"
#include "midi/layer_port.h"
#include "midi/midi_ports.h"
#include "tests/midi/test_prompts.h"

namespace varnet {
namespace {

std::string Text(const std::array<char, kErrorTextSize>& area) {
  return area.data();
}

class Ports : public ::testing::Test {
 protected:
  VirtualClock clock;
  VirtualMidiPlatform platform{clock, VirtualPorts(2, 3)};
  testing::RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};

  void ExpectOneBox(const std::string& text, const std::string& caption,
                    WindowRef owner = nullptr) {
    ASSERT_EQ(prompts.boxes.size(), 1u);
    EXPECT_EQ(prompts.boxes[0].text, text);
    EXPECT_EQ(prompts.boxes[0].caption, caption);
    EXPECT_EQ(prompts.boxes[0].icon, BoxIcon::Error);
    EXPECT_EQ(prompts.boxes[0].buttons, BoxButtons::Ok);
    EXPECT_EQ(prompts.boxes[0].owner, owner);
    prompts.boxes.clear();
  }

  void OpenAndCapture() {
    ASSERT_EQ(OpenMidiInput(midi), 0);
    midi.ports.inputOpen = 1;
    ASSERT_EQ(OpenMidiOutput(midi), 0);
    midi.ports.outputOpen = 1;
    SetInputRequeue(midi, 1);
    ASSERT_EQ(PrepareInputBuffers(midi), 0);
    ASSERT_EQ(StartMidiInput(midi), 0);
    QueueInputBuffers(midi);
  }
};

TEST_F(Ports, InitReadsTheCountsAndClearsTheFlags) {
  midi.ports.inputOpen = 1;
  midi.ports.sessionPortsOpen = 1;
  InitMidiPorts(midi);
  EXPECT_EQ(midi.ports.inputDeviceCount, 2);
  EXPECT_EQ(midi.ports.outputDeviceCount, 3);
  EXPECT_EQ(midi.ports.inputOpen.load(), 0u);
  EXPECT_EQ(midi.ports.sessionPortsOpen.load(), 0u);
}

TEST_F(Ports, OpenFailuresShowTheServiceTextUnderThePortCaption) {
  midi.ports.inputHandle = 77;
  platform.failOn(VirtualOp::InOpen, MMSYSERR_ALLOCATED, 1);
  EXPECT_EQ(OpenMidiInput(midi), 1);
  EXPECT_EQ(midi.ports.inputHandle, 77u);
  EXPECT_EQ(Text(midi.ports.inputErrorText), StandardMidiErrorText(MMSYSERR_ALLOCATED));
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_ALLOCATED), "MIDI-Input Error");

  midi.ports.outputDeviceIndex = 3;  // one past the last output
  EXPECT_EQ(OpenMidiOutput(midi), 1);
  EXPECT_EQ(midi.ports.outputHandle, 0u);
  ExpectOneBox("A device ID has been used that is out of range for your system.",
               "MIDI-Output Error");
  EXPECT_EQ(Text(midi.ports.outputErrorText),
            "A device ID has been used that is out of range for your system.");
}

TEST_F(Ports, IndexMinusOneNamesNoDevice) {
  midi.ports.inputDeviceIndex = -1;
  EXPECT_EQ(OpenMidiInput(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_BADDEVICEID), "MIDI-Input Error");
}

TEST_F(Ports, ASecondOpenOfTheSameDeviceIsRefused) {
  MidiLayer other{platform, prompts};
  ASSERT_EQ(OpenMidiInput(midi), 0);
  EXPECT_EQ(OpenMidiInput(other), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_ALLOCATED), "MIDI-Input Error");
}

TEST_F(Ports, RefreshDeviceNamesReadsBothNames) {
  RefreshDeviceNames(midi, 1, 2, nullptr);
  EXPECT_EQ(DeviceName(midi.ports.inputDeviceName), "Virtual In 2");
  EXPECT_EQ(DeviceName(midi.ports.outputDeviceName), "Virtual Out 3");
  EXPECT_TRUE(prompts.boxes.empty());
}

TEST_F(Ports, AnUnreadableInputChangesNeitherName) {
  RefreshDeviceNames(midi, 0, 0, nullptr);
  int ownerWindow = 0;
  RefreshDeviceNames(midi, 5, 1, &ownerWindow);
  ExpectOneBox("MIDI Input Error!", "Error", &ownerWindow);
  EXPECT_EQ(DeviceName(midi.ports.inputDeviceName), "Varnet Simulator In");
  EXPECT_EQ(DeviceName(midi.ports.outputDeviceName), "Varnet Simulator Out");
}

TEST_F(Ports, WithNoOutputDeviceOnlyTheInputNameIsRead) {
  VirtualMidiPlatform noOutputs{clock, VirtualPorts(1, 0)};
  MidiLayer layer{noOutputs, prompts};
  int ownerWindow = 0;
  RefreshDeviceNames(layer, 0, 0, &ownerWindow);
  ExpectOneBox("MIDI Output Error!", "Error", &ownerWindow);
  EXPECT_EQ(DeviceName(layer.ports.inputDeviceName), "Varnet Simulator In");
  EXPECT_EQ(layer.ports.outputDeviceName[0], '\0');
}

TEST_F(Ports, AThirtyOneCharacterNameArrivesWholeAndLongerOnesAreCut) {
  VirtualPlatformConfig config;
  config.inputs = {std::string(31, 'x')};
  config.outputs = {std::string(40, 'y')};
  VirtualMidiPlatform named{clock, config};
  MidiLayer layer{named, prompts};
  layer.ports.inputDeviceName.fill('#');
  RefreshDeviceNames(layer, 0, 0, nullptr);
  EXPECT_EQ(DeviceName(layer.ports.inputDeviceName), std::string(31, 'x'));
  EXPECT_EQ(layer.ports.inputDeviceName[31], '\0');
  EXPECT_EQ(layer.ports.inputDeviceName[32], '#');  // only the first 32 characters are written
  EXPECT_EQ(DeviceName(layer.ports.outputDeviceName), std::string(31, 'y'));
}

TEST_F(Ports, PreparingHeaderAFailsAndBIsNotPrepared) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  midi.stagingA.free = 0;
  platform.failOn(VirtualOp::InPrepare, MMSYSERR_NOMEM, 1);
  EXPECT_EQ(PrepareInputBuffers(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_NOMEM), "Error!");
  EXPECT_EQ(midi.ports.inputHeaderB.flags & MHDR_PREPARED, 0u);
  EXPECT_EQ(midi.stagingA.free.load(), 0u);  // the free flags keep their values
}

TEST_F(Ports, PreparingHeaderBFailsAfterAWasPrepared) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  platform.failOn(VirtualOp::InPrepare, MMSYSERR_INVALPARAM, 1, /*after=*/1);
  EXPECT_EQ(PrepareInputBuffers(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_INVALPARAM), "Error!");
  EXPECT_NE(midi.ports.inputHeaderA.flags & MHDR_PREPARED, 0u);
  EXPECT_EQ(midi.ports.inputHeaderA.bufferLength, 128u);
}

TEST_F(Ports, StartFailureShowsItsBox) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  platform.failOn(VirtualOp::InStart, MMSYSERR_ERROR);
  EXPECT_EQ(StartMidiInput(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_ERROR), "Error!");
  EXPECT_EQ(Text(midi.ports.inputErrorText), StandardMidiErrorText(MMSYSERR_ERROR));
}

TEST_F(Ports, UnpreparingHeaderAFailsAndBIsLeftPrepared) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  platform.failOn(VirtualOp::InUnprepare, MMSYSERR_INVALHANDLE, 1);
  EXPECT_EQ(UnprepareInputBuffers(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_INVALHANDLE), "Error!");
  EXPECT_NE(midi.ports.inputHeaderB.flags & MHDR_PREPARED, 0u);
  EXPECT_EQ(UnprepareInputBuffers(midi), 0);
}

TEST_F(Ports, UnpreparingQueuedBuffersIsRefused) {
  OpenAndCapture();
  EXPECT_EQ(UnprepareInputBuffers(midi), 1);
  ExpectOneBox("The buffers are still in the queue.", "Error!");
}

TEST_F(Ports, CloseInputWhileBuffersAreQueuedReturnsOne) {
  OpenAndCapture();  // requeue is on: the reset's buffers go straight back
  EXPECT_EQ(CloseMidiInput(midi), 1);
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_TRUE(platform.isInputOpen(0));
  SetInputRequeue(midi, 0);
  StopMidiInput(midi);
  EXPECT_EQ(UnprepareInputBuffers(midi), 0);
  EXPECT_EQ(CloseMidiInput(midi), 0);
  EXPECT_FALSE(platform.isInputOpen(0));
}

TEST_F(Ports, CloseInputWhoseResetFailsKeepsTheTextAndShowsNothing) {
  OpenAndCapture();
  platform.failOn(VirtualOp::InReset, MMSYSERR_NODRIVER, 1);
  EXPECT_EQ(CloseMidiInput(midi), 1);
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_EQ(Text(midi.ports.inputErrorText), StandardMidiErrorText(MMSYSERR_NODRIVER));
  EXPECT_TRUE(platform.isInputOpen(0));
}

TEST_F(Ports, CloseInputFailingOtherwiseReturnsTwo) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  platform.failOn(VirtualOp::InClose, MMSYSERR_INVALHANDLE, 1);
  EXPECT_EQ(CloseMidiInput(midi), 2);
  EXPECT_EQ(CloseMidiInput(midi), 0);
}

TEST_F(Ports, PrepareOutputFailureShowsItsBox) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  platform.failOn(VirtualOp::OutPrepare, MMSYSERR_NOMEM, 1);
  midi.ports.outputLength = 8;
  EXPECT_EQ(PrepareOutputMessage(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_NOMEM), "Error!");
  EXPECT_EQ(Text(midi.ports.outputErrorText), StandardMidiErrorText(MMSYSERR_NOMEM));
}

TEST_F(Ports, AnOutputLengthBeyondTheAreaIsCut) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  midi.ports.outputLength = 500;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  EXPECT_EQ(midi.ports.outputHeader.bufferLength, 32u);
}

TEST_F(Ports, ARefusedLongMessageLeavesOutputDoneAtZeroAndTheResetIsSkipped) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  midi.ports.outputLength = 1;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  platform.failOn(VirtualOp::OutLongMsg, MIDIERR_NOTREADY, 1);
  EXPECT_EQ(SendOutputMessage(midi), 2);
  EXPECT_TRUE(prompts.boxes.empty());
  clock.sleepMs(50);
  EXPECT_EQ(midi.outputDone.load(), 0u);
  platform.failOn(VirtualOp::OutReset, MMSYSERR_ERROR);  // would show if the reset were issued
  EXPECT_EQ(ResetMidiOutput(midi), 1);
}

TEST_F(Ports, ResetBeforeAnyMessageIsIssued) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  platform.failOn(VirtualOp::OutReset, MMSYSERR_ERROR, 1);
  EXPECT_EQ(ResetMidiOutput(midi), 0);
  // The failed reset was consumed: the reset really reached the platform.
  EXPECT_EQ(platform.outReset(midi.ports.outputHandle), 0u);
}

TEST_F(Ports, ALongMessageCompletesAfterItsWireTime) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  for (uint8_t i = 0; i < 32; ++i) midi.ports.outputData[i] = i;
  midi.ports.outputLength = 32;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  ASSERT_EQ(SendOutputMessage(midi), 0);
  EXPECT_EQ(ResetMidiOutput(midi), 1);  // outstanding
  clock.sleepFor(std::chrono::microseconds(32 * 320 - 1));
  EXPECT_EQ(midi.outputDone.load(), 0u);
  clock.sleepFor(std::chrono::microseconds(1));
  EXPECT_EQ(midi.outputDone.load(), 1u);
  EXPECT_EQ(platform.sentBytes(0).size(), 32u);
  EXPECT_EQ(platform.sentBytes(0)[31], 31);
}

TEST_F(Ports, UnprepareOutputZeroesTheAreaOnlyWhenItSucceeds) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  midi.ports.outputData.fill(0x42);
  midi.ports.outputLength = 4;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  platform.failOn(VirtualOp::OutUnprepare, MMSYSERR_INVALHANDLE, 1);
  EXPECT_EQ(UnprepareOutputMessage(midi), 1);
  ExpectOneBox(StandardMidiErrorText(MMSYSERR_INVALHANDLE), "Error!");
  EXPECT_EQ(midi.ports.outputData[31], 0x42);
  EXPECT_EQ(UnprepareOutputMessage(midi), 0);
  EXPECT_EQ(midi.ports.outputData[0], 0);
  EXPECT_EQ(midi.ports.outputData[31], 0);
}

TEST_F(Ports, CloseOutputReturnsTheServiceResult) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  platform.failOn(VirtualOp::OutClose, MMSYSERR_ERROR, 1);
  EXPECT_EQ(CloseMidiOutput(midi), 1u);
  EXPECT_EQ(CloseMidiOutput(midi), 0u);
  EXPECT_FALSE(platform.isOutputOpen(0));
}

TEST_F(Ports, CloseOutputWithAMessageInFlightIsRefused) {
  ASSERT_EQ(OpenMidiOutput(midi), 0);
  midi.ports.outputLength = 1;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  ASSERT_EQ(SendOutputMessage(midi), 0);
  EXPECT_EQ(CloseMidiOutput(midi), static_cast<uint32_t>(MIDIERR_STILLPLAYING));
  clock.sleepMs(1);
  EXPECT_EQ(CloseMidiOutput(midi), 0u);
}

TEST_F(Ports, ShutdownClosesACapturingInput) {
  OpenAndCapture();
  ShutdownMidiInput(midi);
  // The headers were still queued when the shutdown unprepared them: that box is documented.
  ExpectOneBox("The buffers are still in the queue.", "Error!");
  EXPECT_EQ(midi.ports.inputOpen.load(), 0u);
  EXPECT_EQ(midi.requeueInput.load(), 0u);
  EXPECT_FALSE(platform.isInputOpen(0));
}

TEST_F(Ports, ShutdownWhoseResetFailsLeavesThePortOpenAndShowsNothing) {
  ASSERT_EQ(OpenMidiInput(midi), 0);
  midi.ports.inputOpen = 1;
  ASSERT_EQ(PrepareInputBuffers(midi), 0);
  platform.failOn(VirtualOp::InReset, MMSYSERR_NODRIVER, 1);
  ShutdownMidiInput(midi);
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_EQ(Text(midi.ports.inputErrorText), StandardMidiErrorText(MMSYSERR_NODRIVER));
  EXPECT_EQ(midi.ports.inputOpen.load(), 0u);
  EXPECT_TRUE(platform.isInputOpen(0));
}

TEST_F(Ports, ShutdownDoesNothingWhenTheInputIsNotOpen) {
  platform.failOn(VirtualOp::InReset, MMSYSERR_ERROR);
  ShutdownMidiInput(midi);
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_EQ(midi.ports.inputErrorText[0], '\0');
}

// A session end whose output close failed leaves the input capturing; the next session start
// prepares the headers again. They are taken back from the service first.
TEST_F(Ports, PreparingHeadersThatAreStillQueuedTakesThemBackFirst) {
  OpenAndCapture();
  ASSERT_EQ(platform.queuedInputBuffers(0), 2u);
  platform.injectInput(0, {0xF0, 0x01, 0x02});  // half a message in a queued buffer
  clock.sleepMs(1);
  EXPECT_EQ(PrepareInputBuffers(midi), 0);
  EXPECT_TRUE(prompts.boxes.empty());
  EXPECT_EQ(platform.queuedInputBuffers(0), 0u);
  EXPECT_EQ(midi.requeueInput.load(), 1u);   // restored after the reset
  EXPECT_EQ(midi.stagingA.free.load(), 1u);  // what the reset delivered is discarded
  ASSERT_EQ(StartMidiInput(midi), 0);
  QueueInputBuffers(midi);
  platform.injectInput(0, {0xF0, 0x07, 0xF7});
  clock.sleepMs(1);
  FetchCapturedInput(midi);
  ASSERT_EQ(midi.ports.frameALength, 3);
  EXPECT_EQ(midi.ports.frameA[1], 0x07);
}

// ReleaseMidiPorts, the one way the program lets go of its ports, from the state a session leaves
// behind: both ports open, the input capturing, and (unless said) the last message completed.
struct ReleaseCase {
  const char* name;
  bool messageInFlight;  // the device vanished under the last message: it never completes
  VirtualOp failing;
  int failures;  // how often `failing` fails (0: never)
  bool outputStaysOpen;
  bool inputStaysOpen;
};

TEST_F(Ports, ReleaseClosesWhatTheServiceLetsGoOf) {
  constexpr int kAlways = VirtualMidiPlatform::kAlways;
  const ReleaseCase cases[] = {
      {"plain", false, VirtualOp::OutClose, 0, false, false},
      {"message never completed", true, VirtualOp::OutClose, 0, false, false},
      {"output close refused once", false, VirtualOp::OutClose, 1, false, false},
      {"output close refused for good", false, VirtualOp::OutClose, kAlways, true, true},
      {"input close refused once", false, VirtualOp::InClose, 1, false, false},
      {"input reset refused for good", false, VirtualOp::InReset, kAlways, false, true},
      {"input buffer still queued once", false, VirtualOp::InUnprepare, 1, false, false},
      {"output header refused once", false, VirtualOp::OutUnprepare, 1, false, false},
  };
  for (const ReleaseCase& c : cases) {
    SCOPED_TRACE(c.name);
    VirtualClock caseClock;
    VirtualMidiPlatform casePlatform(caseClock);
    testing::RecordingPrompts casePrompts;
    MidiLayer layer(casePlatform, casePrompts);
    ASSERT_EQ(OpenMidiInput(layer), 0);
    layer.ports.inputOpen = 1;
    ASSERT_EQ(OpenMidiOutput(layer), 0);
    layer.ports.outputOpen = 1;
    SetInputRequeue(layer, 1);
    ASSERT_EQ(PrepareInputBuffers(layer), 0);
    ASSERT_EQ(StartMidiInput(layer), 0);
    QueueInputBuffers(layer);
    layer.ports.outputLength = 4;
    ASSERT_EQ(PrepareOutputMessage(layer), 0);
    ASSERT_EQ(SendOutputMessage(layer), 0);
    if (!c.messageInFlight) caseClock.sleepMs(5);
    ASSERT_EQ(layer.outputDone.load(), c.messageInFlight ? 0u : 1u);
    if (c.failures != 0) casePlatform.failOn(c.failing, MMSYSERR_ERROR, c.failures);
    layer.ports.sessionPortsOpen = 1;

    const bool allClosed = !c.outputStaysOpen && !c.inputStaysOpen;
    EXPECT_EQ(ReleaseMidiPorts(layer), allClosed ? 0 : 1);
    EXPECT_EQ(layer.releaseIncomplete, !allClosed);
    // What the service refused on the way is the release's to handle: the user is told what
    // happened to the update by the session, not by the service's words for a queued buffer.
    EXPECT_TRUE(casePrompts.boxes.empty()) << casePrompts.boxes.front().text;
    // Whatever stays open, it is no longer an update's: the next start opens afresh.
    EXPECT_EQ(layer.ports.sessionPortsOpen.load(), 0u);
    EXPECT_EQ(layer.ports.outputOpen.load(), c.outputStaysOpen ? 1u : 0u);
    EXPECT_EQ(layer.ports.inputOpen.load(), c.inputStaysOpen ? 1u : 0u);
    EXPECT_EQ(casePlatform.isOutputOpen(0), c.outputStaysOpen);
    EXPECT_EQ(casePlatform.isInputOpen(0), c.inputStaysOpen);
    // An input that was closed, or that refused to, captures no more; one left behind an output
    // the service still holds is left as it was.
    EXPECT_EQ(layer.requeueInput.load(), c.outputStaysOpen ? 1u : 0u);
    if (!c.outputStaysOpen) {
      EXPECT_EQ(casePlatform.pendingLongMessages(0), 0u);
      EXPECT_EQ(layer.outputDone.load(), 1u);  // the next port starts with nothing outstanding
    }
    if (!c.inputStaysOpen) {
      EXPECT_EQ(casePlatform.queuedInputBuffers(0), 0u);
    }

    // Once the service lets go, a second release closes the rest.
    casePlatform.clearFailures();
    EXPECT_EQ(ReleaseMidiPorts(layer), 0);
    EXPECT_FALSE(layer.releaseIncomplete);
    EXPECT_FALSE(casePlatform.isOutputOpen(0));
    EXPECT_FALSE(casePlatform.isInputOpen(0));
  }
}

// The engine's port pair on the layer: an update's close lets go of the ports only if its open
// opened both; a port that did open before the other failed stays for the next start.
TEST(LayerPort, ClosesOnlyWhatAnUpdateOpened) {
  VirtualClock clock;
  VirtualMidiPlatform platform(clock);
  testing::RecordingPrompts prompts;
  MidiLayer layer(platform, prompts);
  const std::unique_ptr<UpdatePort> port = MakeLayerPort(layer, clock);
  EXPECT_EQ(layer.wakeClock.load(), &clock);

  platform.failOn(VirtualOp::OutOpen, MMSYSERR_ALLOCATED, 1);
  EXPECT_FALSE(port->open());
  port->close();
  EXPECT_TRUE(platform.isInputOpen(0));
  EXPECT_FALSE(platform.isOutputOpen(0));

  EXPECT_TRUE(port->open());
  EXPECT_TRUE(platform.isOutputOpen(0));
  port->close();
  EXPECT_FALSE(platform.isInputOpen(0));
  EXPECT_FALSE(platform.isOutputOpen(0));
}

TEST(StandardMidiErrorText, GivesPlainTextsAndNamesUnknownCodes) {
  EXPECT_EQ(StandardMidiErrorText(2),
            "A device ID has been used that is out of range for your system.");
  EXPECT_EQ(StandardMidiErrorText(65), "The buffers are still in the queue.");
  EXPECT_EQ(StandardMidiErrorText(12345), "Unknown MIDI error (code 12345).");
  for (uint32_t code : {0u, 1u, 4u, 5u, 6u, 7u, 10u, 11u, 64u, 67u, 68u}) {
    EXPECT_FALSE(StandardMidiErrorText(code).empty());
    EXPECT_LT(StandardMidiErrorText(code).size(), kErrorTextSize);
  }
}

}  // namespace
}  // namespace varnet

namespace varnet {
namespace {

// Input that is neither System Exclusive nor real-time reaches the layer (as MIM_DATA) and is
// counted for the echo check; real-time bytes and System Exclusive blocks are not.
TEST_F(Ports, OtherInputIsCountedRealTimeIsNot) {
  struct Case {
    std::vector<uint8_t> bytes;
    uint32_t counted;
    uint32_t first;
  };
  const Case cases[] = {
      {{0x90, 0x3C, 0x40}, 1, 0x403C90},
      {{0xB0, 0x7B, 0x00, 0x7B, 0x00}, 2, 0x007BB0},  // running status: two messages
      {{0xF1, 0x00}, 1, 0x00F1},                      // a corrupted F0: time code quarter frame
      {{0xF6}, 1, 0xF6},
      {{0xF8, 0xFA, 0xFE, 0xFF}, 0, 0},
      {{0xF0, 0x01, 0x02, 0xF7}, 0, 0},
      {{0xF0, 0x01, 0xFE, 0x02, 0xF7}, 0, 0},  // real-time inside System Exclusive
  };
  OpenAndCapture();
  for (const Case& c : cases) {
    ResetOtherInput(midi);
    platform.injectInput(0, c.bytes);
    clock.runDue();
    EXPECT_EQ(midi.otherInputCount.load(), c.counted) << c.bytes.size();
    EXPECT_EQ(midi.firstOtherInput.load(), c.first) << c.bytes.size();
  }
}

// An invalid short message, which the service reports as an error rather than as data, is input
// that is not echo all the same; only real-time bytes are let pass.
TEST_F(Ports, InvalidShortInputIsCountedAsOtherInput) {
  struct Case {
    uint32_t message;
    uintptr_t packed;
    uint32_t counted;
  };
  const Case cases[] = {
      {MIM_ERROR, 0x403C90, 1},  // a note on the service could not make sense of
      {MIM_ERROR, 0x0042, 1},    // a data byte without a status
      {MIM_ERROR, 0xF8, 0},      // real time
      {MIM_DATA, 0x0042, 0},     // data that is not a message is never reported as one
      {MIM_DATA, 0x05F3, 1},
  };
  for (const Case& c : cases) {
    ResetOtherInput(midi);
    MidiInputCallback(1, c.message, reinterpret_cast<uintptr_t>(&midi), c.packed, 0);
    EXPECT_EQ(midi.otherInputCount.load(), c.counted) << std::hex << c.message << " " << c.packed;
    EXPECT_EQ(midi.firstOtherInput.load(), c.counted == 0 ? 0 : c.packed) << std::hex << c.packed;
  }
}

// A reset cuts off and hands back the message on its way and discards only that: the end byte
// sent right after it reaches the device.
TEST_F(Ports, ResetDiscardsOnlyWhatWasQueuedBeforeIt) {
  OpenAndCapture();
  midi.ports.outputData.fill(0x11);
  midi.ports.outputLength = 32;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  ASSERT_EQ(SendOutputMessage(midi), 0);
  EXPECT_EQ(midi.outputDone.load(), 0u);
  EXPECT_EQ(ReclaimMidiOutput(midi), 0u);
  EXPECT_EQ(midi.outputDone.load(), 1u);  // handed back at once
  midi.ports.outputData.fill(0);
  midi.ports.outputData[0] = 0xF7;
  midi.ports.outputLength = 1;
  ASSERT_EQ(PrepareOutputMessage(midi), 0);
  ASSERT_EQ(SendOutputMessage(midi), 0);
  clock.sleepFor(std::chrono::milliseconds(50));
  EXPECT_EQ(platform.sentBytes(0), std::vector<uint8_t>{0xF7});
  EXPECT_EQ(midi.outputDone.load(), 1u);
}

// A stopped echo leaves its last block half full with the service: ReturnPartialInput brings it
// back, and capture goes on afterwards.
TEST_F(Ports, ReturnPartialInputHandsOverAHalfFilledBlock) {
  OpenAndCapture();
  platform.injectInput(0, {0xF0, 0x01, 0x02, 0x03});
  clock.runDue();
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 0);
  EXPECT_EQ(ReturnPartialInput(midi), 0u);
  FetchCapturedInput(midi);
  ASSERT_EQ(midi.ports.frameALength, 4);
  EXPECT_EQ(midi.ports.frameA[3], 0x03);
  platform.injectInput(0, {0xF0, 0x05, 0xF7});
  clock.runDue();
  FetchCapturedInput(midi);
  EXPECT_EQ(midi.ports.frameALength, 3);
}

}  // namespace
}  // namespace varnet
