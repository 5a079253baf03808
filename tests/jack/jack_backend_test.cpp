// The JACK backend against a real (private, dummy-driver) JACK server, with a peer client that
// plays the device.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <thread>
#include <vector>

#include "jack_server.h"
#include "midi/backends/jack/jack_client.h"
#include "midi/backends/jack/jack_platform.h"

// The peer and the backend under test are two JACK clients in one process: one's process thread
// writes a port buffer in the server's shared memory that the other's then reads, ordered by the
// server through futexes in that memory, which ThreadSanitizer cannot see. Between processes, as
// in use, there is nothing to see at all.
extern "C" const char* __tsan_default_suppressions() {
  return "race:varnet::jackmidi::JackMidiClient::processInput\n";
}

namespace varnet {
namespace {

using jackmidi::JackMidiClient;
using namespace std::chrono_literals;

template <typename F>
bool WaitUntil(F ready, std::chrono::milliseconds timeout) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!ready()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(1ms);
  }
  return true;
}

// The far side: a client named "peer" that records what it receives and, if asked, echoes it.
struct Peer {
  std::unique_ptr<JackMidiClient> client;
  std::atomic<JackMidiClient*> self{nullptr};  // what the delivery thread uses
  std::mutex mutex;
  std::vector<uint8_t> received;
  std::vector<std::size_t> eventSizes;
  std::vector<uint64_t> eventTimes;  // microseconds on the server's clock, as stamped
  std::atomic<bool> echo{false};

  bool open(bool physical = false) {
    JackMidiClient::Events events;
    events.receivedAt = [this](const uint8_t* data, std::size_t size, uint64_t usecs) {
      {
        std::scoped_lock lock(mutex);
        received.insert(received.end(), data, data + size);
        eventSizes.push_back(size);
        eventTimes.push_back(usecs);
      }
      if (echo.load()) self.load()->send(data, size, 0);
    };
    jack_status_t status{};
    client = JackMidiClient::Open("peer", std::move(events), &status, physical);
    if (!client) return false;
    self.store(client.get());
    client->setInputEnabled(true);
    return true;
  }
  std::size_t receivedCount() {
    std::scoped_lock lock(mutex);
    return received.size();
  }
  std::size_t eventCount() {
    std::scoped_lock lock(mutex);
    return eventSizes.size();
  }
};

// What the port layer would see: completions and returned input buffers.
struct Host {
  std::atomic<int> done{0};
  std::mutex mutex;
  std::vector<uint8_t> input;
  MidiPlatform* platform = nullptr;
  MidiHandle in = 0;
  std::array<std::array<uint8_t, 128>, 2> data{};
  std::array<MidiHeader, 2> headers{};
  std::atomic<bool> requeue{true};

  std::vector<std::chrono::steady_clock::time_point> doneAt;   // under `mutex`
  std::vector<std::chrono::steady_clock::time_point> inputAt;  // a buffer's return, likewise

  static void OutCallback(MidiHandle, uint32_t message, uintptr_t instance, uintptr_t, uintptr_t) {
    if (message != MOM_DONE) return;
    auto* self = reinterpret_cast<Host*>(instance);
    {
      std::scoped_lock lock(self->mutex);
      self->doneAt.push_back(std::chrono::steady_clock::now());
    }
    self->done.fetch_add(1);
  }
  static void InCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t p1,
                         uintptr_t) {
    if (message != MIM_LONGDATA) return;
    auto* self = reinterpret_cast<Host*>(instance);
    auto* header = reinterpret_cast<MidiHeader*>(p1);
    {
      std::scoped_lock lock(self->mutex);
      self->input.insert(self->input.end(), header->data, header->data + header->bytesRecorded);
      self->inputAt.push_back(std::chrono::steady_clock::now());
    }
    if (self->requeue.load()) self->platform->inAddBuffer(handle, header);
  }
  std::size_t inputCount() {
    std::scoped_lock lock(mutex);
    return input.size();
  }
};

uint32_t FindDevice(MidiPlatform& p, bool input, const std::string& name) {
  const uint32_t n = input ? p.inGetNumDevs() : p.outGetNumDevs();
  for (uint32_t i = 0; i < n; ++i) {
    char caps[kMidiNameLength];
    if ((input ? p.inGetDevCaps(i, caps) : p.outGetDevCaps(i, caps)) == 0 && name == caps) return i;
  }
  return 0xFFFFFFFF;
}

class JackBackendTest : public ::testing::Test {
 protected:
  void SetUp() override { startAll(128, false); }
  void startAll(unsigned period, bool physicalPeer) {
    if (!testing::JackdInstalled()) GTEST_SKIP() << "jackd is not installed";
    ASSERT_TRUE(server_.start("varnet-test-" + std::to_string(getpid()), period));
    ASSERT_TRUE(peer_.open(physicalPeer));
    platform_ = CreateJackMidiPlatform("varnet-test");
    host_.platform = platform_.get();
  }
  void TearDown() override {
    platform_.reset();
    peer_.client.reset();
    server_.stop();
  }

  // Opens both ports on the peer and starts capture with two queued buffers.
  void openBoth() {
    const uint32_t inDev = FindDevice(*platform_, true, "peer:out");
    const uint32_t outDev = FindDevice(*platform_, false, "peer:in");
    ASSERT_NE(inDev, 0xFFFFFFFFu);
    ASSERT_NE(outDev, 0xFFFFFFFFu);
    ASSERT_EQ(
        platform_->inOpen(&host_.in, inDev, &Host::InCallback, reinterpret_cast<uintptr_t>(&host_)),
        0u);
    ASSERT_EQ(
        platform_->outOpen(&out_, outDev, &Host::OutCallback, reinterpret_cast<uintptr_t>(&host_)),
        0u);
    for (int i = 0; i < 2; ++i) {
      host_.headers[i] = MidiHeader{host_.data[i].data(), 128, 0, 0};
      ASSERT_EQ(platform_->inPrepareHeader(host_.in, &host_.headers[i]), 0u);
      ASSERT_EQ(platform_->inAddBuffer(host_.in, &host_.headers[i]), 0u);
    }
    ASSERT_EQ(platform_->inStart(host_.in), 0u);
  }

  // Sends `bytes` as one long message; true when it completed within `timeout`.
  bool sendLong(std::vector<uint8_t> bytes, std::chrono::milliseconds timeout = 2000ms) {
    message_ = std::move(bytes);
    header_ = MidiHeader{message_.data(), static_cast<uint32_t>(message_.size()), 0, 0};
    if (platform_->outPrepareHeader(out_, &header_) != 0) return false;
    const int before = host_.done.load();
    if (platform_->outLongMsg(out_, &header_) != 0) return false;
    return WaitUntil([&] { return host_.done.load() > before; }, timeout);
  }

  void closeBoth() {
    host_.requeue.store(false);
    EXPECT_EQ(platform_->inReset(host_.in), 0u);
    for (auto& h : host_.headers) EXPECT_EQ(platform_->inUnprepareHeader(host_.in, &h), 0u);
    EXPECT_EQ(platform_->inClose(host_.in), 0u);
    EXPECT_EQ(platform_->outClose(out_), 0u);
  }

  testing::JackServer server_;
  Peer peer_;
  std::unique_ptr<MidiPlatform> platform_;
  Host host_;
  MidiHandle out_ = 0;
  std::vector<uint8_t> message_;
  MidiHeader header_{};
};

TEST_F(JackBackendTest, ListsMidiPortsByDirectionWithoutItsOwn) {
  EXPECT_EQ(JackUnavailableReason(), "");
  EXPECT_NE(FindDevice(*platform_, true, "peer:out"), 0xFFFFFFFFu);
  EXPECT_NE(FindDevice(*platform_, false, "peer:in"), 0xFFFFFFFFu);
  EXPECT_EQ(FindDevice(*platform_, true, "peer:in"), 0xFFFFFFFFu);
  EXPECT_EQ(FindDevice(*platform_, false, "peer:out"), 0xFFFFFFFFu);
  openBoth();
  // Our own client's ports never show up as devices, even while open.
  const uint32_t inputs = platform_->inGetNumDevs();
  for (uint32_t i = 0; i < inputs; ++i) {
    char caps[kMidiNameLength];
    ASSERT_EQ(platform_->inGetDevCaps(i, caps), 0u);
    EXPECT_EQ(std::string(caps).rfind("varnet-test", 0), std::string::npos) << caps;
  }
  char caps[kMidiNameLength];
  EXPECT_EQ(platform_->inGetDevCaps(inputs, caps), MMSYSERR_BADDEVICEID);
  closeBoth();
}

// Who else sends into the device's input: every other port connected to it, never our own
// connection; and a port's identity is the same for every program on the server.
TEST_F(JackBackendTest, OtherSendersAreThePeerInputsOtherConnections) {
  std::vector<std::unique_ptr<JackMidiClient>> others;
  for (const char* name : {"daw", "clock"}) {
    jack_status_t status{};
    others.push_back(JackMidiClient::Open(name, {}, &status));
    ASSERT_NE(others.back(), nullptr) << name;
  }
  openBoth();
  struct Case {
    std::size_t connected;  // how many of `others` send into peer:in
    std::vector<std::string> named;
  };
  for (const Case& c :
       {Case{0, {}}, Case{1, {"daw:out"}}, Case{2, {"clock:out", "daw:out"}}, Case{0, {}}}) {
    for (std::size_t i = 0; i < others.size(); ++i) {
      others[i]->disconnectOutput();
      if (i < c.connected) {
        ASSERT_EQ(others[i]->connectOutputTo("peer:in"), 0);
      }
    }
    std::vector<std::string> senders{"stale"};
    ASSERT_EQ(platform_->outOtherSenders(out_, senders), 0u);
    std::sort(senders.begin(), senders.end());
    EXPECT_EQ(senders, c.named) << c.connected << " connected";
  }
  std::vector<std::string> senders;
  EXPECT_EQ(platform_->outOtherSenders(0, senders), MMSYSERR_INVALHANDLE);

  auto second = CreateJackMidiPlatform("varnet-second");
  const uint32_t outDev = FindDevice(*platform_, false, "peer:in");
  const uint32_t inDev = FindDevice(*platform_, true, "peer:out");
  EXPECT_EQ(platform_->outPortIdentity(outDev),
            second->outPortIdentity(FindDevice(*second, false, "peer:in")));
  EXPECT_NE(platform_->outPortIdentity(outDev), "");
  EXPECT_NE(platform_->outPortIdentity(outDev), platform_->inPortIdentity(inDev));
  EXPECT_EQ(platform_->outPortIdentity(platform_->outGetNumDevs()), "");
  closeBoth();
}

// A device whose client name alone fills the room: its input and output still read apart, as
// they do behind the merged list's "J: ".
TEST_F(JackBackendTest, LongClientNamesKeepThePortsOwnPart) {
  const std::string client = "USB MIDI Interface 4x4 with MIDI Thru";
  jack_status_t status{};
  auto device = JackMidiClient::Open(client, {}, &status);
  ASSERT_NE(device, nullptr);
  const std::size_t room = kMidiNameLength - 1 - 3;
  auto platform = CreateJackMidiPlatform("varnet-names", room);
  auto named = [&](bool input) {
    std::vector<std::string> names;
    const uint32_t n = input ? platform->inGetNumDevs() : platform->outGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
      char caps[kMidiNameLength];
      EXPECT_EQ(input ? platform->inGetDevCaps(i, caps) : platform->outGetDevCaps(i, caps), 0u);
      if (std::string(caps).starts_with("USB MIDI")) names.push_back(caps);
    }
    return names;
  };
  const std::vector<std::string> inputs = named(true), outputs = named(false);
  ASSERT_EQ(inputs.size(), 1u);
  ASSERT_EQ(outputs.size(), 1u);
  EXPECT_LE(inputs[0].size(), room);
  EXPECT_TRUE(inputs[0].ends_with(":out")) << inputs[0];
  EXPECT_TRUE(outputs[0].ends_with(":in")) << outputs[0];
}

// The ports of every updater on the server (another window's or command line's running update,
// whatever suffix the server gave its client) are never devices; clients that only look alike
// are. Two units of one long name prefix read apart by the digits that differ, and each is
// identified by its full name.
TEST_F(JackBackendTest, UpdatersPortsAreNeverDevicesAndLongNamesReadApart) {
  struct Row {
    const char* client;
    bool listed;
  };
  const std::vector<Row> rows = {
      {"varnet-update", false},
      {"varnet-update-01", false},
      {"varnet-update-x", true},
      {"varnet-updater", true},
      {"converter-rack-left-unit-0001", true},
      {"converter-rack-left-unit-0002", true},
  };
  std::vector<std::unique_ptr<JackMidiClient>> clients;
  for (const Row& row : rows) {
    jack_status_t status{};
    clients.push_back(JackMidiClient::Open(row.client, {}, &status));
    ASSERT_NE(clients.back(), nullptr) << row.client;
    ASSERT_EQ(clients.back()->clientName(), row.client);
  }
  const std::size_t room = kMidiNameLength - 1 - 3;  // behind the merged list's "J: "
  auto platform = CreateJackMidiPlatform("varnet-update", room);
  for (const bool input : {true, false}) {
    const char* own = input ? ":out" : ":in";
    std::vector<std::string> full, shown;
    const uint32_t n = input ? platform->inGetNumDevs() : platform->outGetNumDevs();
    for (uint32_t i = 0; i < n; ++i) {
      PortIdentity id;
      char caps[kMidiNameLength];
      ASSERT_EQ(input ? platform->inGetDevIdentity(i, id) : platform->outGetDevIdentity(i, id), 0u);
      ASSERT_EQ(input ? platform->inGetDevCaps(i, caps) : platform->outGetDevCaps(i, caps), 0u);
      full.push_back(id.fullName);
      shown.push_back(caps);
    }
    for (const Row& row : rows) {
      const bool listed =
          std::find(full.begin(), full.end(), row.client + std::string(own)) != full.end();
      EXPECT_EQ(listed, row.listed) << row.client << own;
    }
    std::vector<std::string> units;
    for (std::size_t i = 0; i < full.size(); ++i) {
      if (full[i].starts_with("converter-rack")) units.push_back(shown[i]);
    }
    ASSERT_EQ(units.size(), 2u);
    EXPECT_TRUE(units[0].ends_with(std::string("1") + own)) << units[0];
    EXPECT_TRUE(units[1].ends_with(std::string("2") + own)) << units[1];
    EXPECT_LE(units[0].size(), room);
  }
}

TEST_F(JackBackendTest, PartialSysexChunksPassUnchangedAndComeBackInBuffers) {
  openBoth();
  peer_.echo.store(true);
  std::vector<uint8_t> stream = {0xF0, 0x00, 0x20, 0x0D};
  for (int i = 0; i < 300; ++i) stream.push_back(static_cast<uint8_t>(i & 0x7F));
  stream.push_back(0xF7);
  for (std::size_t at = 0; at < stream.size(); at += 32) {
    const std::size_t n = std::min<std::size_t>(32, stream.size() - at);
    ASSERT_TRUE(sendLong({stream.begin() + at, stream.begin() + at + n})) << "chunk at " << at;
  }
  ASSERT_TRUE(WaitUntil([&] { return host_.inputCount() >= stream.size(); }, 2000ms));
  {
    std::scoped_lock lock(peer_.mutex);
    EXPECT_EQ(peer_.received, stream);
    // Each long message arrived as one raw event of its own size.
    EXPECT_EQ(peer_.eventSizes.front(), 32u);
  }
  {
    std::scoped_lock lock(host_.mutex);
    EXPECT_EQ(host_.input, stream);
  }
  closeBoth();
}

TEST_F(JackBackendTest, MessagesLargerThanOneCycleAreSplitAcrossCycles) {
  openBoth();
  // Three messages of 30000 bytes do not fit one 32 KB port buffer together.
  std::vector<uint8_t> all(90000);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<uint8_t>((i * 7) & 0x7F);
  std::array<std::vector<uint8_t>, 3> parts;
  std::array<MidiHeader, 3> headers{};
  for (int m = 0; m < 3; ++m) {
    parts[m].assign(all.begin() + m * 30000, all.begin() + (m + 1) * 30000);
    headers[m] = MidiHeader{parts[m].data(), 30000, 0, 0};
    ASSERT_EQ(platform_->outPrepareHeader(out_, &headers[m]), 0u);
    ASSERT_EQ(platform_->outLongMsg(out_, &headers[m]), 0u);
  }
  ASSERT_TRUE(WaitUntil([&] { return host_.done.load() == 3; }, 3000ms));
  for (auto& h : headers) EXPECT_TRUE(h.flags & MHDR_DONE);
  ASSERT_TRUE(WaitUntil([&] { return peer_.receivedCount() == all.size(); }, 2000ms))
      << peer_.receivedCount() << " bytes, " << peer_.client->droppedInputEvents()
      << " events dropped";
  std::scoped_lock lock(peer_.mutex);
  EXPECT_EQ(peer_.received, all);
  EXPECT_GT(peer_.eventSizes.size(), 3u);  // at least one message was split
  EXPECT_TRUE(std::all_of(peer_.eventSizes.begin(), peer_.eventSizes.end(),
                          [](std::size_t n) { return n <= 30000; }));
}

TEST_F(JackBackendTest, VanishedPeerIsAnUnpluggedDevice) {
  openBoth();
  peer_.echo.store(true);
  ASSERT_TRUE(sendLong({0xF0, 0x00, 0x20, 0x0D, 0xF7}));
  ASSERT_TRUE(WaitUntil([&] { return host_.inputCount() >= 5; }, 2000ms));
  peer_.client.reset();  // the device is unplugged
  // Once the server has taken its ports away, nothing sent may be reported done.
  ASSERT_TRUE(
      WaitUntil([&] { return FindDevice(*platform_, true, "peer:out") == 0xFFFFFFFFu; }, 2000ms));
  // The pending message never completes, however long we wait for it.
  EXPECT_FALSE(sendLong({0x01, 0x02, 0x03}, 300ms));
  EXPECT_TRUE(header_.flags & MHDR_INQUEUE);
  EXPECT_EQ(platform_->outUnprepareHeader(out_, &header_), MIDIERR_STILLPLAYING);
  // Closing does not hang and does not refuse: the bytes will never arrive anywhere.
  host_.requeue.store(false);
  EXPECT_EQ(platform_->inReset(host_.in), 0u);
  EXPECT_EQ(platform_->inClose(host_.in), 0u);
  EXPECT_EQ(platform_->outClose(out_), 0u);
  // The peer's ports are no longer listed.
  EXPECT_EQ(FindDevice(*platform_, true, "peer:out"), 0xFFFFFFFFu);
}

TEST_F(JackBackendTest, ServerShutdownIsAnUnpluggedDevice) {
  openBoth();
  ASSERT_TRUE(sendLong({0xF0, 0x00}));
  // The peer stays: only the server's going away can tell the backend the device is gone.
  server_.stop();
  EXPECT_FALSE(sendLong({0x01}, 300ms));
  host_.requeue.store(false);
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform_->inReset(host_.in), 0u);
  EXPECT_EQ(platform_->inClose(host_.in), 0u);
  EXPECT_EQ(platform_->outReset(out_), 0u);
  EXPECT_EQ(platform_->outClose(out_), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  // Without a server there is nothing to list, and opening says why.
  EXPECT_EQ(platform_->inGetNumDevs(), 0u);
}

TEST_F(JackBackendTest, OpenFailsCleanlyWhenTheServerHasNoRoomForItsPorts) {
  // The server takes 16 ports; the peer has two. Some client gets its connection but not its
  // ports: that half-built client must be closed without harm and leave no trace in the server.
  std::vector<std::unique_ptr<JackMidiClient>> clients;
  jack_status_t status{};
  for (int i = 0; i < 16; ++i) {
    status = jack_status_t{};
    auto client = JackMidiClient::Open("filler", {}, &status);
    if (!client) break;
    clients.push_back(std::move(client));
  }
  ASSERT_LT(clients.size(), 16u);
  EXPECT_TRUE(status & JackFailure);
  // The ones that opened work, and the port table is usable again once they are gone.
  ASSERT_FALSE(clients.empty());
  EXPECT_EQ(clients.back()->connectOutputTo("peer:in"), 0);
  clients.clear();
  EXPECT_NE(JackMidiClient::Open("again", {}, &status), nullptr);
  EXPECT_NE(FindDevice(*platform_, true, "peer:out"), 0xFFFFFFFFu);
}

// The device must see the sender's spacing and pauses, not the server's period: a message is done
// as soon as the backend has its copy, and it is written at the frame one period after its send.
class JackPeriodTest : public JackBackendTest, public ::testing::WithParamInterface<unsigned> {
 protected:
  void SetUp() override { startAll(GetParam(), false); }
};

TEST_P(JackPeriodTest, PeerSeesTheSendersSpacingAndPausesAtAnyPeriod) {
  openBoth();
  using Steady = std::chrono::steady_clock;
  // Gaps before each message: 10 ms, with pauses of 20 and 115 ms (the shortest and a long one).
  const std::vector<std::chrono::milliseconds> gaps = {0ms,  10ms,  10ms, 30ms, 10ms,
                                                       10ms, 125ms, 10ms, 10ms};
  // Each gap is counted from the return of the send before, as the update's sender does: the
  // backend stamps a message somewhere inside the call.
  std::vector<Steady::time_point> sentAt, returnedAt;
  std::array<uint8_t, 32> piece{};
  piece.fill(0x11);
  for (std::size_t i = 0; i < gaps.size(); ++i) {
    if (i > 0) std::this_thread::sleep_until(returnedAt.back() + gaps[i]);
    sentAt.push_back(Steady::now());
    ASSERT_TRUE(sendLong({piece.begin(), piece.end()}));
    returnedAt.push_back(Steady::now());
    // Done long before the cycle that carries it: the sender is never held to one per cycle.
    // Checked where half a period leaves room for a loaded machine's scheduling; at the shorter
    // periods a sender held to the cycle shows in the gaps at the peer below.
    const auto halfPeriod = std::chrono::microseconds(GetParam() * 1'000'000ull / 48'000 / 2);
    if (halfPeriod >= 20ms) {
      EXPECT_LT(Steady::now() - sentAt.back(), halfPeriod) << "message " << i;
    }
  }
  ASSERT_TRUE(WaitUntil([&] { return peer_.eventCount() >= gaps.size(); }, 2000ms));
  std::scoped_lock lock(peer_.mutex);
  ASSERT_EQ(peer_.eventTimes.size(), gaps.size());
  for (std::size_t i = 1; i < gaps.size(); ++i) {
    const auto atPeer = std::chrono::microseconds(peer_.eventTimes[i] - peer_.eventTimes[i - 1]);
    const auto atSend =
        std::chrono::duration_cast<std::chrono::microseconds>(sentAt[i] - sentAt[i - 1]);
    // Never shorter, whatever the load: a message written late holds back the ones after it.
    // (The microsecond is the peer's rounding of frames to microseconds.)
    EXPECT_GE(atPeer, gaps[i] - 1us) << "gap before message " << i;
    // Held to the server's cycles, gaps would come out as whole periods (21 ms at 1024 frames);
    // the slack is for a sending thread held up between its clock reading and the send.
    EXPECT_NEAR(atPeer.count(), atSend.count(), 5000) << "gap before message " << i;
  }
  closeBoth();
}

INSTANTIATE_TEST_SUITE_P(Periods, JackPeriodTest, ::testing::Values(64u, 1024u, 4096u));

// A device's answers leave when they are made, however far the server's frames fall behind the
// clock: a simulated converter that kept the gaps between its answers on its own clock was seen
// answering later with every update it served (a loaded dummy driver stalls, and its frames do
// not make up for the stall), until the host's 500 ms wait for the identify reply ran out every
// time. Here the server is stopped for a while every tenth answer.
TEST_F(JackBackendTest, AnswersDoNotFallBehindAStallingServer) {
  openBoth();
  peer_.client->setSendsKeepGaps(false);
  using Steady = std::chrono::steady_clock;
  constexpr std::size_t kAnswers = 60;
  const std::vector<uint8_t> answer = {0xF0, 0x01, 0x02, 0xF7};
  std::vector<Steady::time_point> sentAt;
  for (std::size_t i = 0; i < kAnswers; ++i) {
    if (i % 10 == 5) {
      // Six stalls of 100 ms: gaps kept on the clock would put the last answer 0.6 s behind.
      kill(server_.pid(), SIGSTOP);
      std::this_thread::sleep_for(100ms);
      kill(server_.pid(), SIGCONT);
    }
    std::this_thread::sleep_for(30ms);
    sentAt.push_back(Steady::now());
    ASSERT_TRUE(peer_.client->send(answer.data(), answer.size(), 0));
  }
  ASSERT_TRUE(WaitUntil(
      [&] {
        std::scoped_lock lock(host_.mutex);
        return host_.inputAt.size() >= kAnswers;
      },
      5000ms));
  auto latest = Steady::duration::zero();
  {
    std::scoped_lock lock(host_.mutex);
    ASSERT_EQ(host_.inputAt.size(), kAnswers);
    for (std::size_t i = 0; i < kAnswers; ++i)
      latest = std::max(latest, host_.inputAt[i] - sentAt[i]);
  }
  // One stall's worth may show (the answer after it is stamped from the last cycle seen before
  // it), and a loaded machine's scheduling; never the stalls added up.
  EXPECT_LT(latest, 250ms);
  closeBoth();
}

// A port that leads to hardware passes its bytes on to a 3125 bytes/s wire: messages sent back to
// back reach it, and are reported done, no faster than the wire carries them.
TEST_F(JackBackendTest, HardwareBridgeIsPacedAtTheWiresSpeed) {
  TearDown();
  startAll(128, true);
  openBoth();
  constexpr int kCount = 8;
  std::array<std::vector<uint8_t>, kCount> parts;
  std::array<MidiHeader, kCount> headers{};
  const auto start = std::chrono::steady_clock::now();
  for (int m = 0; m < kCount; ++m) {
    parts[m].assign(32, static_cast<uint8_t>(m));
    headers[m] = MidiHeader{parts[m].data(), 32, 0, 0};
    ASSERT_EQ(platform_->outPrepareHeader(out_, &headers[m]), 0u);
    ASSERT_EQ(platform_->outLongMsg(out_, &headers[m]), 0u);
  }
  const auto wire = std::chrono::microseconds(32 * 1'000'000 / 3125);  // 10.24 ms a message
  ASSERT_TRUE(WaitUntil([&] { return host_.done.load() == kCount; }, 2000ms));
  {
    // Each is done only once it and all before it have left the wire, however late this thread
    // looks (a loaded machine, a sanitizer).
    std::scoped_lock lock(host_.mutex);
    ASSERT_EQ(host_.doneAt.size(), static_cast<std::size_t>(kCount));
    for (int m = 0; m < kCount; ++m)
      EXPECT_GE(host_.doneAt[m] - start, (m + 1) * wire) << "message " << m;
  }
  ASSERT_TRUE(WaitUntil([&] { return peer_.eventCount() == kCount; }, 2000ms));
  std::scoped_lock lock(peer_.mutex);
  for (int m = 1; m < kCount; ++m)
    EXPECT_GE(std::chrono::microseconds(peer_.eventTimes[m] - peer_.eventTimes[m - 1]),
              wire - 100us)
        << "message " << m;
}

// A reset drops only what was queued before it and not yet done; the closing F7 sent after it
// reaches the device, also with a long period and a close right behind it.
struct ResetCase {
  bool bridge;    // the peer is a hardware bridge: queued messages are done one by one
  int doneFirst;  // messages reported done before the reset: they still go out, the rest not
};

class JackResetTest : public JackBackendTest, public ::testing::WithParamInterface<ResetCase> {
 protected:
  void SetUp() override { startAll(4096, GetParam().bridge); }
};

TEST_P(JackResetTest, ResetKeepsWhatFollowsIt) {
  openBoth();
  constexpr int kCount = 4;
  std::array<std::vector<uint8_t>, kCount> parts;
  std::array<MidiHeader, kCount> headers{};
  for (int m = 0; m < kCount; ++m) {
    parts[m].assign(32, static_cast<uint8_t>(0x10 + m));
    headers[m] = MidiHeader{parts[m].data(), 32, 0, 0};
    ASSERT_EQ(platform_->outPrepareHeader(out_, &headers[m]), 0u);
    ASSERT_EQ(platform_->outLongMsg(out_, &headers[m]), 0u);
  }
  ASSERT_TRUE(WaitUntil([&] { return host_.done.load() >= GetParam().doneFirst; }, 2000ms));
  const int doneBefore = host_.done.load();
  ASSERT_EQ(platform_->outReset(out_), 0u);
  for (auto& h : headers) EXPECT_TRUE(h.flags & MHDR_DONE);  // every header is back
  ASSERT_TRUE(sendLong({0xF7}));
  closeBoth();  // at once: the F7 is still a period ahead of the server
  auto lastIsF7 = [&] {
    std::scoped_lock lock(peer_.mutex);
    return !peer_.received.empty() && peer_.received.back() == 0xF7;
  };
  EXPECT_TRUE(WaitUntil(lastIsF7, 2000ms));
  std::scoped_lock lock(peer_.mutex);
  ASSERT_FALSE(peer_.received.empty());
  const std::size_t pieces = peer_.received.size() - 1;
  EXPECT_EQ(pieces, doneBefore * 32u);
  if (GetParam().bridge) {
    EXPECT_LT(doneBefore, kCount);
  }
  EXPECT_EQ(std::count(peer_.received.begin(), peer_.received.end(), 0xF7), 1);
}

INSTANTIATE_TEST_SUITE_P(Ports, JackResetTest,
                         ::testing::Values(ResetCase{false, 4}, ResetCase{true, 1}),
                         [](const ::testing::TestParamInfo<ResetCase>& info) {
                           return std::string(info.param.bridge ? "HardwareBridge" : "PlainPort");
                         });

// A test that crashes must not leave its server running: leftover servers fill JACK's shared
// registry until no test on the machine can start one.
TEST(JackTestServer, DiesWithACrashedTest) {
  if (!testing::JackdInstalled()) GTEST_SKIP() << "jackd is not installed";
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  // The death test runs this body again in a new process: the name must come from the first.
  const char* given = std::getenv("VARNET_TEST_CRASH_SERVER");
  const std::string name = given ? given : "varnet-test-" + std::to_string(getpid()) + "-crash";
  setenv("VARNET_TEST_CRASH_SERVER", name.c_str(), 1);
  const std::string pidFile = ::testing::TempDir() + name + ".pid";
  std::remove(pidFile.c_str());
  EXPECT_EXIT(
      {
        testing::JackServer server;
        if (!server.start(name)) std::exit(3);
        if (FILE* f = std::fopen(pidFile.c_str(), "w")) {
          std::fprintf(f, "%d\n", static_cast<int>(server.pid()));
          std::fclose(f);
        }
        std::abort();  // no destructor gets to stop the server
      },
      ::testing::KilledBySignal(SIGABRT), "");
  int pid = 0;
  if (FILE* f = std::fopen(pidFile.c_str(), "r")) {
    if (std::fscanf(f, "%d", &pid) != 1) pid = 0;
    std::fclose(f);
  }
  std::remove(pidFile.c_str());
  ASSERT_GT(pid, 0);
  // Gone, or at most a zombie its new parent has not reaped yet.
  auto gone = [pid] {
    if (kill(pid, 0) != 0) return true;
    FILE* f = std::fopen(("/proc/" + std::to_string(pid) + "/stat").c_str(), "r");
    if (f == nullptr) return true;
    char state = 0;
    const int n = std::fscanf(f, "%*d (%*[^)]) %c", &state);
    std::fclose(f);
    return n == 1 && state == 'Z';
  };
  EXPECT_TRUE(WaitUntil(gone, 5000ms));
  if (!gone()) kill(pid, SIGKILL);
  // It shut down properly: its shared memory went with it.
  EXPECT_TRUE(WaitUntil(
      [&] {
        std::error_code ignored;
        for (const auto& e : std::filesystem::directory_iterator("/dev/shm", ignored))
          if (e.path().filename().string().find(name) != std::string::npos) return false;
        return true;
      },
      2000ms));
}

TEST(JackWithoutServer, HasNoDevicesAndDoesNotStartOne) {
  setenv("JACK_DEFAULT_SERVER", "varnet-test-no-such-server", 1);
  auto platform = CreateJackMidiPlatform("varnet-test");
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(platform->inGetNumDevs(), 0u);
  EXPECT_EQ(platform->outGetNumDevs(), 0u);
  EXPECT_LT(std::chrono::steady_clock::now() - start, 2s);
  MidiHandle h = 0;
  EXPECT_EQ(platform->inOpen(&h, 0, nullptr, 0), MMSYSERR_BADDEVICEID);
  EXPECT_EQ(JackResultText(kJackResultBase | JackServerFailed), "No JACK server is running.");
  EXPECT_EQ(JackUnavailableReason(), "no server running");
  EXPECT_EQ(JackResultText(MMSYSERR_BADDEVICEID), StandardMidiErrorText(MMSYSERR_BADDEVICEID));
}

}  // namespace
}  // namespace varnet
