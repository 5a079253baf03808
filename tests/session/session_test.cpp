// The update session against the virtual MIDI platform and the simulated converter, on virtual
// time: outcomes, buttons, ports, and the cases a careless session gets wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <system_error>

#if defined(__linux__)
#include <sys/prctl.h>
#include <sys/resource.h>
#include <unistd.h>
#endif

#include "core/thread_priority.h"
#include "session_rig.h"

namespace varnet::testing {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

const std::string kNoReplyText = "No response received! Please check connection or device type!";
const std::string kWrongIdText = "Wrong device ID!";
const std::string kMismatchText =
    "Firmware mismatch! Wrong firmware file for current device type. Please check whether you "
    "want to update an Ixar AD or an Ixar DA.";

sim::ConverterConfig Device(uint8_t kind, const char* fault = nullptr) {
  sim::ConverterConfig config;
  config.kind = kind;
  if (fault != nullptr) {
    std::string error;
    EXPECT_TRUE(sim::ParseFault(fault, config.faults, error)) << error;
  }
  return config;
}

void ExpectIdleWindow(const SessionRig& rig) {
  EXPECT_EQ(rig.session->phase, SessionPhase::Idle);
  EXPECT_FALSE(rig.session->inProgress.load());
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.image.bytesSent.load(), 0u);
  EXPECT_EQ(rig.view.caption, "Start Update");
  EXPECT_TRUE(rig.view.runEnabled);
  EXPECT_TRUE(rig.view.selectEnabled);
  EXPECT_FALSE(rig.view.timerRunning);
}

void ExpectPortsClosed(const SessionRig& rig) {
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.inputOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.outputOpen.load(), 0u);
  EXPECT_FALSE(rig.platform.isInputOpen(0));
  EXPECT_FALSE(rig.platform.isOutputOpen(0));
}

TEST(SessionTexts, WarningIsTheFourLiteralsJoined) {
  const std::string text = WarningText();
  EXPECT_EQ(text.size(), 329u);
  EXPECT_EQ(text.rfind("WARNING! The update operation must not be interrupted! \nCancelling", 0),
            0u);
  EXPECT_NE(text.find("powering off the device during"), std::string::npos);
  EXPECT_NE(text.find("cancelled by the user do not power off"), std::string::npos);
  EXPECT_NE(text.find("successfully.\n\nDo you want to continue?"), std::string::npos);
}

// --- Outcomes -------------------------------------------------------------------------------

TEST(SessionOutcome, CompleteStreamShowsDoneAndLeavesEverythingClosed) {
  SessionRig rig(Device(sim::kKindAD));
  const std::vector<uint8_t> payload = PlainPayload(3000);
  rig.load(kKindAD, payload);

  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.engine.DeviceId, 0x32);
  ASSERT_EQ(rig.session->phase, SessionPhase::Streaming);
  // Under way: the button is the cancel button, file selection is locked.
  EXPECT_EQ(rig.view.caption, "Cancel...");
  EXPECT_TRUE(rig.view.runEnabled);
  EXPECT_FALSE(rig.view.selectEnabled);
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 1u);
  ASSERT_TRUE(rig.runToFinish());

  ASSERT_EQ(rig.prompts.boxes.size(), 2u);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "Warning");
  EXPECT_EQ(rig.prompts.boxes[0].buttons, BoxButtons::YesNo);
  EXPECT_EQ(rig.prompts.boxes[0].icon, BoxIcon::Warning);
  EXPECT_EQ(rig.prompts.boxes[1].text, kDoneText);
  EXPECT_EQ(rig.prompts.boxes[1].caption, "Done!");
  EXPECT_EQ(rig.prompts.boxes[1].icon, BoxIcon::Information);
  for (const Box& box : rig.prompts.boxes) EXPECT_FALSE(box.hasOwner);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);

  // The log holds header, stream, end byte; the wire carried the identify request before them.
  const std::vector<uint8_t>& log = rig.image.SentLog;
  const uint32_t logged = rig.image.sentLogCount;
  ASSERT_GE(logged, 12u);
  EXPECT_TRUE(std::equal(kStreamHeader.begin(), kStreamHeader.end(), log.begin()));
  EXPECT_EQ(log[logged - 1], 0xF7);
  const std::vector<uint8_t> wire = rig.wire();
  ASSERT_EQ(wire.size(), kIdentifyRequest.size() + logged);
  EXPECT_TRUE(std::equal(kIdentifyRequest.begin(), kIdentifyRequest.end(), wire.begin()));
  EXPECT_TRUE(std::equal(log.begin(), log.begin() + logged, wire.begin() + 8));

  const sim::StreamDecode decoded = rig.converter.decoded();
  EXPECT_TRUE(decoded.ended);
  EXPECT_EQ(sim::CompareStream(sim::ExpectStream(payload), decoded), "");
  // The last part-filled input buffer only comes back with the echo of the end byte; the finish
  // waits for it, so the whole log, end byte included, has been verified.
  EXPECT_EQ(rig.image.echoVerifiedCount, logged);
}

TEST(SessionOutcome, DifferenceInTheLastEchoedBlockFailsTheUpdate) {
  // Learn the length of the stream, then corrupt the echo of a byte near its end: that byte's
  // block returns only after the stream has left Running.
  uint32_t logged = 0;
  {
    SessionRig clean(Device(sim::kKindAD));
    clean.load(kKindAD, PlainPayload(600));
    OnRunUpdate(*clean.session);
    ASSERT_TRUE(clean.runToFinish());
    ASSERT_EQ(clean.session->lastOutcome, SessionOutcome::Done);
    logged = clean.image.sentLogCount;
  }
  ASSERT_GT(logged, 140u);
  const std::string fault = "corrupt-echo:" + std::to_string(logged - 3);
  SessionRig rig(Device(sim::kKindAD, fault.c_str()));
  rig.load(kKindAD, PlainPayload(600));
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());

  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Error!", "Abort!"}));
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Failed);
  EXPECT_EQ(rig.wire().back(), 0xF7);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
}

TEST(SessionOutcome, SilentDeviceStillEndsDoneWithoutWaitingForEcho) {
  SessionRig rig(Device(sim::kKindAD, "silent-echo"));
  rig.load(kKindAD, PlainPayload(600));
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
}

TEST(SessionOutcome, EchoDifferenceShowsFailedThenAborted) {
  SessionRig rig(Device(sim::kKindAD, "corrupt-echo:40"));
  rig.load(kKindAD, PlainPayload(600));
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());

  ASSERT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Error!", "Abort!"}));
  EXPECT_EQ(rig.prompts.boxes[1].text, kFailedText);
  EXPECT_EQ(rig.prompts.boxes[2].text, kAbortedText);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Failed);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  // The stream was stopped early but still closed.
  EXPECT_EQ(rig.wire().back(), 0xF7);
  EXPECT_TRUE(rig.converter.decoded().ended);
}

// --- Refused starts -------------------------------------------------------------------------

struct Refusal {
  const char* fault;
  uint8_t deviceKind;
  std::string text;
  uint32_t abortedAfter;
};

class HandshakeRefusal : public ::testing::TestWithParam<Refusal> {};

TEST_P(HandshakeRefusal, ClosesPortsRestoresWindowAndKeepsAborted) {
  const Refusal& refusal = GetParam();
  SessionRig rig(Device(refusal.deviceKind, refusal.fault));
  rig.load(kKindAD, PlainPayload(90));
  OnRunUpdate(*rig.session);

  ASSERT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes[0].text, refusal.text);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "Error!");
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  EXPECT_EQ(rig.engine.aborted.load(), refusal.abortedAfter);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  EXPECT_EQ(rig.wire(), kIdentifyRequest);  // no header, no end byte

  // The next press clears `aborted` and starts afresh (and is refused the same way). A late
  // device's answer to the first request must not arrive during the second one.
  rig.clock.sleepFor(seconds(2));
  rig.prompts.onBox = [&](const Box&) -> std::optional<BoxAnswer> {
    EXPECT_EQ(rig.engine.aborted.load(), 0u);
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.prompts.boxes.size(), 2u);
  EXPECT_EQ(rig.engine.aborted.load(), refusal.abortedAfter);
}

INSTANTIATE_TEST_SUITE_P(Session, HandshakeRefusal,
                         ::testing::Values(Refusal{"no-reply", sim::kKindAD, kNoReplyText, 1},
                                           Refusal{"late-reply", sim::kKindAD, kNoReplyText, 1},
                                           Refusal{"wrong-id", sim::kKindAD, kWrongIdText, 0},
                                           Refusal{nullptr, sim::kKindDA, kMismatchText, 1}));

TEST(SessionRefusal, WarningAnsweredNoSendsNoHeader) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  rig.prompts.onBox = [](const Box& box) -> std::optional<BoxAnswer> {
    if (box.buttons == BoxButtons::YesNo) return BoxAnswer::No;
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);

  EXPECT_EQ(rig.prompts.captions(), std::vector<std::string>{"Warning"});
  EXPECT_EQ(rig.wire(), kIdentifyRequest);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_TRUE(std::all_of(rig.image.SentLog.begin(), rig.image.SentLog.begin() + 24,
                          [](uint8_t b) { return b == 0; }));
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
}

TEST(SessionRefusal, NoFirmwarePathChangesNothing) {
  SessionRig rig(Device(sim::kKindAD));
  OnRunUpdate(*rig.session);
  ASSERT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes[0].text, kNoFirmwareText);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "Error!");
  EXPECT_EQ(rig.prompts.boxes[0].icon, BoxIcon::Error);
  EXPECT_EQ(rig.engine.DeviceId, 0x42);
  EXPECT_EQ(rig.view.caption, "Run Update");
  EXPECT_TRUE(rig.view.log.empty());
  EXPECT_TRUE(rig.wire().empty());
}

TEST(SessionRefusal, EmptyPayloadIsRefusedAtThePress) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  // A cancelled file dialog keeps the path and empties the payload.
  rig.image.payloadLength = 0;
  rig.image.progressTotal = 0;
  OnRunUpdate(*rig.session);
  ASSERT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes[0].text, kEmptyPayloadText);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "Error!");
  EXPECT_EQ(rig.engine.DeviceId, 0x42);
  EXPECT_TRUE(rig.view.log.empty());
  EXPECT_TRUE(rig.wire().empty());
  EXPECT_FALSE(rig.platform.isInputOpen(0));
}

// --- Ports ------------------------------------------------------------------------------------

TEST(SessionPorts, InputThatCannotBeOpenedAbandonsTheStart) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  rig.platform.failOn(VirtualOp::InOpen, MMSYSERR_ALLOCATED, 1);
  OnRunUpdate(*rig.session);

  ASSERT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "MIDI-Input Error");
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  EXPECT_TRUE(rig.wire().empty());
}

TEST(SessionPorts, OutputThatCannotBeOpenedLeavesInputForTheNextPress) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  rig.platform.failOn(VirtualOp::OutOpen, MMSYSERR_ALLOCATED, 1);
  OnRunUpdate(*rig.session);

  ASSERT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes[0].caption, "MIDI-Output Error");
  EXPECT_EQ(rig.midi.ports.inputOpen.load(), 1u);
  EXPECT_EQ(rig.midi.ports.outputOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u);
  EXPECT_EQ(rig.view.caption, "Start Update");
  EXPECT_TRUE(rig.view.selectEnabled);

  // Another open of the input would fail now; the next press must take the open one over.
  rig.platform.failOn(VirtualOp::InOpen, MMSYSERR_ALLOCATED);
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  ExpectPortsClosed(rig);
}

TEST(SessionPorts, PortsLeftOpenByTheDialogAreTakenOverAndClosed) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  ASSERT_EQ(OpenMidiInput(rig.midi), 0);
  rig.midi.ports.inputOpen = 1;
  ASSERT_EQ(OpenMidiOutput(rig.midi), 0);
  rig.midi.ports.outputOpen = 1;
  rig.platform.failOn(VirtualOp::InOpen, MMSYSERR_ALLOCATED);
  rig.platform.failOn(VirtualOp::OutOpen, MMSYSERR_ALLOCATED);

  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  ExpectPortsClosed(rig);
}

TEST(SessionPorts, OutputThatCannotBeClosedAtTheFinishKeepsInputUntilTheNextStart) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(90));
  rig.platform.failOn(VirtualOp::OutClose, MMSYSERR_ERROR);
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());

  // The output stays with the service, and the input as it was, still capturing.
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u);
  EXPECT_EQ(rig.midi.ports.outputOpen.load(), 1u);
  EXPECT_EQ(rig.midi.ports.inputOpen.load(), 1u);
  EXPECT_TRUE(rig.platform.isInputOpen(0));
  EXPECT_EQ(rig.midi.requeueInput.load(), 1u);
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.image.bytesSent.load(), 0u);

  // Once the service lets go, the next press runs and leaves nothing open.
  rig.platform.clearFailures();
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  ExpectPortsClosed(rig);
}

// --- Cancel -----------------------------------------------------------------------------------

// Starts a stream whose worker is held at `holdAfter` past the warning's answer. The header
// keeps the user-interface thread on the clock for 110 ms after that answer, so the hold must
// come later for the worker, not this thread, to run into it.
void StartHeld(SessionRig& rig, WorkerGate& gate, Clock::Duration holdAfter) {
  ASSERT_GE(holdAfter, milliseconds(150));
  rig.prompts.onBox = [&rig, &gate, holdAfter](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning") gate.arm(rig.clock, rig.clock.now() + holdAfter);
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  ASSERT_EQ(rig.session->phase, SessionPhase::Streaming);
  ASSERT_TRUE(gate.waitReached());
  rig.prompts.onBox = nullptr;
}

TEST(SessionCancel, ConfirmedCancelInsideAPauseFinishesOnATickAfterTheWorker) {
  SessionRig rig(Device(sim::kKindAD));
  std::vector<uint8_t> payload = PlainPayload(300);
  payload[60] |= 0x80;  // a 15 s pause early in the stream
  rig.load(kKindAD, payload);
  WorkerGate gate;
  StartHeld(rig, gate, seconds(5));  // the worker is inside the pause

  OnRunUpdate(*rig.session);  // the Run Update button now cancels
  ASSERT_EQ(rig.prompts.boxes.back().text, kCancelQuestionText);
  EXPECT_EQ(rig.prompts.boxes.back().caption, "Warning!");
  EXPECT_EQ(rig.prompts.boxes.back().buttons, BoxButtons::OkCancel);
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_FALSE(rig.view.runEnabled);
  EXPECT_EQ(rig.view.caption, "Cancel...");

  // Ticks while the worker is still in its pause do not wait for it: the window stays live,
  // the status keeps "Please wait..." (aborted 1), and nothing is shown.
  const std::size_t boxesBefore = rig.prompts.boxes.size();
  for (int i = 0; i < 5; ++i) rig.tick();
  EXPECT_EQ(rig.session->phase, SessionPhase::Streaming);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_EQ(rig.prompts.boxes.size(), boxesBefore);
  // Another press meanwhile is refused: the button belongs to the session being cancelled.
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.prompts.boxes.size(), boxesBefore);

  gate.release();
  ASSERT_TRUE(rig.runToFinish());
  ASSERT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Warning!", "Abort!"}));
  EXPECT_EQ(rig.prompts.boxes.back().text, kAbortedText);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Aborted);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  EXPECT_EQ(rig.wire().back(), 0xF7);
  // The stream stopped at the pause: far fewer symbols than the payload holds.
  EXPECT_LT(rig.converter.decoded().symbols.size(), payload.size());
}

TEST(SessionCancel, CancelAnsweredCancelLetsTheUpdateRunOn) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(600));
  WorkerGate gate;
  StartHeld(rig, gate, milliseconds(150));
  rig.prompts.onBox = [](const Box&) -> std::optional<BoxAnswer> { return BoxAnswer::Cancel; };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.engine.SessionState.load(), Running);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_TRUE(rig.view.runEnabled);
  rig.prompts.onBox = nullptr;
  gate.release();
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
}

TEST(SessionCancel, LateOkAfterTheFinishLeavesTheWindowConsistent) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(600));
  WorkerGate gate;
  StartHeld(rig, gate, milliseconds(150));

  // While the cancel question is open the timer keeps firing and the stream ends.
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.buttons != BoxButtons::OkCancel) return std::nullopt;
    gate.release();
    EXPECT_TRUE(rig.runToFinish());
    return BoxAnswer::Ok;
  };
  OnRunUpdate(*rig.session);

  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Warning!", "Done!"}));
  // The question that had lost its object was closed before the outcome box came.
  EXPECT_EQ(rig.prompts.questionsClosedAt, std::vector<std::size_t>{2});
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);  // no phantom "Please wait..."
  ExpectIdleWindow(rig);
}

TEST(SessionCancel, OkAfterTheStreamEndedButBeforeTheTickKeepsTheDoneOutcome) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(600));
  WorkerGate gate;
  StartHeld(rig, gate, milliseconds(150));
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.buttons != BoxButtons::OkCancel) return std::nullopt;
    gate.release();
    while (!rig.session->workerEnded.load()) std::this_thread::yield();
    return BoxAnswer::Ok;  // no tick has run: the session is not finished yet
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_TRUE(rig.view.runEnabled);
  rig.prompts.onBox = nullptr;
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Done);
  EXPECT_EQ(rig.prompts.boxes.back().caption, "Done!");
}

// --- The start's waits ----------------------------------------------------------------------

// However the device fails to answer, the window is blocked no longer than the handshake's
// documented wait (the request's 10 ms and 500 ms for the reply) before the refusal shows.
TEST(SessionStartWaits, RefusalComesWithinTheReplyWindow) {
  for (const char* fault : {"no-reply", "late-reply", "stall-output", "unplug:0", "unplug:4"}) {
    SCOPED_TRACE(fault);
    SessionRig rig(Device(sim::kKindAD, fault));
    rig.load(kKindAD, PlainPayload(90));
    std::optional<Clock::TimePoint> refusedAt;
    rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
      if (box.text == kNoReplyText) refusedAt = rig.clock.now();
      return std::nullopt;
    };
    const Clock::TimePoint pressed = rig.clock.now();
    OnRunUpdate(*rig.session);
    ASSERT_TRUE(refusedAt.has_value());
    EXPECT_LE(*refusedAt - pressed, milliseconds(511));
    EXPECT_LE(rig.clock.now() - pressed, milliseconds(511));
    EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  }
}

// A device that vanishes between the identification and the header: the header's wait is the
// documented 110 ms at most, and the stream then fails at once.
TEST(SessionStartWaits, HeaderThatNeverCompletesHoldsTheWindowNoLongerThanItsSettle) {
  SessionRig rig(Device(sim::kKindAD, "unplug:9"));  // gone after the request's 8 bytes
  rig.load(kKindAD, PlainPayload(900));
  Clock::TimePoint answered{};
  Clock::TimePoint workerCreated{};
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning") answered = rig.clock.now();
    return std::nullopt;
  };
  rig.session->createWorker = [&](std::function<void()> body) {
    workerCreated = rig.clock.now();
    return std::thread(std::move(body));
  };
  OnRunUpdate(*rig.session);
  EXPECT_LE(workerCreated - answered, milliseconds(111));
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Failed);
}

// --- Boxes from the worker ---------------------------------------------------------------------

// A box the worker's sender asks for is shown on the user-interface thread by a timer tick, before
// the outcome, and the worker does not wait for it.
TEST(SessionWorkerBoxes, AreShownOnTheUserInterfaceThreadBeforeTheOutcome) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(900));
  // The identify request and the header are the first two preparations; the fifth is the
  // stream's third piece.
  rig.platform.failOn(VirtualOp::OutPrepare, MMSYSERR_NOMEM, 1, 4);
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  const std::string prepareText = StandardMidiErrorText(MMSYSERR_NOMEM);
  ASSERT_EQ(rig.prompts.boxes.size(), 4u);
  EXPECT_EQ(rig.prompts.boxes[1].text, prepareText);
  EXPECT_EQ(rig.prompts.boxes[1].caption, "Error!");
  EXPECT_EQ(rig.prompts.captions(),
            (std::vector<std::string>{"Warning", "Error!", "Error!", "Abort!"}));
  for (const Box& box : rig.prompts.boxes) EXPECT_EQ(box.thread, std::this_thread::get_id());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Failed);
}

// --- One session at a time --------------------------------------------------------------------

TEST(SessionExclusion, PressDuringTheStartIsIgnored) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  int presses = 0;
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning" && presses++ == 0) OnRunUpdate(*rig.session);
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.converter.identifyRequests(), 1u);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Done!"}));
  EXPECT_EQ(rig.converter.identifyRequests(), 1u);
}

TEST(SessionExclusion, PressDuringTheFinishBoxesIsIgnored) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Done!") OnRunUpdate(*rig.session);
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Done!"}));
  EXPECT_EQ(rig.converter.identifyRequests(), 1u);
  ExpectIdleWindow(rig);

  // Once finished, a press starts the next session normally; the caption never returns to
  // "Run Update".
  rig.prompts.onBox = nullptr;
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.converter.identifyRequests(), 2u);
  EXPECT_EQ(rig.view.caption, "Start Update");
  EXPECT_EQ(std::count(rig.view.log.begin(), rig.view.log.end(), "caption Run Update"), 0);
}

// --- Creation failures ------------------------------------------------------------------------

TEST(SessionCreation, TimerThatCannotBeCreatedRefusesBeforeTheHeader) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  rig.view.timerFails = true;
  OnRunUpdate(*rig.session);

  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Error!"}));
  EXPECT_EQ(rig.prompts.boxes.back().text, kNoTimerText);
  EXPECT_EQ(rig.wire(), kIdentifyRequest);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
}

TEST(SessionCreation, WorkerThatCannotBeCreatedClosesTheStreamAndRefuses) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  rig.session->createWorker = [](std::function<void()>) -> std::thread {
    throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
  };
  OnRunUpdate(*rig.session);

  EXPECT_EQ(rig.prompts.captions(), (std::vector<std::string>{"Warning", "Error!"}));
  EXPECT_EQ(rig.prompts.boxes.back().text.rfind(kNoWorkerText, 0), 0u);
  std::vector<uint8_t> expected = kIdentifyRequest;
  expected.insert(expected.end(), kStreamHeader.begin(), kStreamHeader.end());
  expected.push_back(0xF7);
  EXPECT_EQ(rig.wire(), expected);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  EXPECT_TRUE(rig.converter.decoded().ended);
}

// --- Stopping from outside --------------------------------------------------------------------

TEST(SessionStop, StopInAPauseDoesNotWaitForTheWorkerAndClosesTheStreamOnceItEnded) {
  SessionRig rig(Device(sim::kKindAD));
  std::vector<uint8_t> payload = PlainPayload(600);
  payload[60] |= 0x80;
  rig.load(kKindAD, payload);
  WorkerGate gate;
  StartHeld(rig, gate, seconds(5));  // the worker is inside its 15 s pause

  // The close arrives while the worker is held: the stop returns at once, the window shows
  // "Please wait..." (aborted) with its buttons off, and nothing is closed under the worker.
  EXPECT_FALSE(rig.ui([&] { return StopUpdateSession(*rig.session); }));
  EXPECT_EQ(rig.session->phase, SessionPhase::Stopping);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_FALSE(rig.view.runEnabled);
  EXPECT_FALSE(rig.view.selectEnabled);
  EXPECT_TRUE(rig.view.timerRunning);
  EXPECT_TRUE(rig.platform.isOutputOpen(0));
  const int invalidated = rig.view.invalidations;
  rig.tick();  // the worker is still held: the tick only repaints
  EXPECT_GT(rig.view.invalidations, invalidated);
  EXPECT_EQ(rig.session->phase, SessionPhase::Stopping);
  // Commands meanwhile belong to the session being stopped.
  rig.ui([&] { OnRunUpdate(*rig.session); });
  EXPECT_EQ(rig.prompts.boxes.size(), 1u);
  EXPECT_LE(rig.meter.longest, milliseconds(100));

  gate.release();
  const auto limit = std::chrono::steady_clock::now() + seconds(20);
  while (!rig.ui([&] { return StopUpdateSession(*rig.session); })) {
    ASSERT_LT(std::chrono::steady_clock::now(), limit);
    std::this_thread::sleep_for(milliseconds(1));
  }

  EXPECT_FALSE(rig.session->workerThread.joinable());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Stopped);
  EXPECT_EQ(rig.prompts.captions(), std::vector<std::string>{"Warning"});
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  EXPECT_EQ(rig.wire().back(), 0xF7);
  EXPECT_TRUE(rig.converter.decoded().ended);
  // The timer is gone: a stray tick does nothing.
  SessionTimerProc(*rig.session);
  EXPECT_EQ(rig.prompts.boxes.size(), 1u);
}

TEST(SessionStop, TickAfterTheWorkerEndedFinishesAStopWithoutABox) {
  SessionRig rig(Device(sim::kKindAD));
  std::vector<uint8_t> payload = PlainPayload(600);
  payload[60] |= 0x80;
  rig.load(kKindAD, payload);
  WorkerGate gate;
  StartHeld(rig, gate, seconds(5));
  EXPECT_FALSE(StopUpdateSession(*rig.session));
  gate.release();
  ASSERT_TRUE(rig.runToFinish());
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Stopped);
  EXPECT_EQ(rig.prompts.captions(), std::vector<std::string>{"Warning"});
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
  const std::vector<uint8_t> wire = rig.wire();
  EXPECT_EQ(std::count(wire.begin(), wire.end(), 0xF7), 2);  // request and stream
  EXPECT_TRUE(StopUpdateSession(*rig.session));
}

TEST(SessionStop, DestroyingTheSessionWhileStreamingStillClosesTheStream) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(3000));
  WorkerGate gate;
  StartHeld(rig, gate, milliseconds(300));
  std::thread releaser([&] {
    std::this_thread::sleep_for(milliseconds(20));
    gate.release();
  });
  rig.session.reset();
  releaser.join();

  EXPECT_EQ(rig.wire().back(), 0xF7);
  EXPECT_TRUE(rig.converter.decoded().ended);
  EXPECT_EQ(rig.midi.ports.sessionPortsOpen.load(), 0u);
  EXPECT_FALSE(rig.platform.isOutputOpen(0));
  EXPECT_FALSE(rig.platform.isInputOpen(0));
}

TEST(SessionStop, StopDuringTheWarningRefusesTheStart) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning") {
      EXPECT_FALSE(StopUpdateSession(*rig.session));
    }
    return BoxAnswer::Yes;
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
  EXPECT_EQ(rig.wire(), kIdentifyRequest);
  ExpectIdleWindow(rig);
  ExpectPortsClosed(rig);
}

TEST(SessionStop, StopWithNoSessionDoesNothing) {
  SessionRig rig(Device(sim::kKindAD));
  EXPECT_TRUE(StopUpdateSession(*rig.session));
  EXPECT_TRUE(rig.view.log.empty());
  EXPECT_TRUE(rig.wire().empty());
}

// --- The user-interface thread is never held -------------------------------------------------

// Every way a session can go, measured by the stall meter: no stretch of the user-interface
// thread without events longer than 100 ms but the identification's own wait.
TEST(SessionResponsiveness, NoUiCallHoldsTheThreadLongerThan100Ms) {
  enum class Then { RunOut, CancelInPause, StopInPause };
  struct Case {
    const char* name;
    const char* fault;
    bool pause;
    Then then;
    SessionOutcome outcome;
  };
  const Case cases[] = {
      {"whole update", nullptr, false, Then::RunOut, SessionOutcome::Done},
      {"cancel in a 15 s pause", nullptr, true, Then::CancelInPause, SessionOutcome::Aborted},
      {"close in a 15 s pause", nullptr, true, Then::StopInPause, SessionOutcome::Stopped},
      {"device vanishes", "unplug:300", false, Then::RunOut, SessionOutcome::Failed},
      {"echo stops before the end", "echo-stops:900", false, Then::RunOut, SessionOutcome::Failed},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    SessionRig rig(Device(sim::kKindAD, c.fault));
    std::vector<uint8_t> payload = PlainPayload(3000);
    if (c.pause) payload[60] |= 0x80;
    rig.load(kKindAD, payload);
    if (c.then == Then::RunOut) {
      rig.ui([&] { OnRunUpdate(*rig.session); });
    } else {
      WorkerGate gate;
      StartHeld(rig, gate, seconds(5));
      std::thread releaser([&] {
        std::this_thread::sleep_for(milliseconds(50));
        gate.release();
      });
      if (c.then == Then::CancelInPause) {
        rig.ui([&] { OnRunUpdate(*rig.session); });
      } else {
        rig.ui([&] { return StopUpdateSession(*rig.session); });
      }
      releaser.join();
    }
    ASSERT_TRUE(rig.runToFinish());
    EXPECT_EQ(rig.session->lastOutcome, c.outcome);
    EXPECT_LE(rig.meter.longest, milliseconds(100)) << "before " << rig.meter.longestBefore;
    EXPECT_LE(rig.meter.identification, milliseconds(520));
    EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  }
}

TEST(SessionResponsiveness, WindowIsPaintedWithCancelBeforeTheIdentificationWait) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(300));
  std::string captionAtPaint;
  std::size_t wireAtPaint = 99;
  Clock::TimePoint paintedAt{};
  rig.view.onPaint = [&] {
    captionAtPaint = rig.view.caption;
    wireAtPaint = rig.wire().size();
    paintedAt = rig.clock.now();
  };
  const Clock::TimePoint pressed = rig.clock.now();
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning") return BoxAnswer::No;
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(captionAtPaint, "Cancel...");
  EXPECT_EQ(wireAtPaint, 0u);  // before the identify request went out
  EXPECT_EQ(paintedAt, pressed);
}

// After any change of the session's state the status area is repainted, without waiting for a
// tick or an unrelated repaint: here every way a start can be refused.
TEST(SessionResponsiveness, StatusIsRepaintedAtOnceAfterARefusedStart) {
  struct Case {
    const char* name;
    const char* fault;
    uint8_t fileKind;
    bool warningNo;
  };
  for (const Case& c : {Case{"no reply", "no-reply", kKindAD, false},
                        Case{"wrong device ID", "wrong-id", kKindAD, false},
                        Case{"wrong kind", nullptr, kKindDA, false},
                        Case{"warning answered No", nullptr, kKindAD, true}}) {
    SCOPED_TRACE(c.name);
    SessionRig rig(Device(sim::kKindAD, c.fault));
    rig.load(c.fileKind, PlainPayload(300));
    int invalidationsAtLastBox = -1;
    rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
      invalidationsAtLastBox = rig.view.invalidations;
      if (c.warningNo && box.caption == "Warning") return BoxAnswer::No;
      return std::nullopt;
    };
    OnRunUpdate(*rig.session);
    EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
    // A repaint after the refusal's own box and after the window went back to idle.
    EXPECT_GT(rig.view.invalidations, invalidationsAtLastBox);
  }
}

// --- Worker priority --------------------------------------------------------------------------

#if defined(__linux__)
TEST(SessionWorker, PriorityIsRaisedWhereAllowedAndLeftAloneOtherwise) {
  int before = 0;
  int after = 0;
  bool raised = false;
  long slackBefore = 0;
  long slackAfter = 0;
  std::thread probe([&] {
    const id_t self = static_cast<id_t>(gettid());
    before = getpriority(PRIO_PROCESS, self);
    slackBefore = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
    raised = RaiseCurrentThreadPriority();
    after = getpriority(PRIO_PROCESS, self);
    slackAfter = prctl(PR_GET_TIMERSLACK, 0, 0, 0, 0);
  });
  probe.join();
  EXPECT_EQ(after, raised ? before - 1 : before);
  // Timers end on time whether or not the priority could be raised (the slack needs no right).
  EXPECT_GT(slackBefore, 1);
  EXPECT_EQ(slackAfter, 1);
}
#endif

// --- Small buffers ----------------------------------------------------------------------------

TEST(SessionBuffers, LogZeroingStaysWithinAShortLog) {
  SessionRig rig(Device(sim::kKindAD));
  rig.load(kKindAD, PlainPayload(3));
  // A log shorter than the 24 bytes the start clears: a fresh block of exactly 12 bytes, so that
  // a write past its end is caught by the allocator (or a sanitizer).
  std::vector<uint8_t> shortLog(12, 0xEE);
  rig.image.SentLog.swap(shortLog);
  rig.prompts.onBox = [&](const Box& box) -> std::optional<BoxAnswer> {
    if (box.caption == "Warning") {
      EXPECT_EQ(rig.image.SentLog.size(), 12u);
      EXPECT_TRUE(std::all_of(rig.image.SentLog.begin(), rig.image.SentLog.end(),
                              [](uint8_t b) { return b == 0; }));
      return BoxAnswer::No;
    }
    return std::nullopt;
  };
  OnRunUpdate(*rig.session);
  EXPECT_EQ(rig.session->lastOutcome, SessionOutcome::Refused);
}

}  // namespace
}  // namespace varnet::testing
