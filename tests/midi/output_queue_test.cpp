#include "midi/output_queue.h"

#include <gtest/gtest.h>

#include <array>
#include <vector>

namespace varnet {
namespace {

// A port user that records the headers that come back, with their flags at that moment.
struct Recorder {
  OutputMessageQueue queue;
  std::vector<MidiHeader*> returned;
  std::vector<uint32_t> flagsSeen;

  static void Callback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t) {
    auto* self = reinterpret_cast<Recorder*>(instance);
    EXPECT_EQ(handle, 7u);
    ASSERT_EQ(message, static_cast<uint32_t>(MOM_DONE));
    auto* header = reinterpret_cast<MidiHeader*>(param1);
    self->returned.push_back(header);
    self->flagsSeen.push_back(header->flags);
  }

  explicit Recorder(bool copiesBytes = false) : queue(copiesBytes) {
    queue.open(7, &Callback, reinterpret_cast<uintptr_t>(this));
  }
};

struct Message {
  std::array<uint8_t, 32> data{};
  MidiHeader header{data.data(), 32, 0, 0};
  Message() { EXPECT_EQ(OutputMessageQueue::prepare(&header), MMSYSERR_NOERROR); }
};

TEST(OutputMessageQueue, RefusesHeadersTheServiceWouldRefuse) {
  uint8_t byte = 0;
  struct Case {
    const char* what;
    MidiHeader header;
    uint32_t prepare;
    uint32_t add;
  };
  const Case cases[] = {
      {"no data area", {nullptr, 4, 0, MHDR_PREPARED}, MMSYSERR_INVALPARAM, MMSYSERR_INVALPARAM},
      {"empty message", {nullptr, 0, 0, MHDR_PREPARED}, MMSYSERR_NOERROR, MMSYSERR_NOERROR},
      {"not prepared", {&byte, 1, 0, 0}, MMSYSERR_NOERROR, MIDIERR_UNPREPARED},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Recorder r;
    MidiHeader added = c.header;
    EXPECT_EQ(r.queue.add(&added), c.add);
    EXPECT_EQ(r.queue.queuedCount(), c.add == MMSYSERR_NOERROR ? 1u : 0u);
    MidiHeader prepared = c.header;
    EXPECT_EQ(OutputMessageQueue::prepare(&prepared), c.prepare);
  }
  Recorder r;
  EXPECT_EQ(r.queue.add(nullptr), MMSYSERR_INVALPARAM);
  EXPECT_EQ(OutputMessageQueue::prepare(nullptr), MMSYSERR_INVALPARAM);
}

TEST(OutputMessageQueue, AQueuedHeaderCanBeNeitherSentAgainNorUnprepared) {
  Recorder r;
  Message m;
  ASSERT_EQ(r.queue.add(&m.header), MMSYSERR_NOERROR);
  EXPECT_EQ(m.header.flags & (MHDR_INQUEUE | MHDR_DONE), MHDR_INQUEUE);
  EXPECT_EQ(r.queue.add(&m.header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(r.queue.unprepare(&m.header), MIDIERR_STILLPLAYING);
  EXPECT_EQ(r.queue.queuedCount(), 1u);

  EXPECT_TRUE(r.queue.complete(&m.header));
  EXPECT_EQ(r.queue.unprepare(&m.header), MMSYSERR_NOERROR);
  EXPECT_EQ(m.header.flags & MHDR_PREPARED, 0u);
  EXPECT_EQ(r.queue.add(&m.header), MIDIERR_UNPREPARED);
}

TEST(OutputMessageQueue, ABackendThatCopiesTheBytesTakesAHeaderAgainAndGivesItBackTwice) {
  Recorder r(/*copiesBytes=*/true);
  Message m;
  ASSERT_EQ(r.queue.add(&m.header), MMSYSERR_NOERROR);
  ASSERT_EQ(r.queue.add(&m.header), MMSYSERR_NOERROR);
  EXPECT_TRUE(r.queue.complete(&m.header));
  EXPECT_EQ(r.queue.unprepare(&m.header), MIDIERR_STILLPLAYING);  // the second is on its way
  EXPECT_TRUE(r.queue.complete(&m.header));
  EXPECT_EQ(r.returned.size(), 2u);
  // The caller owns the header throughout: its flags are as it left them.
  for (uint32_t flags : r.flagsSeen) EXPECT_EQ(flags, static_cast<uint32_t>(MHDR_PREPARED));
}

TEST(OutputMessageQueue, CompletionMarksDoneBeforeTheCallbackAndReportsOnce) {
  Recorder r;
  Message a, b;
  ASSERT_EQ(r.queue.add(&a.header), MMSYSERR_NOERROR);
  ASSERT_EQ(r.queue.add(&b.header), MMSYSERR_NOERROR);
  EXPECT_EQ(r.queue.front(), &a.header);

  EXPECT_TRUE(r.queue.complete(&a.header));
  EXPECT_EQ(r.queue.front(), &b.header);
  // A completion that arrives after a reset gave the header back is not reported again.
  EXPECT_FALSE(r.queue.complete(&a.header));

  ASSERT_EQ(r.returned, (std::vector<MidiHeader*>{&a.header}));
  EXPECT_EQ(r.flagsSeen[0] & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_TRUE(r.queue.isQueued(&b.header));
}

TEST(OutputMessageQueue, ResetGivesBackWhatIsQueuedInOrderKeepingTheOneBeingWritten) {
  struct Case {
    std::size_t keep;
    std::size_t returned;
  };
  for (const Case c : {Case{0, 3}, Case{1, 2}, Case{5, 0}}) {
    SCOPED_TRACE(c.keep);
    Recorder r;
    Message m[3];
    for (Message& each : m) ASSERT_EQ(r.queue.add(&each.header), MMSYSERR_NOERROR);
    r.queue.returnQueued(c.keep);
    std::vector<MidiHeader*> expected;
    for (std::size_t i = 3 - c.returned; i < 3; ++i) expected.push_back(&m[i].header);
    EXPECT_EQ(r.returned, expected);
    for (uint32_t flags : r.flagsSeen) EXPECT_EQ(flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
    EXPECT_EQ(r.queue.queuedCount(), 3 - c.returned);
  }
}

TEST(OutputMessageQueue, AWithdrawnOrClosedPortsHeaderComesBackSilently) {
  Recorder r;
  Message a, b;
  ASSERT_EQ(r.queue.add(&a.header), MMSYSERR_NOERROR);
  r.queue.withdraw(&a.header);
  EXPECT_EQ(a.header.flags & MHDR_INQUEUE, 0u);
  EXPECT_EQ(r.queue.add(&a.header), MMSYSERR_NOERROR);  // may be sent again

  ASSERT_EQ(r.queue.add(&b.header), MMSYSERR_NOERROR);
  r.queue.open(0, nullptr, 0);  // the port closed under a message that never went
  EXPECT_EQ(r.queue.queuedCount(), 0u);
  EXPECT_FALSE(r.queue.complete(&b.header));
  EXPECT_EQ(b.header.flags & (MHDR_DONE | MHDR_INQUEUE), MHDR_DONE);
  EXPECT_TRUE(r.returned.empty());
}

}  // namespace
}  // namespace varnet
