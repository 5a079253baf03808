// What the ALSA sequencer backend decides without a kernel sequencer: which ports become
// devices, their order and names, how fast a port may be fed, and how it fails without one.
#include "midi/backends/alsa/seq_ports.h"

#include <alsa/asoundlib.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "midi/backends/alsa/alsa_platform.h"

namespace varnet::alsaseq {
namespace {

using namespace std::chrono_literals;

constexpr unsigned kReadable = SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ;
constexpr unsigned kWritable = SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE;

SeqPortInfo Port(int client, int port, std::string name, unsigned caps) {
  return SeqPortInfo{
      client,          port, "client " + std::to_string(client),
      std::move(name), caps, SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_HARDWARE};
}

std::vector<std::string> Names(const std::vector<SeqPortInfo>& ports) {
  std::vector<std::string> out;
  for (const auto& p : ports) out.push_back(DeviceName(p));
  return out;
}

TEST(SelectDevicePorts, KeepsOtherClientsPortsByDirectionInClientAndPortOrder) {
  const std::vector<SeqPortInfo> all = {
      Port(0, 0, "Timer", kReadable | kWritable),   // system client
      Port(0, 1, "Announce", kReadable),            // system client
      Port(128, 0, "varnet-update in", kWritable),  // our own client
      Port(24, 1, "Interface B", kReadable | kWritable),
      Port(14, 0, "Midi Through Port-0", kReadable | kWritable),
      Port(24, 0, "Interface A", kReadable | kWritable),
      Port(130, 0, "Synth", kWritable),
      Port(131, 0, "Keyboard", kReadable),
      Port(132, 0, "Hidden", kReadable | kWritable | SND_SEQ_PORT_CAP_NO_EXPORT),
      // Readable but not open to subscriptions: cannot be connected to.
      Port(133, 0, "Private", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_WRITE),
  };
  EXPECT_EQ(
      Names(SelectDevicePorts(all, 128, Direction::Input)),
      (std::vector<std::string>{"Midi Through Port-0", "Interface A", "Interface B", "Keyboard"}));
  EXPECT_EQ(
      Names(SelectDevicePorts(all, 128, Direction::Output)),
      (std::vector<std::string>{"Midi Through Port-0", "Interface A", "Interface B", "Synth"}));
}

TEST(SelectDevicePorts, OrderDoesNotDependOnTheOrderOfDiscovery) {
  std::vector<SeqPortInfo> all = {Port(20, 1, "b", kReadable), Port(20, 0, "a", kReadable),
                                  Port(16, 3, "c", kReadable)};
  const auto first = Names(SelectDevicePorts(all, -1, Direction::Input));
  std::reverse(all.begin(), all.end());
  EXPECT_EQ(Names(SelectDevicePorts(all, -1, Direction::Input)), first);
  EXPECT_EQ(first, (std::vector<std::string>{"c", "a", "b"}));
}

TEST(DeviceName, CutsTo31CharactersAndFallsBackToTheClientName) {
  SeqPortInfo p = Port(20, 0, std::string(31, 'x'), kReadable);
  EXPECT_EQ(DeviceName(p), std::string(31, 'x'));
  p.portName = std::string(40, 'y') + "z";
  EXPECT_EQ(DeviceName(p).size(), 31u);
  EXPECT_EQ(DeviceName(p).back(), 'z');  // the end, where ports differ, stays
  p.portName.clear();
  EXPECT_EQ(DeviceName(p), "client 20");
}

TEST(DeviceNames, PortsOfOneLongNamedDeviceStayApart) {
  std::vector<SeqPortInfo> ports;
  for (int i = 0; i < 4; ++i) {
    SeqPortInfo p = Port(24, i, "USB MIDI Interface 4x4 with MIDI " + std::to_string(i + 1),
                         kReadable | kWritable);
    p.clientName = "USB MIDI Interface 4x4 with";
    ports.push_back(p);
  }
  // As the merged list asks for them: room for its "A: " in front.
  const std::vector<std::string> names = DeviceNames(ports, 28);
  for (std::size_t i = 0; i < names.size(); ++i) {
    EXPECT_LE(names[i].size(), 28u);
    EXPECT_TRUE(names[i].starts_with("USB MIDI")) << names[i];
    EXPECT_TRUE(names[i].ends_with(" MIDI " + std::to_string(i + 1))) << names[i];
  }
}

TEST(WirePacer, FeedsAnIdlePortAtOnceAndSpacesABacklogAtWireRate) {
  WirePacer pacer;
  const WirePacer::Duration t0 = 10s;
  EXPECT_EQ(pacer.release(t0, 32), t0);
  // 32 bytes take 10.24 ms on the wire: the next message waits for them.
  EXPECT_EQ(pacer.release(t0 + 1ms, 32), t0 + 10240us);
  EXPECT_EQ(pacer.idleAt(), t0 + 20480us);
}

TEST(WirePacer, NeverExceedsTheWireRateOverALongStreamAndDoesNotDrift) {
  WirePacer pacer;
  WirePacer::Duration now{};
  uint64_t bytes = 0;
  WirePacer::Duration last{};
  // The sender offers 32 bytes every 10 ms (3200 bytes/s), a little faster than the wire.
  for (int i = 0; i < 30000; ++i) {
    last = pacer.release(now, 32);
    ASSERT_GE(last, now);
    bytes += 32;
    now = std::max(now + 10ms, last);
  }
  // Everything before the last message has left the wire at exactly 3125 bytes/s.
  const auto expected = std::chrono::nanoseconds((bytes - 32) * 1'000'000'000ULL / 3125);
  EXPECT_EQ(last, expected);
}

TEST(WirePacer, CountsAfreshAfterTheWireRanIdle) {
  WirePacer pacer;
  EXPECT_EQ(pacer.release(0s, 3125), 0s);  // one second of bytes
  EXPECT_EQ(pacer.release(5s, 1), 5s);     // long idle: no debt carried over
  EXPECT_EQ(pacer.release(5s, 1), 5s + 320us);
}

TEST(WirePacer, RoundsUpSoThatAPortIsNeverFedEarly) {
  WirePacer pacer(3);  // 333.33 ms a byte
  pacer.release(0s, 1);
  EXPECT_EQ(pacer.release(0s, 1), std::chrono::nanoseconds(333'333'334));
}

TEST(AlsaBackend, WithoutAKernelSequencerHasNoDevices) {
  if (access("/dev/snd/seq", R_OK | W_OK) == 0) GTEST_SKIP() << "this machine has a sequencer";
  auto platform = CreateAlsaMidiPlatform("varnet-test");
  EXPECT_EQ(platform->inGetNumDevs(), 0u);
  EXPECT_EQ(platform->outGetNumDevs(), 0u);
  char name[kMidiNameLength];
  EXPECT_EQ(platform->inGetDevCaps(0, name), MMSYSERR_BADDEVICEID);
  MidiHandle h = 0;
  EXPECT_EQ(platform->outOpen(&h, 0, nullptr, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(h, 0u);
  int err = 0;
  EXPECT_EQ(AlsaPublishedPorts::Open(
                "varnet-test", [](const uint8_t*, std::size_t) {}, &err),
            nullptr);
  EXPECT_LT(err, 0);
}

TEST(AlsaBackend, ErrorTextsComeFromTheLibrary) {
  EXPECT_EQ(AlsaResultText(kAlsaResultBase | ENOENT), snd_strerror(-ENOENT));
  EXPECT_EQ(AlsaResultText(MIDIERR_STILLPLAYING), StandardMidiErrorText(MIDIERR_STILLPLAYING));
  EXPECT_TRUE(IsAlsaResult(kAlsaResultBase | EBUSY));
  EXPECT_FALSE(IsAlsaResult(MIDIERR_STILLPLAYING));
}

}  // namespace
}  // namespace varnet::alsaseq
