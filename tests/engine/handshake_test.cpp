// The identification handshake and the stream's framing messages, with the device's reply
// arriving in the capture frames at a chosen virtual time.
#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

constexpr const char* kNoResponse = "No response received! Please check connection or device type!";
constexpr const char* kWrongDevice = "Wrong device ID!";
constexpr const char* kMismatch =
    "Firmware mismatch! Wrong firmware file for current device type. Please check whether you "
    "want to update an Ixar AD or an Ixar DA.";

const Bytes kRequest = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x10, 0xF7};

Bytes Reply(uint8_t kindByte, uint8_t deviceId = 0x32, uint8_t code = 0x30) {
  return {0xF0, 0x00, 0x20, 0x0D, deviceId, 0x7F, code, 0x01, 0x02, 0x03, kindByte, 0x00, 0xF7};
}

struct HandshakeRig : EngineRig {
  explicit HandshakeRig(uint8_t kind = kKindDA) { load(Bytes(64, 0x01), kind); }
  // A block completed by the input port `atMs` after the request went out.
  void arrive(Bytes block, int atMs) {
    clock.schedule(start + milliseconds(atMs),
                   [this, block] { StageInputBlock(midi, block.data(), uint32_t(block.size())); });
  }
  void expectOneBox(const std::string& text) {
    ASSERT_EQ(prompts.boxes.size(), 1u);
    const BoxRequest& box = prompts.boxes[0];
    EXPECT_EQ(box.text, text);
    EXPECT_EQ(box.caption, "Error!");
    EXPECT_EQ(box.icon, BoxIcon::Error);
    EXPECT_EQ(box.buttons, BoxButtons::Ok);
    EXPECT_EQ(box.owner, nullptr);
  }
};

TEST(IdentifyDevice, PassSendsTheRequestAndLeavesCleanFrames) {
  HandshakeRig rig;
  rig.arrive(Reply(0x03), 120);
  EXPECT_EQ(IdentifyDevice(rig.engine), 1);

  EXPECT_TRUE(rig.prompts.boxes.empty());
  ASSERT_EQ(rig.output.pieces.size(), 1u);
  EXPECT_EQ(rig.output.pieces[0].bytes, kRequest);
  EXPECT_EQ(Log(rig.image), kRequest);
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 510);  // the sender's 10 ms, then 500 ms
  for (int i = 0; i < 8; ++i) EXPECT_EQ(rig.image.SendBuffer[i], 0) << i;
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  const MidiPorts& ports = rig.midi.ports;
  EXPECT_EQ(ports.frameALength, 0);
  EXPECT_EQ(ports.frameBLength, 0);
  for (uint8_t b : ports.frameA) ASSERT_EQ(b, 0);
  for (uint8_t b : ports.frameB) ASSERT_EQ(b, 0);
}

TEST(IdentifyDevice, RequestCarriesTheDeviceId) {
  HandshakeRig rig;
  rig.engine.DeviceId = 0x42;
  IdentifyDevice(rig.engine);
  EXPECT_EQ(rig.output.pieces.at(0).bytes[4], 0x42);
}

struct KindCase {
  uint8_t firmwareKind;
  uint8_t replyByte10;
  bool passes;
};

class IdentifyKinds : public ::testing::TestWithParam<KindCase> {};

TEST_P(IdentifyKinds, KindComesFromBitZeroOfByteTen) {
  const KindCase& c = GetParam();
  HandshakeRig rig(c.firmwareKind);
  rig.arrive(Reply(c.replyByte10), 50);
  EXPECT_EQ(IdentifyDevice(rig.engine), c.passes ? 1 : 0);
  if (c.passes) {
    EXPECT_TRUE(rig.prompts.boxes.empty());
    EXPECT_EQ(rig.engine.aborted.load(), 0u);
  } else {
    rig.expectOneBox(kMismatch);
    EXPECT_EQ(rig.engine.SessionState.load(), Idle);
    EXPECT_EQ(rig.engine.aborted.load(), 1u);
    EXPECT_EQ(rig.midi.ports.frameALength, 13);  // left as fetched
  }
}

INSTANTIATE_TEST_SUITE_P(
    Kinds, IdentifyKinds,
    ::testing::Values(KindCase{kKindDA, 0x03, true}, KindCase{kKindAD, 0x02, true},
                      KindCase{kKindAD, 0xFE, true}, KindCase{kKindDA, 0x01, true},
                      KindCase{kKindDA, 0x02, false}, KindCase{kKindAD, 0x03, false},
                      KindCase{0x00, 0x02, false}, KindCase{0x00, 0x03, false},
                      KindCase{0xAB, 0x02, false}));

TEST(IdentifyDevice, ReplyBehindAnEightByteBlockIsTakenFromFrameB) {
  HandshakeRig rig;
  rig.arrive(kRequest, 5);  // e.g. the request looped back
  rig.arrive(Reply(0x03), 40);
  EXPECT_EQ(IdentifyDevice(rig.engine), 1);
  EXPECT_TRUE(rig.prompts.boxes.empty());
}

// More than two blocks before the look: they are handed over in the order they came, so the
// block right after the echo is read as the reply, whatever came behind it.
struct LaterBlocksCase {
  std::vector<Bytes> blocks;  // 20 ms apart, after the echo
  const char* box;            // nullptr: identified
};

class IdentifyWithLaterBlocks : public ::testing::TestWithParam<LaterBlocksCase> {};

TEST_P(IdentifyWithLaterBlocks, TheBlockAfterTheEchoDecides) {
  HandshakeRig rig;
  rig.arrive(kRequest, 5);
  int at = 40;
  for (const Bytes& block : GetParam().blocks) {
    rig.arrive(block, at);
    at += 20;
  }
  const char* box = GetParam().box;
  EXPECT_EQ(IdentifyDevice(rig.engine), box == nullptr ? 1 : 0);
  if (box == nullptr) {
    EXPECT_TRUE(rig.prompts.boxes.empty());
  } else {
    rig.expectOneBox(box);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Order, IdentifyWithLaterBlocks,
    ::testing::Values(LaterBlocksCase{{Reply(0x03), Bytes{0xF0, 0x01, 0xF7}}, nullptr},
                      LaterBlocksCase{{Reply(0x03), Reply(0x02), Bytes(20, 0x05)}, nullptr},
                      LaterBlocksCase{{Bytes{0xF0, 0x01, 0xF7}, Reply(0x03)}, kWrongDevice},
                      LaterBlocksCase{{Reply(0x02), Reply(0x03)}, kMismatch}));

TEST(IdentifyDevice, NineByteBlockInFrameAIsTheReplyWhateverFrameBHolds) {
  HandshakeRig rig;
  rig.engine.SessionState = VerifyFailed;  // to see that "wrong device" leaves the state alone
  Bytes nine = kRequest;
  nine.push_back(0x00);
  rig.arrive(nine, 5);
  rig.arrive(Reply(0x03), 40);
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  rig.expectOneBox(kWrongDevice);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
  EXPECT_EQ(rig.engine.aborted.load(), 0u);
  EXPECT_EQ(rig.midi.ports.frameALength, 9);
  EXPECT_EQ(rig.midi.ports.frameBLength, 13);
}

TEST(IdentifyDevice, NoReplyCases) {
  for (int aLength : {0, 1, 8}) {
    HandshakeRig rig;
    if (aLength > 0) rig.arrive(Bytes(kRequest.begin(), kRequest.begin() + aLength), 5);
    EXPECT_EQ(IdentifyDevice(rig.engine), 0) << aLength;
    rig.expectOneBox(kNoResponse);
    EXPECT_EQ(rig.engine.SessionState.load(), Idle);
    EXPECT_EQ(rig.engine.aborted.load(), 1u);
  }
}

TEST(IdentifyDevice, ReplyAfterTheWaitIsNoReply) {
  HandshakeRig rig;
  rig.arrive(Reply(0x03), 520);
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  rig.expectOneBox(kNoResponse);

  // Just in time still counts.
  HandshakeRig onTime;
  onTime.arrive(Reply(0x03), 510);
  EXPECT_EQ(IdentifyDevice(onTime.engine), 1);
}

TEST(IdentifyDevice, ShortRepliesReadMissingBytesAsZero) {
  // Replies in frameB behind the request's echo. Up to byte 6 only: byte 10 reads 0, so AD.
  HandshakeRig seven(kKindAD);
  seven.arrive(Bytes(kRequest.begin(), kRequest.begin() + 8), 5);
  seven.arrive(Bytes{0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x30}, 30);
  EXPECT_EQ(IdentifyDevice(seven.engine), 1);

  // Six bytes: byte 6 reads 0.
  HandshakeRig six(kKindAD);
  six.arrive(Bytes(kRequest.begin(), kRequest.begin() + 8), 5);
  six.arrive(Bytes{0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F}, 30);
  EXPECT_EQ(IdentifyDevice(six.engine), 0);
  six.expectOneBox(kWrongDevice);
  EXPECT_EQ(six.engine.aborted.load(), 0u);
}

TEST(IdentifyDevice, StaleBytesBeyondAShortReplyAreNotRead) {
  // A frame keeps bytes of an earlier, longer block beyond a new length; byte 10 of a 7-byte
  // reply must still read as 0.
  HandshakeRig rig(kKindAD);
  rig.midi.ports.frameB.fill(0x01);
  rig.arrive(Bytes(8, 0x00), 5);
  rig.arrive(Bytes{0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x30}, 30);
  EXPECT_EQ(IdentifyDevice(rig.engine), 1);
}

TEST(IdentifyDevice, OnlyTheFirstFailingCheckIsReported) {
  HandshakeRig rig(kKindAD);
  rig.arrive(Reply(0x03, 0x33), 30);  // wrong ID and the wrong kind
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  rig.expectOneBox(kWrongDevice);
}

TEST(IdentifyDevice, WrongReplyCodeIsAWrongDevice) {
  HandshakeRig rig;
  rig.arrive(Reply(0x03, 0x32, 0x31), 30);
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  rig.expectOneBox(kWrongDevice);
}

TEST(StreamFraming, HeaderGoesOutAndIsFollowedByAHundredMilliseconds) {
  EngineRig rig;
  rig.load(Bytes(64, 0x01));
  SendStartUpdateHeader(rig.engine);
  ASSERT_EQ(rig.output.pieces.size(), 1u);
  EXPECT_EQ(rig.output.pieces[0].bytes,
            (Bytes{0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11}));
  // The header's own 10 ms are waited for; the 100 ms after it are the body's to wait for (the
  // first piece may leave no earlier), not the thread's that sent the header.
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 10);
  EXPECT_EQ(Ms(rig.engine.nextPieceAt - rig.start), 110);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(rig.image.SendBuffer[i], 0) << i;
  EXPECT_EQ(rig.image.SendBuffer[10], 0x40);  // only the header's bytes are cleared
  EXPECT_EQ(Log(rig.image), rig.output.pieces[0].bytes);
}

TEST(StreamFraming, EndByteIsOnePieceAndStaysInTheBuffer) {
  EngineRig rig;
  rig.load(Bytes(64, 0x01));
  SendEndOfExclusive(rig.engine);
  ASSERT_EQ(rig.output.pieces.size(), 1u);
  EXPECT_EQ(rig.output.pieces[0].bytes, Bytes{0xF7});
  EXPECT_EQ(rig.image.SendBuffer[0], 0xF7);
  EXPECT_EQ(Ms(rig.clock.now() - rig.start), 10);
}

TEST(StreamFraming, MessagesNeverWritePastASmallSendBuffer) {
  EngineRig rig;
  rig.load(Bytes(64, 0x01));
  rig.image.SendBuffer.assign(3, 0x40);
  SendStartUpdateHeader(rig.engine);
  EXPECT_EQ(rig.output.pieces.at(0).bytes.size(), 10u);
  EXPECT_EQ(rig.output.pieces[0].bytes[9], 0x11);
  EXPECT_GE(rig.image.SendBuffer.size(), 10u);
}

}  // namespace
}  // namespace varnet::test

namespace varnet::test {
namespace {

// A port that takes the request but never reports it sent: even if the device answers, the
// start must be refused as unanswered, because nothing more can go out on that port.
TEST(IdentifyDevice, UndeliveredRequestIsRefusedEvenIfAReplyArrives) {
  HandshakeRig rig;
  rig.output.completion = ScriptedOutput::Completion::Never;
  rig.arrive(Reply(0x03), 120);
  EXPECT_EQ(IdentifyDevice(rig.engine), 0);
  rig.expectOneBox(kNoResponse);
  EXPECT_EQ(rig.engine.SessionState.load(), Idle);
  EXPECT_EQ(rig.engine.aborted.load(), 1u);
}

}  // namespace
}  // namespace varnet::test
