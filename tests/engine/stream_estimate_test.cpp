#include "engine/stream_estimate.h"

#include <gtest/gtest.h>

#include <vector>

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

}  // namespace
}  // namespace varnet
