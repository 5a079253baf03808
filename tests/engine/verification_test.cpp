// "Update done!" must mean verified: the finish compares the echo up to the end byte, any input
// that is not echo fails the stream, a stop ends a send within a piece, and the end byte follows
// every header while the port exists.
#include <numeric>

#include "engine/session_log.h"
#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

constexpr Clock::Duration kFinishBound = milliseconds(500);

// Header, stream, end byte and the finish's echo check, as a session runs them.
void RunAndFinish(EngineRig& rig) {
  rig.image.sentLogCount = 0;
  rig.image.echoVerifiedCount = 0;
  SendStartUpdateHeader(rig.engine);
  rig.engine.SessionState = Running;
  StreamPayload(rig.engine);
  SendEndOfExclusive(rig.engine);
  CheckFinalEcho(rig.engine, kFinishBound);
}

Bytes Plain(std::size_t count) {
  Bytes payload(count);
  for (std::size_t i = 0; i < count; ++i) payload[i] = uint8_t((i * 7 + i / 5) % 4);
  return payload;
}

// The echo as a MIDI service hands it over: 128-byte blocks, each returned when full or when
// the end byte closes the message. A short stream's echo therefore arrives only after the F7.
struct BlockedEcho {
  Bytes pending;
  Bytes operator()(std::size_t, const Bytes& piece) {
    pending.insert(pending.end(), piece.begin(), piece.end());
    if (pending.size() < kInputBufferSize && pending.back() != 0xF7) return {};
    const std::size_t n = std::min(pending.size(), kInputBufferSize);
    Bytes block(pending.begin(), pending.begin() + n);
    pending.erase(pending.begin(), pending.begin() + n);
    return block;
  }
};

void InjectShortMessage(EngineRig& rig, Clock::Duration at, uintptr_t packed,
                        uint32_t message = MIM_DATA) {
  rig.clock.schedule(rig.start + at, [&rig, packed, message] {
    MidiInputCallback(1, message, reinterpret_cast<uintptr_t>(&rig.midi), packed, 0);
  });
}

using Kind = EchoDifference::Kind;

struct VerifyCase {
  const char* name;
  std::size_t payload;
  std::function<void(EngineRig&)> arrange;
  bool passes;
  bool echoMissing;
  Kind kind;
  // Offset of the difference, counted back from the end byte (0: the F7) when negative.
  int64_t offset;
};

std::ostream& operator<<(std::ostream& out, const VerifyCase& c) {
  return out << c.name;
}

std::vector<VerifyCase> VerifyCases() {
  auto blocked = [](std::function<void(Bytes&)> change) {
    return [change](EngineRig& rig) {
      rig.output.echo = true;
      rig.output.echoFilter = [change, echo = std::make_shared<BlockedEcho>()](std::size_t i,
                                                                               const Bytes& piece) {
        Bytes block = (*echo)(i, piece);
        if (!block.empty()) change(block);
        return block;
      };
    };
  };
  auto faithful = [](Bytes&) {};
  auto piecewise = [](std::function<Bytes(std::size_t, const Bytes&)> filter) {
    return [filter](EngineRig& rig) {
      rig.output.echo = true;
      rig.output.echoFilter = filter;
    };
  };
  return {
      // Header, stream and end byte all fit in one block: only the finish can verify them.
      {"short_1", 1, blocked(faithful), true, false, Kind::None, 0},
      {"short_30", 30, blocked(faithful), true, false, Kind::None, 0},
      {"short_300", 300, blocked(faithful), true, false, Kind::None, 0},
      {"short_corrupt", 300, blocked([](Bytes& b) { b[50] ^= 1; }), false, false, Kind::Differs,
       50},
      {"short_corrupt_first_byte", 30, blocked([](Bytes& b) { b[0] ^= 1; }), false, false,
       Kind::Differs, 0},
      {"end_byte_echo_corrupt", 3000, piecewise([](std::size_t, const Bytes& piece) {
         Bytes back = piece;
         if (back == Bytes{0xF7}) back[0] = 0xF6;
         return back;
       }),
       false, false, Kind::Differs, -1},
      {"echo_stops", 3000,
       piecewise([](std::size_t i, const Bytes& piece) { return i < 5 ? piece : Bytes{}; }), false,
       false, Kind::EchoStopped, 10 + 4 * 32},
      {"silent", 3000, [](EngineRig&) {}, true, true, Kind::None, 0},
      {"stray_note_on", 3000,
       [](EngineRig& rig) {
         rig.output.echo = true;
         InjectShortMessage(rig, milliseconds(400), 0x403C90);
       },
       false, false, Kind::OtherInput, -2},
      {"stray_song_select", 3000,
       [](EngineRig& rig) {
         rig.output.echo = true;
         InjectShortMessage(rig, milliseconds(400), 0x05F3);
       },
       false, false, Kind::OtherInput, -2},
      {"invalid_short_message", 3000,
       [](EngineRig& rig) {
         rig.output.echo = true;
         InjectShortMessage(rig, milliseconds(400), 0x0042, MIM_ERROR);
       },
       false, false, Kind::OtherInput, -2},
      {"real_time_is_ignored", 3000,
       [](EngineRig& rig) {
         rig.output.echo = true;
         for (uintptr_t status : {0xF8u, 0xFEu, 0xFFu}) {
           InjectShortMessage(rig, milliseconds(300), status);
         }
       },
       true, false, Kind::None, 0},
  };
}

class Verification : public ::testing::TestWithParam<VerifyCase> {};

TEST_P(Verification, DoneOnlyWhenEveryByteSentWasEchoed) {
  const VerifyCase& c = GetParam();
  EngineRig rig;
  rig.load(Plain(c.payload));
  c.arrange(rig);
  RunAndFinish(rig);

  const Bytes log = Log(rig.image);
  ASSERT_FALSE(log.empty());
  EXPECT_EQ(log.back(), 0xF7);
  EXPECT_EQ(rig.output.wire(), log);
  EXPECT_EQ(rig.engine.echoMissing, c.echoMissing);
  EXPECT_EQ(rig.engine.firstDifference.kind, c.kind);
  if (c.passes) {
    EXPECT_EQ(rig.engine.SessionState.load(), Idle);
    EXPECT_EQ(rig.engine.aborted.load(), 0u);
    if (!c.echoMissing) {
      EXPECT_EQ(rig.image.echoVerifiedCount, rig.image.sentLogCount);
    }
    return;
  }
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
  const EchoDifference& d = rig.engine.firstDifference;
  if (c.offset >= 0) {
    EXPECT_EQ(d.offset, uint32_t(c.offset));
  } else if (c.offset == -1) {
    EXPECT_EQ(d.offset, rig.image.sentLogCount - 1);
  }
  ASSERT_LT(d.offset, log.size());
  ASSERT_GE(d.piece, 1u);
  std::size_t start = 0;
  for (std::size_t i = 0; i + 1 < d.piece; ++i) start += rig.output.pieces[i].bytes.size();
  const std::size_t end = start + rig.output.pieces[d.piece - 1].bytes.size();
  if (c.kind == Kind::OtherInput) {
    // Input that is not echo arrived where the next echoed byte was due: the next piece's first
    // byte, not sent yet when the check ran.
    EXPECT_EQ(d.offset, end);
    EXPECT_EQ(d.sent, -1);
    EXPECT_EQ(d.echoed, int(rig.midi.firstOtherInput.load() & 0xFF));
    return;
  }
  // The piece named is the one that carried the byte.
  EXPECT_EQ(d.sent, log[d.offset]);
  EXPECT_GE(d.offset, start);
  EXPECT_LT(d.offset, end);
}

INSTANTIATE_TEST_SUITE_P(Echo, Verification, ::testing::ValuesIn(VerifyCases()),
                         [](const ::testing::TestParamInfo<VerifyCase>& info) {
                           return std::string(info.param.name);
                         });

// A stop from outside (cancel, close, termination) ends even a single long send within a piece:
// then only the tail byte and the end byte follow.
TEST(Stop, EndsAPauseFreeStreamWithinAPiece) {
  for (int stopAtMs : {5, 45, 500, 3000}) {
    EngineRig rig;
    rig.load(Plain(30000));  // one send of 10000 bytes: 3.1 s
    std::size_t wireAtStop = 0;
    rig.clock.schedule(rig.start + milliseconds(110 + stopAtMs), [&rig, &wireAtStop] {
      wireAtStop = rig.output.wire().size();
      rig.engine.aborted = 1;
      rig.engine.SessionState = Idle;
      rig.engine.stopRequested = 1;
    });
    RunAndFinish(rig);

    const Bytes wire = rig.output.wire();
    EXPECT_LE(wire.size(), wireAtStop + 64 + 2) << stopAtMs;
    ASSERT_GE(wire.size(), 3u);
    EXPECT_EQ(wire.back(), 0xF7);
    const uint8_t tail = wire[wire.size() - 2];
    EXPECT_EQ(tail & 0xC3, 0x40) << "tail form";
    EXPECT_EQ(Log(rig.image), wire);  // bytes that never went out are not in the log
    EXPECT_EQ(rig.engine.SessionState.load(), Idle);
    EXPECT_EQ(rig.engine.aborted.load(), 1u);
  }
}

// After a piece the service refused, or one it never reported sent, the output is reset and the
// end byte still closes the message. The piece that did not reach the device is kept as where
// the stream broke.
TEST(EndByte, FollowsEveryHeaderWhileThePortExists) {
  struct Case {
    const char* name;
    std::function<void(EngineRig&)> arrange;
    std::size_t lostPiece;  // from 1, the header's piece being 1
  };
  const Case cases[] = {
      {"refused", [](EngineRig& rig) { rig.output.refuse = {3}; }, 4},
      {"header_refused", [](EngineRig& rig) { rig.output.refuse = {0}; }, 1},
      {"never_completed",
       [](EngineRig& rig) {
         rig.output.completion = ScriptedOutput::Completion::Delayed;
         rig.output.delayFor = [](std::size_t i) {
           return i == 3 ? milliseconds(100000) : milliseconds(1);
         };
       },
       4},
      {"refused_with_echo",
       [](EngineRig& rig) {
         rig.output.echo = true;
         rig.output.refuse = {6};
       },
       7},
  };
  for (const Case& c : cases) {
    EngineRig rig;
    rig.load(Plain(3000));
    c.arrange(rig);
    RunAndFinish(rig);
    ASSERT_FALSE(rig.output.pieces.empty()) << c.name;
    EXPECT_EQ(rig.output.pieces.back().bytes, Bytes{0xF7}) << c.name;
    EXPECT_EQ(rig.output.resets, 1) << c.name;
    EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed) << c.name;
    EXPECT_EQ(rig.engine.aborted.load(), 1u) << c.name;
    EXPECT_LT(rig.output.pieces.size(), 10u) << c.name;  // the stream itself stopped

    std::size_t lostAt = 0;
    for (std::size_t i = 0; i + 1 < c.lostPiece; ++i) lostAt += rig.output.pieces[i].bytes.size();
    const EchoDifference& d = rig.engine.firstDifference;
    EXPECT_EQ(d.kind, Kind::Undelivered) << c.name;
    EXPECT_EQ(d.offset, lostAt) << c.name;
    EXPECT_EQ(d.piece, c.lostPiece) << c.name;
    EXPECT_EQ(d.sent, Log(rig.image).at(lostAt)) << c.name;
    EXPECT_EQ(d.echoed, -1) << c.name;
    EXPECT_NE(DescribeDifference(d).find("Stream broken at stream byte " + std::to_string(lostAt) +
                                         " (piece " + std::to_string(c.lostPiece) + ")"),
              std::string::npos)
        << DescribeDifference(d);
  }
}

// An identify request the service cannot deliver refuses the start as no reply; no stream broke,
// so no difference is kept, even after an earlier update on the same engine.
TEST(EndByte, UndeliveredIdentifyRequestIsNoDifference) {
  EngineRig rig;
  rig.load(Plain(300));
  RunAndFinish(rig);
  ASSERT_EQ(rig.engine.firstDifference.kind, Kind::None);
  rig.output.refuse = {rig.output.pieces.size()};
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  EXPECT_EQ(rig.engine.firstDifference.kind, Kind::None);
}

}  // namespace
}  // namespace varnet::test
