// The engine on a bare UpdatePort (no MIDI layer under it): what it asks of the port, in which
// order, and how the port's answers pace and verify the stream.
#include <gtest/gtest.h>

#include <array>
#include <numeric>
#include <vector>

#include "core/clock.h"
#include "engine/engine.h"
#include "tests/engine/engine_rig.h"

namespace varnet::test {
namespace {

// A port on virtual time: each piece is reported sent `sentAfter` after its send; echo blocks are
// whatever the test put in `blocks`.
class FakePort final : public UpdatePort {
 public:
  explicit FakePort(VirtualClock& clock) : clock_(clock) {}

  Clock::Duration sentAfter{};
  std::vector<Piece> pieces;
  std::vector<Clock::TimePoint> reportedSent;
  int sentBeforeReport = 0;  // pieces sent while the one before was still in flight
  std::array<Bytes, 2> blocks;

  bool send(const uint8_t* bytes, uint32_t length) override {
    const Clock::TimePoint now = clock_.now();
    if (!reportedSent.empty() && reportedSent.back() > now) ++sentBeforeReport;
    pieces.push_back({now, Bytes(bytes, bytes + length)});
    reportedSent.push_back(now + sentAfter);
    clock_.schedule(now + sentAfter, [] {});  // virtual time stops there for a waiter
    return true;
  }
  bool waitSent(Clock::Duration bound) override {
    const Clock::TimePoint due = reportedSent.back();
    return clock_.waitFor([&] { return clock_.now() >= due; }, bound);
  }
  bool resetOutput() override { return true; }

  bool open() override { return true; }
  void close() override {}
  void startInput() override {}
  std::array<EchoBlock, 2> takeInput() override {
    return {EchoBlock{blocks[0].data(), static_cast<int32_t>(blocks[0].size())},
            EchoBlock{blocks[1].data(), static_cast<int32_t>(blocks[1].size())}};
  }
  void clearInput() override { blocks = {}; }
  void returnPartialInput() override {}
  uint32_t otherInput(uint32_t& first) override {
    first = 0;
    return 0;
  }
  void forgetOtherInput() override {}
  void showDeferredBoxes() override {}
  bool deferredBoxOpen() override { return false; }
  void discardDeferredBoxes() override {}

 private:
  VirtualClock& clock_;
};

struct SeamRig {
  VirtualClock clock;
  RecordedBoxes prompts;
  FakePort port{clock};
  FirmwareImage image;
  Engine engine{image, port, clock, prompts};
  SeamRig() {
    engine.DeviceId = 0x32;
    image.SendBuffer.assign(400, 0x01);
    image.SentLog.assign(4000, 0);
  }
};

// Each piece waits for whichever is later, its 10 ms or the report that the one before was sent:
// pieces never overlap on the port and never come closer than 10 ms.
TEST(PortSeam, EachPieceWaitsForTheLaterOfItsDeadlineAndTheReportSent) {
  using std::chrono::microseconds;
  const struct {
    Clock::Duration sentAfter;
    Clock::Duration spacing;
  } cases[] = {
      {microseconds(0), milliseconds(10)},
      {milliseconds(9), milliseconds(10)},
      {microseconds(10'240), microseconds(10'240)},  // a full piece on a MIDI cable
      {milliseconds(25), milliseconds(25)},
  };
  for (const auto& c : cases) {
    SeamRig rig;
    rig.port.sentAfter = c.sentAfter;
    EXPECT_EQ(SendBytes(rig.engine, 160), 160u);
    ASSERT_EQ(rig.port.pieces.size(), 5u);
    for (std::size_t i = 1; i < rig.port.pieces.size(); ++i) {
      EXPECT_EQ(rig.port.pieces[i].at - rig.port.pieces[i - 1].at, c.spacing)
          << "reported sent after " << c.sentAfter.count() << " us, piece " << i;
    }
    EXPECT_EQ(rig.port.sentBeforeReport, 0);
    EXPECT_EQ(rig.image.bytesSent.load(), 160u);
  }
}

TEST(PortSeam, EchoBlocksAreComparedInArrivalOrder) {
  for (const bool swapped : {false, true}) {
    SeamRig rig;
    std::iota(rig.image.SendBuffer.begin(), rig.image.SendBuffer.end(), uint8_t{0});
    rig.engine.SessionState = Running;
    SendBytes(rig.engine, 40);
    Bytes first(rig.image.SendBuffer.begin(), rig.image.SendBuffer.begin() + 30);
    Bytes second(rig.image.SendBuffer.begin() + 30, rig.image.SendBuffer.begin() + 40);
    if (swapped) std::swap(first, second);
    rig.port.blocks = {first, second};
    CheckEcho(rig.engine);
    EXPECT_EQ(rig.image.echoVerifiedCount, swapped ? 0u : 40u);
    EXPECT_EQ(rig.engine.SessionState.load(), swapped ? VerifyFailed : Running);
    // A failure leaves the blocks with the port for whoever looks at it.
    EXPECT_EQ(rig.port.blocks[0].empty(), !swapped);
  }
}

// A block that overflowed is a difference where its readable bytes end, with nothing known of
// what came back there.
TEST(PortSeam, OverflowedBlockIsADifferenceWhereItsReadableBytesEnd) {
  SeamRig rig;
  std::iota(rig.image.SendBuffer.begin(), rig.image.SendBuffer.end(), uint8_t{0});
  rig.engine.SessionState = Running;
  SendBytes(rig.engine, 160);
  rig.port.blocks[0].assign(rig.image.SendBuffer.begin(), rig.image.SendBuffer.begin() + 200);
  CheckEcho(rig.engine);
  EXPECT_EQ(rig.engine.firstDifference.kind, EchoDifference::Kind::Beyond);
  EXPECT_EQ(rig.engine.firstDifference.offset, kEchoBlockCapacity);
  EXPECT_EQ(rig.engine.firstDifference.echoed, -1);
  EXPECT_EQ(rig.engine.SessionState.load(), VerifyFailed);
}

}  // namespace
}  // namespace varnet::test
