// The recording run behind varnet-flash export and inspect's stream figures.
#include "engine/stream_recording.h"

#include "engine/stream_estimate.h"
#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

const Bytes kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

TEST(RecordUpdateStream, WorkedExampleOnTheWireAndInTime) {
  FirmwareImage image;
  image.payloadLength = 7;
  image.PayloadBuffer = {0x02, 0x11, 0x03, 0x01, 0x02, 0x83, 0x00};
  image.SendBuffer.assign(16, 0x40);
  image.SentLog.assign(24, 0);
  StreamRecording recording;
  ASSERT_TRUE(RecordUpdateStream(image, recording)) << recording.problem;

  Bytes expected = kHeader;
  for (uint8_t b : {0x20, 0x5D, 0x20, 0x70, 0xF7}) expected.push_back(b);
  EXPECT_EQ(recording.wire, expected);
  EXPECT_EQ(recording.headerBytes, 10u);
  EXPECT_EQ(recording.streamBytes, 4u);
  EXPECT_EQ(recording.endBytes, 1u);
  EXPECT_EQ(recording.streamPieces, 3u);
  EXPECT_EQ(recording.streamSends, 3u);
  EXPECT_EQ(Ms(recording.pauseTime), 15020);
  EXPECT_EQ(Ms(recording.streamTime), 15050);                  // three pieces and the two pauses
  EXPECT_EQ(Ms(recording.updateTime), 10 + 100 + 15050 + 10);  // header, its wait, stream, end
}

TEST(RecordUpdateStream, InspectFiguresComeFromTheSameRun) {
  Bytes payload(3000);
  for (std::size_t i = 0; i < payload.size(); ++i) {
    payload[i] = static_cast<uint8_t>(i % 4 | (i % 211 == 7 ? 0x20 : 0) | (i == 1000 ? 0x40 : 0));
  }
  FirmwareImage image;
  image.payloadLength = uint32_t(payload.size());
  image.PayloadBuffer = payload;
  image.SendBuffer.assign(payload.size(), 0x40);
  image.SentLog.assign(payload.size() + 11, 0);
  StreamRecording recording;
  ASSERT_TRUE(RecordUpdateStream(image, recording));

  const StreamEstimate estimate = EstimateStream(payload, uint32_t(payload.size()));
  EXPECT_EQ(estimate.encodedBytes, recording.streamBytes);
  EXPECT_EQ(recording.wire.size(), 10 + recording.streamBytes + 1);
  EXPECT_EQ(estimate.sends, recording.streamSends);
  EXPECT_EQ(estimate.sendingMs, 10u * recording.streamPieces);
  EXPECT_EQ(estimate.pausingMs, 15u * 40 + 115);  // 0x20 at 7, 218, ..., 2961; 0x40 at 1000
  EXPECT_EQ(estimate.sendingMs + estimate.pausingMs, uint64_t(Ms(recording.streamTime)));
}

}  // namespace
}  // namespace varnet::test
