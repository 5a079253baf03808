#include "midi/input_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace varnet {
namespace {

struct Returned {
  MidiHeader* header;
  std::vector<uint8_t> bytes;
};

// A port user: records what comes back and can queue buffers again from inside the callback,
// as the port layer does.
struct Recorder {
  InputBufferQueue queue;
  std::vector<Returned> returned;
  std::vector<uintptr_t> shortMessages;
  bool requeue = false;

  static void Callback(MidiHandle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
    auto* self = reinterpret_cast<Recorder*>(instance);
    if (message == MIM_DATA) {
      self->shortMessages.push_back(param1);
      return;
    }
    ASSERT_EQ(message, static_cast<uint32_t>(MIM_LONGDATA));
    auto* header = reinterpret_cast<MidiHeader*>(param1);
    self->returned.push_back({header, {header->data, header->data + header->bytesRecorded}});
    if (self->requeue) self->queue.addBuffer(header);
  }

  Recorder() {
    queue.open(1, &Callback, reinterpret_cast<uintptr_t>(this));
    queue.start();
  }
  void feed(std::vector<uint8_t> bytes) { queue.feed(bytes.data(), bytes.size()); }
};

struct Buffer {
  std::array<uint8_t, 128> data{};
  MidiHeader header{data.data(), 128, 0, MHDR_PREPARED};
};

std::vector<uint8_t> Sysex(std::size_t dataBytes, uint8_t first = 0) {
  std::vector<uint8_t> bytes{0xF0};
  for (std::size_t i = 0; i < dataBytes; ++i) bytes.push_back((first + i) & 0x7F);
  bytes.push_back(0xF7);
  return bytes;
}

TEST(InputBufferQueue, ReturnsABufferWhenTheSysexEnds) {
  Recorder r;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.feed({0xF0, 0x00, 0x20, 0x0D, 0xF7});
  ASSERT_EQ(r.returned.size(), 1u);
  EXPECT_EQ(r.returned[0].header, &a.header);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x00, 0x20, 0x0D, 0xF7}));
  EXPECT_EQ(a.header.flags & (MHDR_DONE | MHDR_INQUEUE), static_cast<uint32_t>(MHDR_DONE));
  EXPECT_EQ(r.queue.queuedCount(), 1u);
}

TEST(InputBufferQueue, SplitsALongSysexAt128ByteBoundaries) {
  Recorder r;
  Buffer bufs[3];
  for (Buffer& b : bufs) r.queue.addBuffer(&b.header);
  const std::vector<uint8_t> message = Sysex(298);  // 300 bytes with F0 and F7
  r.feed(message);
  ASSERT_EQ(r.returned.size(), 3u);
  EXPECT_EQ(r.returned[0].bytes.size(), 128u);
  EXPECT_EQ(r.returned[1].bytes.size(), 128u);
  EXPECT_EQ(r.returned[2].bytes.size(), 44u);
  std::vector<uint8_t> joined;
  for (const Returned& ret : r.returned)
    joined.insert(joined.end(), ret.bytes.begin(), ret.bytes.end());
  EXPECT_EQ(joined, message);
}

TEST(InputBufferQueue, AnF7AfterAFullBufferCompletesTheNextBufferAlone) {
  Recorder r;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.feed(Sysex(127));  // F0 + 127 data fill the first buffer exactly
  ASSERT_EQ(r.returned.size(), 2u);
  EXPECT_EQ(r.returned[0].bytes.size(), 128u);
  EXPECT_EQ(r.returned[1].bytes, std::vector<uint8_t>{0xF7});
}

TEST(InputBufferQueue, ABufferQueuedAgainFromTheCallbackTakesTheNextBytes) {
  Recorder r;
  r.requeue = true;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  const std::vector<uint8_t> message = Sysex(1000);
  r.feed(message);  // one feed call far longer than both buffers together
  std::vector<uint8_t> joined;
  for (const Returned& ret : r.returned)
    joined.insert(joined.end(), ret.bytes.begin(), ret.bytes.end());
  EXPECT_EQ(joined, message);
  EXPECT_EQ(r.queue.droppedBytes(), 0u);
  EXPECT_EQ(r.returned[0].header, &a.header);
  EXPECT_EQ(r.returned[1].header, &b.header);
  EXPECT_EQ(r.returned[2].header, &a.header);
}

TEST(InputBufferQueue, ShortMessagesAndRealTimeBytesNeverReachTheBuffers) {
  Recorder r;
  Buffer a;
  r.queue.addBuffer(&a.header);
  // Note on, running-status note on, clock inside the SysEx, active sensing, program change.
  r.feed({0x90, 0x40, 0x7F, 0x41, 0x00, 0xF0, 0x01, 0xF8, 0x02, 0xFE, 0x03, 0xF7, 0xC5, 0x07});
  ASSERT_EQ(r.returned.size(), 1u);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02, 0x03, 0xF7}));
  EXPECT_EQ(r.shortMessages, (std::vector<uintptr_t>{0x7F4090, 0x004190, 0xF8, 0xFE, 0x07C5}));
}

TEST(InputBufferQueue, DataBytesWithoutAStatusAreIgnored) {
  Recorder r;
  Buffer a;
  r.queue.addBuffer(&a.header);
  r.feed({0x12, 0x34, 0xF7, 0xF0, 0x05, 0xF7});
  ASSERT_EQ(r.returned.size(), 1u);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x05, 0xF7}));
  EXPECT_TRUE(r.shortMessages.empty());
}

TEST(InputBufferQueue, AStatusByteEndsAnUnterminatedSysex) {
  Recorder r;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.feed({0xF0, 0x01, 0x02, 0x80, 0x40, 0x00, 0x03});
  ASSERT_EQ(r.returned.size(), 1u);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x01, 0x02}));
  EXPECT_EQ(r.shortMessages, std::vector<uintptr_t>{0x004080});
  EXPECT_EQ(r.queue.queuedCount(), 1u);  // the 0x03 after the note off went nowhere
}

TEST(InputBufferQueue, ResetReturnsEveryQueuedBufferWithWhatItHolds) {
  Recorder r;
  Buffer a, b, c;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.queue.addBuffer(&c.header);
  std::vector<uint8_t> part = Sysex(140);
  part.pop_back();  // no F7: the message is still arriving
  r.feed(part);     // 141 bytes: a full, 13 in b
  ASSERT_EQ(r.returned.size(), 1u);
  r.queue.reset();
  ASSERT_EQ(r.returned.size(), 3u);
  EXPECT_EQ(r.returned[1].header, &b.header);
  EXPECT_EQ(r.returned[1].bytes.size(), 13u);
  EXPECT_EQ(r.returned[2].header, &c.header);
  EXPECT_EQ(r.returned[2].bytes.size(), 0u);
  EXPECT_EQ(r.queue.queuedCount(), 0u);
  // The reset stopped input: nothing is taken until the next start.
  r.queue.addBuffer(&a.header);
  r.feed(Sysex(3));
  EXPECT_EQ(r.returned.size(), 3u);
  r.queue.start();
  r.feed({0x05, 0xF7, 0xF0, 0x06, 0xF7});  // the old message's rest is not taken for a new one
  ASSERT_EQ(r.returned.size(), 4u);
  EXPECT_EQ(r.returned[3].bytes, (std::vector<uint8_t>{0xF0, 0x06, 0xF7}));
}

TEST(InputBufferQueue, StopReturnsOnlyThePartlyFilledBuffer) {
  Recorder r;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.feed({0xF0, 0x01});
  r.queue.stop();
  ASSERT_EQ(r.returned.size(), 1u);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x01}));
  EXPECT_TRUE(r.queue.isQueued(&b.header));
}

TEST(InputBufferQueue, FlushPartialReturnsTheBufferAndTheMessageGoesOn) {
  Recorder r;
  Buffer a, b;
  r.queue.addBuffer(&a.header);
  r.queue.addBuffer(&b.header);
  r.feed({0xF0, 0x01});
  r.queue.flushPartial();
  r.feed({0x02, 0xF7});
  ASSERT_EQ(r.returned.size(), 2u);
  EXPECT_EQ(r.returned[0].bytes, (std::vector<uint8_t>{0xF0, 0x01}));
  EXPECT_EQ(r.returned[1].bytes, (std::vector<uint8_t>{0x02, 0xF7}));
}

TEST(InputBufferQueue, SysexBytesWithNoBufferQueuedAreCountedAsLost) {
  Recorder r;
  r.feed(Sysex(3));
  EXPECT_EQ(r.queue.droppedBytes(), 5u);
  EXPECT_TRUE(r.returned.empty());
}

TEST(InputBufferQueue, AddBufferRefusesUnpreparedTwiceQueuedAndEmptyHeaders) {
  InputBufferQueue q;
  Buffer a;
  a.header.flags = 0;
  EXPECT_EQ(q.addBuffer(&a.header), static_cast<uint32_t>(MIDIERR_UNPREPARED));
  a.header.flags = MHDR_PREPARED;
  EXPECT_EQ(q.addBuffer(&a.header), static_cast<uint32_t>(MMSYSERR_NOERROR));
  EXPECT_EQ(q.addBuffer(&a.header), static_cast<uint32_t>(MIDIERR_STILLPLAYING));
  MidiHeader empty{};
  empty.flags = MHDR_PREPARED;
  EXPECT_EQ(q.addBuffer(&empty), static_cast<uint32_t>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(q.queuedCount(), 1u);
}

TEST(InputBufferQueue, AQueuedBufferCanBeNeitherPreparedNorUnprepared) {
  InputBufferQueue q;
  Buffer a;
  MidiHeader noData{};
  EXPECT_EQ(q.prepare(&noData), static_cast<uint32_t>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(q.prepare(nullptr), static_cast<uint32_t>(MMSYSERR_INVALPARAM));
  EXPECT_EQ(q.unprepare(nullptr), static_cast<uint32_t>(MMSYSERR_INVALPARAM));
  ASSERT_EQ(q.addBuffer(&a.header), static_cast<uint32_t>(MMSYSERR_NOERROR));
  EXPECT_EQ(q.prepare(&a.header), static_cast<uint32_t>(MIDIERR_STILLPLAYING));
  EXPECT_EQ(q.unprepare(&a.header), static_cast<uint32_t>(MIDIERR_STILLPLAYING));
  q.reset();
  EXPECT_EQ(q.unprepare(&a.header), static_cast<uint32_t>(MMSYSERR_NOERROR));
  EXPECT_EQ(a.header.flags & MHDR_PREPARED, 0u);
  EXPECT_EQ(q.addBuffer(&a.header), static_cast<uint32_t>(MIDIERR_UNPREPARED));
}

TEST(InputBufferQueue, InputBeforeStartIsDropped) {
  InputBufferQueue q;
  Buffer a;
  q.addBuffer(&a.header);
  const std::vector<uint8_t> message = Sysex(2);
  q.feed(message.data(), message.size());
  EXPECT_EQ(a.header.bytesRecorded, 0u);
  EXPECT_TRUE(q.isQueued(&a.header));
}

}  // namespace
}  // namespace varnet
