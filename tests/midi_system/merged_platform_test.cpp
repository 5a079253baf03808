// One device list over several backends: numbering, names, and routing of every call to the
// backend that owns the device or handle.
#include "midi/backends/system/merged_platform.h"

#include <gtest/gtest.h>

#include <cstring>

#include "midi/platform_base.h"

namespace varnet {
namespace {

// A backend with fixed device names that hands out handles from its own range and records the
// calls on an open port that the tests route.
class FakeBackend final : public UnsupportedMidiPlatform {
 public:
  FakeBackend(std::vector<std::string> ins, std::vector<std::string> outs, MidiHandle firstHandle)
      : ins_(std::move(ins)), outs_(std::move(outs)), nextHandle_(firstHandle) {}

  uint32_t inGetNumDevs() override { return static_cast<uint32_t>(ins_.size()); }
  uint32_t outGetNumDevs() override { return static_cast<uint32_t>(outs_.size()); }
  uint32_t inGetDevCaps(uint32_t d, char (&name)[kMidiNameLength]) override {
    return copy(ins_, d, name);
  }
  uint32_t outGetDevCaps(uint32_t d, char (&name)[kMidiNameLength]) override {
    return copy(outs_, d, name);
  }
  uint32_t inOpen(MidiHandle* h, uint32_t d, MidiCallback, uintptr_t) override {
    if (d >= ins_.size()) return MMSYSERR_BADDEVICEID;
    openedDevice = d;
    *h = nextHandle_++;
    return 0;
  }
  uint32_t outOpen(MidiHandle* h, uint32_t d, MidiCallback, uintptr_t) override {
    if (d >= outs_.size()) return MMSYSERR_BADDEVICEID;
    openedDevice = d;
    *h = nextHandle_++;
    return 0;
  }
  uint32_t inAddBuffer(MidiHandle h, MidiHeader*) override { return note(h); }
  uint32_t inStart(MidiHandle h) override { return note(h); }
  uint32_t inClose(MidiHandle h) override { return closeResult ? closeResult : note(h); }
  uint32_t outLongMsg(MidiHandle h, MidiHeader*) override { return note(h); }
  uint32_t outReset(MidiHandle h) override { return note(h); }
  uint32_t outClose(MidiHandle h) override { return closeResult ? closeResult : note(h); }
  std::string inGetErrorText(uint32_t r) override { return "in text " + std::to_string(r); }
  std::string outGetErrorText(uint32_t r) override { return "out text " + std::to_string(r); }

  uint32_t openedDevice = 99;
  std::vector<MidiHandle> calls;
  uint32_t closeResult = 0;

 private:
  uint32_t note(MidiHandle h) {
    calls.push_back(h);
    return 0;
  }
  static uint32_t copy(const std::vector<std::string>& v, uint32_t d,
                       char (&name)[kMidiNameLength]) {
    if (d >= v.size()) return MMSYSERR_BADDEVICEID;
    std::strncpy(name, v[d].c_str(), kMidiNameLength - 1);
    name[kMidiNameLength - 1] = '\0';
    return 0;
  }
  std::vector<std::string> ins_, outs_;
  MidiHandle nextHandle_;
};

class MergedPlatformTest : public ::testing::Test {
 protected:
  MergedPlatformTest() {
    auto a = std::make_unique<FakeBackend>(
        std::vector<std::string>{"Interface A", "A very long port name of thirty one"},
        std::vector<std::string>{"Interface A out"}, 100);
    auto none =
        std::make_unique<FakeBackend>(std::vector<std::string>{}, std::vector<std::string>{}, 300);
    auto j =
        std::make_unique<FakeBackend>(std::vector<std::string>{"varnet-sim:out"},
                                      std::vector<std::string>{"varnet-sim:in", "other:in"}, 200);
    alsa_ = a.get();
    jack_ = j.get();
    std::vector<MergedMidiPlatform::Backend> backends;
    backends.push_back({"A: ", std::move(a), [](uint32_t r) { return r >= 0x1000 && r < 0x2000; }});
    backends.push_back({"N: ", std::move(none), nullptr});
    backends.push_back({"J: ", std::move(j), [](uint32_t r) { return r >= 0x2000 && r < 0x3000; }});
    merged_ = std::make_unique<MergedMidiPlatform>(std::move(backends));
  }

  std::string inName(uint32_t d) {
    char name[kMidiNameLength] = {};
    EXPECT_EQ(merged_->inGetDevCaps(d, name), 0u);
    return name;
  }
  std::string outName(uint32_t d) {
    char name[kMidiNameLength] = {};
    EXPECT_EQ(merged_->outGetDevCaps(d, name), 0u);
    return name;
  }

  FakeBackend* alsa_;
  FakeBackend* jack_;
  std::unique_ptr<MergedMidiPlatform> merged_;
};

TEST_F(MergedPlatformTest, NumbersTheDevicesOfEveryBackendInTurnUnderTaggedNames) {
  ASSERT_EQ(merged_->inGetNumDevs(), 3u);
  ASSERT_EQ(merged_->outGetNumDevs(), 3u);
  EXPECT_EQ(inName(0), "A: Interface A");
  EXPECT_EQ(inName(1), "A: A very long port name of thi");  // 31 characters with the tag
  EXPECT_EQ(inName(1).size(), 31u);
  EXPECT_EQ(inName(2), "J: varnet-sim:out");
  EXPECT_EQ(outName(0), "A: Interface A out");
  EXPECT_EQ(outName(1), "J: varnet-sim:in");
  EXPECT_EQ(outName(2), "J: other:in");
  char name[kMidiNameLength];
  EXPECT_EQ(merged_->inGetDevCaps(3, name), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(merged_->outGetDevCaps(0xFFFFFFFF, name), MMSYSERR_BADDEVICEID);
}

TEST_F(MergedPlatformTest, OpensTheBackendsOwnDeviceAndRoutesEveryCallByHandle) {
  MidiHandle in = 0, out = 0;
  ASSERT_EQ(merged_->inOpen(&in, 2, nullptr, 0), 0u);
  EXPECT_EQ(jack_->openedDevice, 0u);
  ASSERT_EQ(merged_->outOpen(&out, 0, nullptr, 0), 0u);
  EXPECT_EQ(alsa_->openedDevice, 0u);
  EXPECT_EQ(in, 200u);
  EXPECT_EQ(out, 100u);

  MidiHeader h{};
  EXPECT_EQ(merged_->inAddBuffer(in, &h), 0u);
  EXPECT_EQ(merged_->inStart(in), 0u);
  EXPECT_EQ(merged_->outLongMsg(out, &h), 0u);
  EXPECT_EQ(jack_->calls, (std::vector<MidiHandle>{200, 200}));
  EXPECT_EQ(alsa_->calls, (std::vector<MidiHandle>{100}));

  EXPECT_EQ(merged_->inClose(in), 0u);
  EXPECT_EQ(merged_->inStart(in), MMSYSERR_INVALHANDLE);  // closed handles go nowhere
  EXPECT_EQ(merged_->outReset(12345), MMSYSERR_INVALHANDLE);
  EXPECT_EQ(merged_->inOpen(&in, 3, nullptr, 0), MMSYSERR_BADDEVICEID);
}

TEST_F(MergedPlatformTest, ARefusedCloseKeepsTheHandleUsable) {
  MidiHandle out = 0;
  ASSERT_EQ(merged_->outOpen(&out, 1, nullptr, 0), 0u);
  jack_->closeResult = MIDIERR_STILLPLAYING;
  EXPECT_EQ(merged_->outClose(out), MIDIERR_STILLPLAYING);
  EXPECT_EQ(merged_->outReset(out), 0u);
  jack_->closeResult = 0;
  EXPECT_EQ(merged_->outClose(out), 0u);
}

TEST_F(MergedPlatformTest, ErrorTextsComeFromTheBackendThatOwnsTheCode) {
  EXPECT_EQ(merged_->inGetErrorText(0x1005), "in text 4101");
  EXPECT_EQ(merged_->outGetErrorText(0x2001), "out text 8193");
  EXPECT_EQ(merged_->outGetErrorText(MMSYSERR_BADDEVICEID),
            StandardMidiErrorText(MMSYSERR_BADDEVICEID));
}

TEST(MergedPlatform, WithNoBackendsHasNoDevices) {
  MergedMidiPlatform merged({});
  EXPECT_EQ(merged.inGetNumDevs(), 0u);
  EXPECT_EQ(merged.outGetNumDevs(), 0u);
  MidiHandle h = 0;
  EXPECT_EQ(merged.inOpen(&h, 0, nullptr, 0), MMSYSERR_BADDEVICEID);
}

}  // namespace
}  // namespace varnet
