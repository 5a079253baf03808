// The converter's decoding of the update stream: the worked examples of the encoder, and what the
// device can and cannot tell from the bytes and their timing.
#include <gtest/gtest.h>

#include <vector>

#include "sim/converter.h"

namespace varnet::sim {
namespace {

using std::chrono::milliseconds;

const std::vector<uint8_t> kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

// One SendBytes call as the device sees it: its bytes, then the pause the encoder slept after it.
struct Send {
  std::vector<uint8_t> bytes;
  uint32_t pauseAfterMs = 0;
};

// Plays the header, the sends (32-byte pieces 10 ms apart, then the pause) and F7 into the device
// and returns its decode.
StreamDecode Play(const std::vector<Send>& sends, SimulatedConverter& device) {
  TimePoint t{};
  device.receive(kHeader.data(), kHeader.size(), t);
  t += milliseconds(110);
  for (const Send& send : sends) {
    for (std::size_t at = 0; at < send.bytes.size(); at += 32) {
      const std::size_t n = std::min<std::size_t>(32, send.bytes.size() - at);
      device.receive(send.bytes.data() + at, n, t, std::chrono::microseconds(320));
      t += milliseconds(10);
    }
    t += milliseconds(send.pauseAfterMs);
  }
  t += milliseconds(200);
  const uint8_t end = 0xF7;
  device.receive(&end, 1, t);
  return device.decoded();
}

StreamDecode Play(const std::vector<Send>& sends) {
  SimulatedConverter device;
  return Play(sends, device);
}

struct Example {
  std::vector<uint8_t> payload;
  std::vector<Send> sends;
};

// The encoder's table of worked examples: payload bytes and what goes out.
const std::vector<Example> kExamples = {
    {{0x01, 0x02, 0x03, 0x00, 0x01, 0x02, 0x03}, {{{0x5B, 0x46, 0x70}}}},
    {{0x03, 0x03, 0x03}, {{{0x7F, 0x40}}}},
    {{0x01}, {{{0x50}}}},
    {{0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00}, {{{0x20}, 20}, {{0x5D, 0x20}, 15000}, {{0x70}}}},
    {{0x01, 0x02, 0x23, 0x01}, {{{0x10, 0x00}, 40}, {{0x74}}}},
    {{0x01, 0x02, 0x03, 0x10, 0x00}, {{{0x5B}, 20}, {{0x40}}}},
    {{0x13, 0x22, 0x31, 0x40}, {{{0x30}, 40}, {{0x20, 0x00}, 115}, {{0x40}}}},
    {{0x00, 0x10, 0x10}, {{{0x00}, 20}, {{0x00}, 20}, {{0x40}}}},
};

TEST(StreamDecode, WorkedExamplesDecodeToWhatTheirPayloadsHold) {
  for (std::size_t i = 0; i < kExamples.size(); ++i) {
    SCOPED_TRACE("example " + std::to_string(i));
    const StreamDecode decoded = Play(kExamples[i].sends);
    EXPECT_TRUE(decoded.violations.empty()) << decoded.violations.front();
    EXPECT_EQ(CompareStream(ExpectStream(kExamples[i].payload), decoded), "");
  }
}

TEST(StreamDecode, TheFourthExampleInDetail) {
  const StreamDecode d = Play(kExamples[3].sends);
  // 2 | pause | 1 3 1 | 2 | pause | tail 0x70 (symbols 3, 0)
  EXPECT_EQ(d.symbols, (std::vector<int8_t>{2, 1, 3, 1, 2}));
  ASSERT_EQ(d.pauses.size(), 2u);
  EXPECT_EQ(d.pauses[0].symbolIndex, 1u);
  EXPECT_TRUE(d.pauses[0].inferred);
  EXPECT_GE(d.pauses[0].gap, milliseconds(20));
  EXPECT_EQ(d.pauses[1].symbolIndex, 5u);
  EXPECT_GE(d.pauses[1].gap, milliseconds(15000));
  EXPECT_EQ(d.tailByte, 0x70);
  EXPECT_EQ(d.bodyBytes, 4u);
}

TEST(StreamDecode, TheDoubleEndingLosesItsSecondSymbol) {
  const StreamDecode d = Play(kExamples[4].sends);
  EXPECT_EQ(d.symbols, (std::vector<int8_t>{1, -1}));
  const ExpectedStream e = ExpectStream(kExamples[4].payload);
  EXPECT_EQ(e.symbols, (std::vector<int8_t>{1, -1}));
  EXPECT_EQ(e.tailByte, 0x74);
}

TEST(StreamDecode, TwoSingleEndingsAreToldFromADoubleEndingByTheGap) {
  // 00 [pause] 00 [pause] 40: the second 0x00 comes after a pause, so it opens a new send.
  const StreamDecode d = Play(kExamples[7].sends);
  EXPECT_EQ(d.symbols, (std::vector<int8_t>{0, 0}));
  EXPECT_EQ(d.pauses.size(), 2u);
}

TEST(StreamDecode, ADoubleEndingSplitOverTwoPiecesStaysADoubleEnding) {
  std::vector<uint8_t> body(31, 0x55);
  body.push_back(0x20);  // the 32nd byte: a partial ending
  body.push_back(0x00);  // its extra byte goes out 10 ms later in the next piece
  const StreamDecode d = Play({{body, 40}, {{0x40}}});
  EXPECT_TRUE(d.violations.empty());
  ASSERT_EQ(d.symbols.size(), 31u * 3 + 2);
  EXPECT_EQ(d.symbols[93], 2);
  EXPECT_EQ(d.symbols[94], -1);
  ASSERT_EQ(d.pauses.size(), 1u);
  EXPECT_EQ(d.pauses[0].symbolIndex, 95u);
}

TEST(StreamDecode, APauseAfterAFullByteIsKnownOnlyByItsGap) {
  // Payload 01 02 03 10 00 sends 5B, pauses 20 ms, sends 40.
  const StreamDecode d = Play(kExamples[5].sends);
  ASSERT_EQ(d.pauses.size(), 1u);
  EXPECT_FALSE(d.pauses[0].inferred);
  EXPECT_EQ(d.pauses[0].symbolIndex, 3u);

  // Without the pause the bytes are the same and the device cannot tell.
  const StreamDecode hurried = Play({{{0x5B, 0x40}}});
  EXPECT_TRUE(hurried.pauses.empty());
  EXPECT_NE(CompareStream(ExpectStream(kExamples[5].payload), hurried), "");
}

TEST(StreamDecode, APartialEndingWithoutItsPauseIsAViolation) {
  // The ending 0x20 and the next send arrive in one piece: no pause ran.
  const StreamDecode d = Play({{{0x20, 0x5D, 0x20}, 15000}, {{0x70}}});
  ASSERT_FALSE(d.violations.empty());
  EXPECT_NE(d.violations.front().find("partial ending"), std::string::npos);
  EXPECT_NE(CompareStream(ExpectStream(kExamples[3].payload), d), "");
}

TEST(StreamDecode, APauseShorterThanThePayloadAskedForIsReported) {
  // Example 5 asks for 40 ms after "10 00"; only 20 ms are slept (a 30 ms gap on the wire).
  const StreamDecode d = Play({{{0x10, 0x00}, 20}, {{0x74}}});
  EXPECT_TRUE(d.violations.empty());  // the device cannot know the length...
  const std::string difference = CompareStream(ExpectStream(kExamples[4].payload), d);
  EXPECT_NE(difference.find("lasted"), std::string::npos) << difference;  // ...the test can
}

TEST(StreamDecode, ADifferentSymbolIsFound) {
  const StreamDecode d = Play({{{0x5B, 0x47, 0x70}}});  // last symbol of the second byte wrong
  EXPECT_EQ(CompareStream(ExpectStream(kExamples[0].payload), d), "symbol 5 is 3, expected 2");
}

TEST(StreamDecode, ImpossibleFormsAndStatusBytesAreViolations) {
  EXPECT_FALSE(Play({{{0x05, 0x40}}}).violations.empty());
  SimulatedConverter device;
  device.receive(kHeader.data(), kHeader.size(), TimePoint{});
  const std::vector<uint8_t> broken = {0x55, 0x90, 0x40};
  device.receive(broken.data(), broken.size(), TimePoint{} + milliseconds(200));
  const StreamDecode d = device.decoded();
  EXPECT_TRUE(d.ended);
  EXPECT_FALSE(d.violations.empty());
}

TEST(StreamDecode, AStreamThatNeverEndsIsNotComplete) {
  SimulatedConverter device;
  device.receive(kHeader.data(), kHeader.size(), TimePoint{});
  const uint8_t b = 0x55;
  device.receive(&b, 1, TimePoint{} + milliseconds(110));
  EXPECT_FALSE(device.decoded().ended);
  EXPECT_EQ(CompareStream(ExpectStream(std::vector<uint8_t>{1, 1, 1}), device.decoded()),
            "the stream was not closed with F7");
}

TEST(ExpectStream, TailsAndEndings) {
  EXPECT_EQ(ExpectStream(std::vector<uint8_t>{0x03, 0x03, 0x03}).tailByte, 0x40);
  EXPECT_EQ(ExpectStream(std::vector<uint8_t>{0x01}).tailByte, 0x50);
  EXPECT_EQ(ExpectStream(std::vector<uint8_t>{0x01, 0x02}).tailByte, 0x58);
  EXPECT_FALSE(ExpectStream(std::vector<uint8_t>{}).tailByte.has_value());
  // Pause codes that call for no pause, and the first byte's code, are ignored.
  const ExpectedStream e = ExpectStream(std::vector<uint8_t>{0x80, 0x31, 0x52, 0xF3, 0x90});
  EXPECT_TRUE(e.pauses.empty());
  // Bits 3..2 never matter.
  EXPECT_EQ(ExpectStream(std::vector<uint8_t>{0x0D}).tailByte, 0x50);
}

}  // namespace
}  // namespace varnet::sim
