// The chunked sender and the echo check: pieces and their spacing, the log, the comparison of the
// device's echo, and what happens when the MIDI service does not hand the message area back.
#include <algorithm>
#include <numeric>

#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

const Bytes kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

// A rig whose SendBuffer holds 0, 1, 2, ... so that every piece's bytes can be told apart.
struct SenderRig : EngineRig {
  explicit SenderRig(std::size_t payloadLength = 200) {
    load(Bytes(payloadLength, 0x00));
    std::iota(image.SendBuffer.begin(), image.SendBuffer.end(), uint8_t{0});
  }
  Bytes front(std::size_t n) const {
    return Bytes(image.SendBuffer.begin(), image.SendBuffer.begin() + n);
  }
};

// Runs what a session sends for one update: header, stream, end byte.
void RunUpdateStream(EngineRig& rig) {
  rig.image.sentLogCount = 0;
  rig.image.echoVerifiedCount = 0;
  SendStartUpdateHeader(rig.engine);
  rig.engine.SessionState = Running;
  StreamPayload(rig.engine);
  SendEndOfExclusive(rig.engine);
}

Bytes SamplePayload() {
  Bytes payload;
  for (int i = 0; i < 700; ++i) {
    uint8_t byte = static_cast<uint8_t>(i * 7 % 4);
    if (i % 97 == 50) byte |= 0x10;
    if (i % 211 == 100) byte |= 0x40;
    payload.push_back(byte);
  }
  return payload;
}

struct PieceCase {
  uint32_t count;
  std::vector<std::size_t> lengths;
};

class SenderPieces : public ::testing::TestWithParam<PieceCase> {};

TEST_P(SenderPieces, CutsLogsAndPaces) {
  const PieceCase& c = GetParam();
  SenderRig rig;
  const Bytes before = rig.image.SendBuffer;
  SendBytes(rig.engine, c.count);

  ASSERT_EQ(rig.output.pieces.size(), c.lengths.size());
  std::size_t offset = 0;
  for (std::size_t i = 0; i < c.lengths.size(); ++i) {
    EXPECT_EQ(rig.output.pieces[i].bytes.size(), c.lengths[i]);
    EXPECT_EQ(Ms(rig.output.pieces[i].at - rig.start), int64_t(10 * i));
    offset += c.lengths[i];
  }
  EXPECT_EQ(rig.output.wire(), rig.front(c.count));
  EXPECT_EQ(Log(rig.image), rig.front(c.count));
  EXPECT_EQ(rig.image.bytesSent.load(), c.count);
  EXPECT_EQ(rig.image.SendBuffer, before);
  // The send returns once its last piece's 10 ms have passed.
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), int64_t(10 * c.lengths.size()));
  for (uint8_t b : rig.midi.ports.outputData) EXPECT_EQ(b, 0);
}

INSTANTIATE_TEST_SUITE_P(Sizes, SenderPieces,
                         ::testing::Values(PieceCase{32, {32}}, PieceCase{33, {32, 1}},
                                           PieceCase{64, {32, 32}}, PieceCase{1, {1}},
                                           PieceCase{100, {32, 32, 32, 4}}));

TEST(Sender, EverySendTakesAtLeastTenMilliseconds) {
  SenderRig rig;
  for (int i = 0; i < 5; ++i) {
    const Clock::TimePoint before = rig.clock.now();
    SendBytes(rig.engine, 1);
    EXPECT_GE(Ms(rig.clock.now() - before), 10);
  }
  for (std::size_t i = 1; i < rig.output.pieces.size(); ++i) {
    EXPECT_GE(Ms(rig.output.pieces[i].at - rig.output.pieces[i - 1].at), 10);
  }
  EXPECT_EQ(rig.image.sentLogCount, 5u);
}

TEST(Sender, NoEchoCheckOutsideARunningStream) {
  SenderRig rig;
  rig.output.echo = true;
  rig.output.echoFilter = [](std::size_t, const Bytes&) { return Bytes{0x99}; };
  SendBytes(rig.engine, 8);  // as for the identify request: Idle
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_EQ(rig.midi.stagingA.free.load(), 0u);  // staged, not fetched
}

TEST(EchoStream, FullStreamIsCheckedToTheLastByte) {
  EngineRig rig;
  rig.output.echo = true;
  rig.load(SamplePayload());
  RunUpdateStream(rig);

  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  const Bytes log = Log(rig.image);
  ASSERT_GT(log.size(), 11u);
  // The log reads header, stream, end byte, and is exactly what left the port.
  EXPECT_EQ(Bytes(log.begin(), log.begin() + 10), kHeader);
  EXPECT_EQ(log.back(), 0xF7);
  EXPECT_EQ(rig.output.wire(), log);
  // Every byte up to the stream's last was compared; the end byte is sent after Running.
  EXPECT_EQ(rig.image.echoVerifiedCount, rig.image.sentLogCount - 1);
  EXPECT_EQ(rig.output.overlaps, 0);
}

TEST(EchoStream, DeviceThatReturnsNothingNeverFails) {
  EngineRig rig;
  rig.load(SamplePayload());
  RunUpdateStream(rig);
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
}

TEST(EchoStream, DifferenceInTheFirstEchoedByteFailsAtTheFirstCheck) {
  EngineRig rig;
  rig.output.echo = true;
  rig.output.echoFilter = [](std::size_t index, const Bytes& bytes) {
    Bytes back = bytes;
    if (index == 0) back[0] = 0xF1;  // the header's 0xF0
    return back;
  };
  rig.load(SamplePayload());
  RunUpdateStream(rig);

  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
  // The header's echo sat in frameA; the first stream piece's echo in frameB stays unexamined.
  const MidiPorts& ports = rig.midi.ports;
  EXPECT_EQ(ports.frameALength, 10);
  EXPECT_EQ(ports.frameA[0], 0xF1);
  EXPECT_EQ(ports.frameBLength, int32_t(rig.output.pieces[1].bytes.size()));
  EXPECT_EQ(ports.frameB[0], rig.output.pieces[1].bytes[0]);
  // The stream stopped: far fewer bytes than a full run.
  EXPECT_LT(rig.output.wire().size(), 60u);
}

TEST(EchoStream, DeviceThatEchoesMoreThanItReceivedFails) {
  EngineRig rig;
  rig.output.echo = true;
  rig.output.echoFilter = [](std::size_t index, const Bytes& bytes) {
    Bytes back = bytes;
    if (index == 1) back.push_back(bytes.back());  // the stream's one piece, its last byte twice
    return back;
  };
  rig.load({0x01, 0x02, 0x03, 0x01});  // one send: 5B 50
  RunUpdateStream(rig);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

TEST(EchoStream, LateInputDuringTheStreamIsComparedLikeEcho) {
  EngineRig rig;
  rig.output.echo = true;
  rig.load(SamplePayload());
  const Bytes reply = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x30, 0, 0, 0, 0x03, 0xF7};
  rig.clock.schedule(rig.start + milliseconds(300), [&rig, reply] {
    StageInputBlock(rig.midi, reply.data(), uint32_t(reply.size()));
  });
  RunUpdateStream(rig);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
}

// CheckEcho on its own, against a hand-made log.
struct EchoRig : EngineRig {
  EchoRig() {
    load(Bytes(13, 0));  // SentLog of 24 bytes
    for (uint32_t i = 0; i < 20; ++i) image.SentLog[i] = uint8_t(0x10 + i);
    image.sentLogCount = 20;
    engine.SessionState = Running;
  }
  void stage(Bytes block) { StageInputBlock(midi, block.data(), uint32_t(block.size())); }
  Bytes logRange(uint32_t from, uint32_t to) {
    return Bytes(image.SentLog.begin() + from, image.SentLog.begin() + to);
  }
};

TEST(CheckEcho, BothFramesMatchingAdvanceAndClear) {
  EchoRig rig;
  rig.stage(rig.logRange(0, 5));
  rig.stage(rig.logRange(5, 12));
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.image.echoVerifiedCount, 12u);
  EXPECT_EQ(rig.engine.SessionState.load(), Running);
  EXPECT_EQ(rig.midi.ports.frameALength, 0);
  EXPECT_EQ(rig.midi.ports.frameBLength, 0);
  for (uint8_t b : rig.midi.ports.frameA) ASSERT_EQ(b, 0);
  for (uint8_t b : rig.midi.ports.frameB) ASSERT_EQ(b, 0);
}

TEST(CheckEcho, DifferenceInFrameALeavesFrameBUnexaminedAndUncleared) {
  EchoRig rig;
  Bytes first = rig.logRange(0, 5);
  first[3] ^= 0x20;
  rig.stage(first);
  rig.stage(rig.logRange(5, 12));
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
  EXPECT_EQ(rig.midi.ports.frameALength, 5);
  EXPECT_EQ(rig.midi.ports.frameBLength, 7);
  EXPECT_EQ(rig.midi.ports.frameA[3], first[3]);
  EXPECT_EQ(rig.midi.ports.frameB[0], 0x15);
}

TEST(CheckEcho, DifferenceInFrameBKeepsWhatFrameAVerified) {
  EchoRig rig;
  rig.stage(rig.logRange(0, 5));
  Bytes second = rig.logRange(5, 12);
  second.back() = 0;
  rig.stage(second);
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.image.echoVerifiedCount, 5u);
}

TEST(CheckEcho, EchoBeyondTheLogIsADifference) {
  EchoRig rig;
  Bytes all = rig.logRange(0, 20);
  all.push_back(rig.image.SentLog[20]);  // equal to the unwritten slot: still a difference
  rig.stage(all);
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
}

TEST(CheckEcho, NeverReadsPastTheLogsEnd) {
  EchoRig rig;
  rig.image.sentLogCount = 24;  // the log is full
  rig.image.echoVerifiedCount = 20;
  rig.stage(Bytes(128, 0));  // far more than the 4 bytes left
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.image.echoVerifiedCount, 20u);
}

TEST(CheckEcho, NothingCapturedChangesNothing) {
  EchoRig rig;
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.SessionState.load(), Running);
  EXPECT_EQ(rig.image.echoVerifiedCount, 0u);
}

TEST(SenderLog, ASendThatDoesNotFitTheLogFailsWithoutWriting) {
  SenderRig rig(0);  // SentLog of 24 bytes
  rig.image.sentLogCount = 20;
  const Bytes logBefore = rig.image.SentLog;
  rig.engine.SessionState = Running;
  SendBytes(rig.engine, 8);
  EXPECT_TRUE(rig.output.pieces.empty());
  EXPECT_EQ(rig.image.SentLog, logBefore);
  EXPECT_EQ(rig.image.sentLogCount, 20u);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

// --- The message area belongs to the service until it completes ------------------------------

TEST(SenderOwnership, SlowLinkIsNeverOutrun) {
  SenderRig rig;
  rig.output.completion = ScriptedOutput::Completion::Delayed;
  rig.output.completionDelay = milliseconds(25);
  SendBytes(rig.engine, 96);
  ASSERT_EQ(rig.output.pieces.size(), 3u);
  EXPECT_EQ(Ms(rig.output.pieces[1].at - rig.start), 25);
  EXPECT_EQ(Ms(rig.output.pieces[2].at - rig.start), 50);
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 75);
  EXPECT_EQ(rig.output.overlaps, 0);
  EXPECT_EQ(rig.output.rewrittenInFlight, 0);
  EXPECT_EQ(rig.output.wire(), rig.front(96));
}

TEST(SenderOwnership, OutputThatNeverCompletesFailsTheStreamAfterTwoSeconds) {
  SenderRig rig;
  rig.output.completion = ScriptedOutput::Completion::Never;
  rig.engine.SessionState = Running;
  SendBytes(rig.engine, 64);

  ASSERT_EQ(rig.output.pieces.size(), 1u);  // the second piece never went out
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 2010);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  EXPECT_EQ(rig.output.overlaps, 0);
  // The area still holds the piece the service owns: not cleared, not refilled.
  EXPECT_EQ(Bytes(rig.midi.ports.outputData.begin(), rig.midi.ports.outputData.end()),
            rig.front(32));

  // Later sends of the stream (the tail) return at once instead of waiting again; the end byte
  // resets the output, which hands the hanging piece back, and closes the message.
  const Clock::TimePoint before = rig.clock.now();
  SendBytes(rig.engine, 1);
  EXPECT_EQ(rig.clock.now(), before);
  EXPECT_EQ(rig.output.pieces.size(), 1u);
  rig.output.completion = ScriptedOutput::Completion::Immediate;
  SendEndOfExclusive(rig.engine);
  EXPECT_EQ(rig.output.resets, 1);
  ASSERT_EQ(rig.output.pieces.size(), 2u);
  EXPECT_EQ(rig.output.pieces[1].bytes, Bytes{0xF7});
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);  // the stream stays failed
}

TEST(SenderOwnership, EndByteThatCannotGoOutTurnsAFinishedStreamIntoAFailure) {
  EngineRig rig;
  rig.load({0x01, 0x02, 0x03});
  rig.output.completion = ScriptedOutput::Completion::Delayed;
  // Header, one stream send, then the end byte, which never completes.
  rig.output.delayFor = [](std::size_t index) {
    return index == 2 ? milliseconds(1000000) : milliseconds(1);
  };
  RunUpdateStream(rig);
  ASSERT_EQ(rig.output.pieces.size(), 3u);
  EXPECT_EQ(rig.output.pieces[2].bytes, Bytes{0xF7});
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

TEST(SenderOwnership, RefusedPieceFailsWithoutWaitingForACompletionThatNeverComes) {
  SenderRig rig;
  rig.output.refuse = {1};
  rig.engine.SessionState = Running;
  SendBytes(rig.engine, 96);
  ASSERT_EQ(rig.output.pieces.size(), 1u);
  EXPECT_EQ(rig.output.refusedCount, 1u);
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 10);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.midi.outputDone.load(), 0u);

  // The next exchange does not wait for the refused message either.
  rig.engine.SessionState = Idle;
  rig.engine.aborted = 0;
  const Clock::TimePoint before = rig.clock.now();
  IdentifyDevice(rig.engine);
  EXPECT_EQ(Ms(rig.clock.now() - before), 510);
  EXPECT_EQ(rig.output.pieces.size(), 2u);
}

TEST(SenderOwnership, NextExchangeWaitsOnceForAMessageStillInFlight) {
  SenderRig rig;
  rig.output.completion = ScriptedOutput::Completion::Never;
  SendBytes(rig.engine, 64);
  ASSERT_EQ(rig.output.pieces.size(), 1u);

  // Still hanging at the next identification: one wait, bounded by the reply window, nothing
  // sent, no reply.
  rig.engine.SessionState = Idle;
  rig.engine.aborted = 0;
  Clock::TimePoint before = rig.clock.now();
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  EXPECT_EQ(Ms(rig.clock.now() - before), 510);
  EXPECT_EQ(rig.output.pieces.size(), 1u);
  EXPECT_EQ(rig.prompts.boxes.back().text,
            "No response received! Please check connection or device type!");

  // Once the service hands the area back, the next identification goes out normally.
  rig.output.completion = ScriptedOutput::Completion::Immediate;
  rig.output.completeNow(&rig.midi.ports.outputHeader);
  before = rig.clock.now();
  IdentifyDevice(rig.engine);
  EXPECT_EQ(Ms(rig.clock.now() - before), 510);
  ASSERT_EQ(rig.output.pieces.size(), 2u);
  EXPECT_EQ(rig.output.pieces[1].bytes[6], 0x10);
}

// --- Pacing ------------------------------------------------------------------------------------

// Pieces are stamped at the end of each call here (the rig records them after its cost). Whatever
// a call takes, the next piece reaches the device at least 10 ms after the previous one; a call
// of constant length adds its own time once, and nothing accumulates over a long stream.
TEST(SenderPacing, GapsHoldWhateverTheSendCallsTake) {
  struct Case {
    const char* what;
    std::function<Clock::Duration(std::size_t)> cost;
    std::vector<int64_t> first;  // the first gaps between successive pieces, ms
  };
  const std::vector<Case> cases = {
      {"instant calls", [](std::size_t) { return milliseconds(0); }, {10, 10, 10, 10, 10}},
      {"every call 1 ms", [](std::size_t) { return milliseconds(1); }, {11, 11, 11, 11, 11}},
      // A thread held up inside one call: the piece after it must not come early.
      {"one call 3 ms",
       [](std::size_t i) { return i == 2 ? milliseconds(3) : milliseconds(0); },
       {10, 13, 10, 10, 10}},
  };
  for (const Case& c : cases) {
    SenderRig rig(32000);
    rig.output.costFor = c.cost;
    for (int i = 0; i < 1000; ++i) SendBytes(rig.engine, 32);
    ASSERT_EQ(rig.output.pieces.size(), 1000u) << c.what;
    std::vector<int64_t> gaps;
    for (std::size_t i = 1; i < rig.output.pieces.size(); ++i)
      gaps.push_back(Ms(rig.output.pieces[i].at - rig.output.pieces[i - 1].at));
    EXPECT_EQ(std::vector<int64_t>(gaps.begin(), gaps.begin() + 5), c.first) << c.what;
    // Then steady at the first gap: no drift.
    EXPECT_EQ(std::count(gaps.begin() + 5, gaps.end(), c.first.front()), 994) << c.what;
  }
}

TEST(SenderPacing, PausesAreMeasuredOnTheSchedule) {
  EngineRig rig;
  rig.output.callCost = milliseconds(1);
  rig.load({0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00});
  StreamPayload(rig.engine);
  // Each pause follows the send call's 1 ms, once: waits do not add up.
  EXPECT_EQ(rig.output.trace(), "send 20; pause 21; send 5D 20; pause 15001; send 70");
}

TEST(SenderPacing, LateSenderReanchorsInsteadOfBursting) {
  SenderRig rig;
  rig.output.completion = ScriptedOutput::Completion::Delayed;
  rig.output.delayFor = [](std::size_t index) {
    return index == 2 ? milliseconds(100) : milliseconds(1);
  };
  SendBytes(rig.engine, 6 * 32);
  ASSERT_EQ(rig.output.pieces.size(), 6u);
  std::vector<int64_t> at;
  for (const Piece& p : rig.output.pieces) at.push_back(Ms(p.at - rig.start));
  EXPECT_EQ(at, (std::vector<int64_t>{0, 10, 20, 120, 130, 140}));
}

// A late piece moves the schedule back by its lateness: the device never gets two pieces less
// than 10 ms apart, however small the lateness.
TEST(SenderPacing, LatePieceMovesTheScheduleBack) {
  struct Case {
    int lateMs;
    std::vector<int64_t> at;
  };
  for (const Case& c : {Case{1, {0, 10, 20, 31, 41, 51}}, Case{3, {0, 10, 20, 33, 43, 53}},
                        Case{100, {0, 10, 20, 130, 140, 150}}}) {
    SenderRig rig;
    rig.output.completion = ScriptedOutput::Completion::Delayed;
    rig.output.delayFor = [&c](std::size_t index) {
      return index == 2 ? milliseconds(10 + c.lateMs) : milliseconds(1);
    };
    SendBytes(rig.engine, 6 * 32);
    std::vector<int64_t> at;
    for (const Piece& p : rig.output.pieces) at.push_back(Ms(p.at - rig.start));
    EXPECT_EQ(at, c.at) << c.lateMs << " ms late";
  }
}

}  // namespace
}  // namespace varnet::test
