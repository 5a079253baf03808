#include "engine/stream_estimate.h"

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "engine/stream_recording.h"

namespace varnet {
namespace {

struct Expected {
  std::vector<uint8_t> payload;
  uint64_t bytes;
  uint64_t sends;
  uint64_t pausingMs;
};

// The encoder's own worked examples: the bytes each send carries are listed beside each row.
TEST(EstimateStream, CountsBytesAndSendsOfTheEncoder) {
  const std::vector<Expected> cases = {
      {{0x01, 0x02, 0x03, 0x00, 0x01, 0x02, 0x03}, 3, 1, 0},              // 5B 46 70
      {{0x03, 0x03, 0x03}, 2, 1, 0},                                      // 7F 40
      {{0x01}, 1, 1, 0},                                                  // 50
      {{0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00}, 4, 3, 15020},          // 20 | 5D 20 | 70
      {{0x01, 0x02, 0x23, 0x01}, 3, 2, 40},                               // 10 00 | 74
      {{0x01, 0x02, 0x03, 0x10, 0x00}, 2, 2, 20},                         // 5B | 40
      {{0x13, 0x22, 0x31, 0x40}, 4, 3, 155},                              // 30 | 20 00 | 40
      {{0x00, 0x10, 0x10}, 3, 3, 40},                                     // 00 | 00 | 40
      {{}, 1, 1, 0},                                                      // the tail alone
      {{0x00, 0x30, 0x50, 0x60, 0x70, 0x90, 0xA0, 0xF0, 0x0C}, 4, 1, 0},  // no pause codes
  };
  for (const Expected& c : cases) {
    const StreamEstimate e = EstimateStream(c.payload, static_cast<uint32_t>(c.payload.size()));
    EXPECT_EQ(e.encodedBytes, c.bytes) << ::testing::PrintToString(c.payload);
    EXPECT_EQ(e.sends, c.sends) << ::testing::PrintToString(c.payload);
    EXPECT_EQ(e.pausingMs, c.pausingMs) << ::testing::PrintToString(c.payload);
  }
}

TEST(EstimateStream, CountsPauseCodesFromTheSecondByteOn) {
  const std::vector<uint8_t> payload = {0x80, 0x10, 0x11, 0x20, 0x40, 0x41, 0x42, 0x80, 0x30};
  const StreamEstimate e = EstimateStream(payload, static_cast<uint32_t>(payload.size()));
  EXPECT_TRUE(e.firstByteHasPauseCode);
  EXPECT_EQ(e.pauses[0].bytes, 2u);  // 0x10
  EXPECT_EQ(e.pauses[1].bytes, 1u);  // 0x20
  EXPECT_EQ(e.pauses[2].bytes, 3u);  // 0x40
  EXPECT_EQ(e.pauses[3].bytes, 1u);  // 0x80, the first byte's does not count
  EXPECT_EQ(e.pausingMs, 2 * 20u + 40u + 3 * 115u + 15000u);
}

TEST(EstimateStream, SendingTimeIsTenMillisecondsPerPieceOfThirtyTwo) {
  // 96 symbols fill 32 bytes; the tail makes 33, that is two pieces.
  const StreamEstimate a = EstimateStream(std::vector<uint8_t>(96, 0x01), 96);
  EXPECT_EQ(a.encodedBytes, 33u);
  EXPECT_EQ(a.sendingMs, 20u);
  // 93 symbols: 31 full bytes and the tail, one piece.
  const StreamEstimate b = EstimateStream(std::vector<uint8_t>(93, 0x01), 93);
  EXPECT_EQ(b.encodedBytes, 32u);
  EXPECT_EQ(b.sendingMs, 10u);
  // Each send starts a new piece: 0x10 at position 1 splits off a one-byte send.
  std::vector<uint8_t> split(93, 0x01);
  split[1] = 0x11;
  const StreamEstimate c = EstimateStream(split, 93);
  EXPECT_EQ(c.sends, 2u);
  EXPECT_EQ(c.sendingMs, 20u);
}

TEST(EstimateStream, CountsOnlyTheDeclaredLength) {
  const std::vector<uint8_t> payload = {0x01, 0x02, 0x03, 0x10, 0x10};
  const StreamEstimate e = EstimateStream(payload, 3);
  EXPECT_EQ(e.encodedBytes, 2u);
  EXPECT_EQ(e.pauses[0].bytes, 0u);
}

// The count must equal what the update's own sending path puts out: each row is a payload of
// one shape, run through RecordUpdateStream and estimated.
TEST(EstimateStream, EqualsARunOfTheSendingPath) {
  struct Shape {
    const char* name;
    uint32_t length;
    uint32_t pauseEvery;  // 0: none, or at random where `code` is not 0
    uint8_t code;
  };
  const Shape shapes[] = {
      {"one piece exactly", 93, 0, 0},
      {"one byte past a piece", 96, 0, 0},
      {"several pieces", 3 * 96 + 2, 0, 0},
      {"single endings", 301, 4, 0x10},  // four symbols before each pause
      {"double endings", 302, 5, 0x20},  // five
      {"full bytes then a pause", 303, 3, 0x40},
      {"a pause at every byte", 40, 1, 0x10},
      {"long sends between pauses", 2000, 97, 0x20},
      {"mixed, at random", 5000, 0, 0x80},
  };
  std::mt19937 random(7);
  for (const Shape& shape : shapes) {
    std::vector<uint8_t> payload(shape.length);
    for (uint32_t i = 0; i < shape.length; ++i) {
      payload[i] = static_cast<uint8_t>(random() & 0x03);
      if (shape.pauseEvery != 0 && i % shape.pauseEvery == 0) payload[i] |= shape.code;
      if (shape.pauseEvery == 0 && shape.code != 0 && random() % 9 == 0) {
        payload[i] |= static_cast<uint8_t>(0x10 << (random() % 4));  // 0x10 to 0x80
      }
    }
    const auto ms = [](Clock::Duration d) {
      return static_cast<uint64_t>(
          std::chrono::duration_cast<std::chrono::milliseconds>(d).count());
    };
    // The full rate and the slower transfer: the same bytes and pauses, the time each takes.
    std::vector<uint8_t> fullWire;
    for (const uint32_t pieceSize : {32u, kSlowPieceSize}) {
      SCOPED_TRACE(std::string(shape.name) + ", pieces of " + std::to_string(pieceSize));
      FirmwareImage image;
      image.payloadLength = shape.length;
      image.PayloadBuffer = payload;
      image.SendBuffer.assign(shape.length, 0x40);
      image.SentLog.assign(shape.length + 11, 0);
      StreamRecording recording;
      ASSERT_TRUE(RecordUpdateStream(image, recording, true, pieceSize));

      const StreamEstimate e = EstimateStream(payload, shape.length, pieceSize);
      EXPECT_EQ(e.encodedBytes, recording.streamBytes);
      EXPECT_EQ(e.sends, recording.streamSends);
      EXPECT_EQ(e.sendingMs, 10u * recording.streamPieces);
      EXPECT_EQ(e.pausingMs, ms(recording.pauseTime));
      EXPECT_EQ(e.sendingMs + e.pausingMs, ms(recording.streamTime));
      if (fullWire.empty()) {
        fullWire = recording.wire;
      } else {
        EXPECT_EQ(recording.wire, fullWire);
        const StreamEstimate full = EstimateStream(payload, shape.length);
        EXPECT_EQ(e.pausingMs, full.pausingMs);
        EXPECT_GE(e.sendingMs, full.sendingMs);
        EXPECT_LE(e.sendingMs, 2 * full.sendingMs);
      }
    }
  }
}

// Pauses after a byte count from the header's F0 (10 bytes) that is not a multiple of 3 are where
// a USB MIDI interface holds bytes back. The encoder's worked examples again, sends beside them.
TEST(EstimateStream, CountsPausesWhereUsbMidiHoldsBytesBack) {
  struct Case {
    std::vector<uint8_t> payload;
    uint64_t held;
  };
  const std::vector<Case> cases = {
      {{0x01, 0x02, 0x03}, 0},                          // no pause
      {{0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00}, 2},  // 20 | 5D 20 | 70: 11 and 13 bytes
      {{0x01, 0x02, 0x23, 0x01}, 0},                    // 10 00 | 74: 12 bytes
      {{0x01, 0x02, 0x03, 0x10, 0x00}, 1},              // 5B | 40: 11 bytes
      {{0x13, 0x22, 0x31, 0x40}, 2},                    // 30 | 20 00 | 40: 11 and 13
      {{0x00, 0x10, 0x10}, 1},                          // 00 | 00 | 40: 11, then 12
  };
  for (const Case& c : cases) {
    const StreamEstimate e = EstimateStream(c.payload, static_cast<uint32_t>(c.payload.size()));
    EXPECT_EQ(e.pausesHeldByUsb, c.held) << ::testing::PrintToString(c.payload);
  }
}

}  // namespace
}  // namespace varnet
