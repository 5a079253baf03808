// The stream encoder, observed where the device would see it: the pieces on the output port, the
// virtual time between them, and the counters.
#include <random>

#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

struct Example {
  Bytes payload;
  std::string trace;
  uint32_t bytesSent;
};

class EncoderExamples : public ::testing::TestWithParam<Example> {};

TEST_P(EncoderExamples, SendsAndPausesInOrder) {
  const Example& example = GetParam();
  EngineRig rig;
  rig.load(example.payload);
  StreamPayload(rig.engine);

  EXPECT_EQ(rig.output.trace(), example.trace);
  EXPECT_EQ(rig.image.bytesSent.load(), example.bytesSent);
  EXPECT_EQ(rig.image.progressTotal.load(), example.payload.size() / 3);
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  // Every byte sent was logged, in order.
  EXPECT_EQ(Log(rig.image), rig.output.wire());
}

INSTANTIATE_TEST_SUITE_P(
    WorkedExamples, EncoderExamples,
    ::testing::Values(
        Example{{0x01, 0x02, 0x03, 0x00, 0x01, 0x02, 0x03}, "send 5B 46 70", 3},
        Example{{0x03, 0x03, 0x03}, "send 7F 40", 2}, Example{{0x01}, "send 50", 1},
        Example{{0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00},
                "send 20; pause 20; send 5D 20; pause 15000; send 70",
                4},
        Example{{0x01, 0x02, 0x23, 0x01}, "send 10 00; pause 40; send 74", 3},
        Example{{0x01, 0x02, 0x03, 0x10, 0x00}, "send 5B; pause 20; send 40", 2},
        Example{{0x13, 0x22, 0x31, 0x40}, "send 30; pause 40; send 20 00; pause 115; send 40", 4},
        // Two pause-coded bytes in a row each end a send.
        Example{{0x00, 0x10, 0x10}, "send 00; pause 20; send 00; pause 20; send 40", 3},
        // Bits 3..2 never reach the output.
        Example{{0x0D, 0x0E, 0x0F}, "send 5B 40", 2},
        // Only the four single-bit codes pause; 0x80 pauses 15 s.
        Example{{0x01, 0x31, 0x52, 0x63, 0x70, 0x91, 0xA2, 0xB3, 0xC0, 0xD1, 0xE2, 0xF3},
                "send 56 71 6C 5B 40",
                5},
        Example{{0x01, 0x82}, "send 10; pause 15000; send 60", 2},
        // A pause after a third symbol: the full byte goes unchanged.
        Example{{0x01, 0x02, 0x03, 0x41, 0x02}, "send 5B; pause 115; send 58", 2}));

TEST(Encoder, PauseTable) {
  EngineRig rig;
  rig.load({0x10, 0x20, 0x40, 0x80, 0x30, 0x50, 0x90, 0xF0, 0x00, 0x1F});
  const uint32_t expected[] = {20, 40, 115, 15000, 0, 0, 0, 0, 0, 20};
  for (uint32_t position = 0; position < 10; ++position) {
    EXPECT_EQ(PauseAt(rig.engine, position), expected[position]) << position;
  }
  EXPECT_EQ(PauseAt(rig.engine, 10), 0u);  // at and beyond the payload's end
  EXPECT_EQ(PauseAt(rig.engine, 0xFFFFFFFF), 0u);
}

TEST(Encoder, EmptyPayloadSendsTheFirstByteOfTheBufferUnchanged) {
  EngineRig rig;
  rig.load({});
  StreamPayload(rig.engine);
  EXPECT_EQ(rig.output.trace(), "send 40");  // the loader's fill
  EXPECT_EQ(rig.image.progressTotal.load(), 0u);
  EXPECT_EQ(rig.image.bytesSent.load(), 1u);

  // After the stream header, which clears its bytes, that byte is 0x00.
  EngineRig after;
  after.load({});
  SendStartUpdateHeader(after.engine);
  after.engine.SessionState = Running;
  StreamPayload(after.engine);
  ASSERT_EQ(after.output.pieces.size(), 2u);
  EXPECT_EQ(Hex(after.output.pieces[1].bytes), "00");
}

TEST(Encoder, LongSendsAreCutIntoPiecesAndTheRefillCoversWhatWasSent) {
  EngineRig rig;
  Bytes payload(300, 0x02);  // 100 full bytes of 0x6A, then a bare tail
  rig.load(payload);
  StreamPayload(rig.engine);
  ASSERT_EQ(rig.output.pieces.size(), 4u);
  EXPECT_EQ(rig.output.pieces[3].bytes.size(), 5u);
  Bytes expected(100, 0x6A);
  expected.push_back(0x40);
  EXPECT_EQ(rig.output.wire(), expected);
  EXPECT_EQ(rig.image.bytesSent.load(), 101u);
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 40);  // 10 ms per piece
}

TEST(Encoder, RefillMakesLaterEndingsClean) {
  // After a double ending the next send starts from 0x40 bytes again, so a later double ending at
  // a deeper fill position still yields 0x00 as its extra byte.
  EngineRig rig;
  rig.load({0x01, 0x02, 0x13, 0x01, 0x02, 0x03, 0x01, 0x22, 0x00});
  StreamPayload(rig.engine);
  EXPECT_EQ(rig.output.trace(), "send 10 00; pause 20; send 76 30 00; pause 40; send 60");
}

TEST(Encoder, StopDuringAPauseWaitsItOutAndStillSendsTheTail) {
  EngineRig rig;
  rig.load({0x02, 0x81, 0x03, 0x03, 0x03, 0x03});
  // A cancel one second into the 15 s pause.
  rig.clock.schedule(rig.start + milliseconds(1010), [&rig] {
    rig.engine.SessionState = Idle;
    rig.engine.aborted = 1;
  });
  StreamPayload(rig.engine);
  EXPECT_EQ(rig.output.trace(), "send 20; pause 15000; send 40");
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

TEST(Encoder, EchoDifferenceStopsAtTheNextPassAndLeavesVerifyFailed) {
  EngineRig rig;
  rig.output.echo = true;
  rig.output.echoFilter = [](std::size_t index, const Bytes& bytes) {
    Bytes back = bytes;
    if (index == 0) back[0] ^= 0x01;
    return back;
  };
  rig.load({0x01, 0x12, 0x03, 0x13, 0x01, 0x12, 0x00, 0x00, 0x00});
  rig.engine.SessionState = Running;
  StreamPayload(rig.engine);
  // First send, its echo differs; the pause runs, then the next pass stops: only the tail
  // (the byte at fill position 0, refilled to 0x40) follows.
  EXPECT_EQ(rig.output.trace(), "send 10; pause 20; send 40");
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

TEST(Encoder, CancelBeforeTheStreamBeganIsNotOverwritten) {
  EngineRig rig;
  rig.load({0x01, 0x02, 0x03, 0x01, 0x02, 0x03});
  rig.engine.SessionState = Idle;
  rig.engine.aborted = 1;
  StreamPayload(rig.engine);
  EXPECT_EQ(rig.output.trace(), "send 40");  // the tail only
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
}

TEST(Encoder, RandomPayloadsKeepTheStreamsBounds) {
  std::mt19937 random(20231);
  const uint8_t codes[] = {0x00, 0x00, 0x00, 0x00, 0x10, 0x20, 0x40, 0x30, 0xC0};
  for (int round = 0; round < 200; ++round) {
    Bytes payload(random() % 80);
    uint32_t pauses = 0;
    for (std::size_t i = 0; i < payload.size(); ++i) {
      const uint8_t code = codes[random() % std::size(codes)];
      payload[i] = static_cast<uint8_t>(code | (random() & 0x0F));
      if (i > 0 && (code == 0x10 || code == 0x20 || code == 0x40)) ++pauses;
    }
    EngineRig rig;
    rig.load(payload);
    StreamPayload(rig.engine);
    const Bytes wire = rig.output.wire();
    SCOPED_TRACE(Hex(payload));
    // Never more bytes than the payload (one for an empty payload): SentLog is sized on it.
    EXPECT_LE(wire.size(), std::max<std::size_t>(payload.size(), 1));
    EXPECT_EQ(rig.image.bytesSent.load(), wire.size());
    for (uint8_t byte : wire) EXPECT_LT(byte, 0x80);
    // One send per pause-coded byte at positions 1 and up, plus the tail.
    std::size_t sends = 0;
    for (std::size_t at = 0; (at = rig.output.trace().find("send", at)) != std::string::npos;
         ++at) {
      ++sends;
    }
    EXPECT_EQ(sends, pauses + 1);
    // The tail has bit 6 set and its lowest slot empty.
    ASSERT_FALSE(wire.empty());
    EXPECT_EQ(wire.back() & 0x43, 0x40);
  }
}

}  // namespace
}  // namespace varnet::test
