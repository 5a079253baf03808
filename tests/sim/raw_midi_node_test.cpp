// The device's side of a raw MIDI node, on one end of a socket pair standing in for the node
// (blocking read and write, a hang-up when the far end goes).
#include "sim/raw_midi_node.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <numeric>
#include <thread>
#include <vector>

namespace varnet::sim {
namespace {

using namespace std::chrono_literals;

// Bytes the node handed over, and a bounded wait for them.
struct Sink {
  std::mutex mutex;
  std::condition_variable arrived;
  std::vector<uint8_t> bytes;

  RawMidiNode::Received callback() {
    return [this](const uint8_t* data, std::size_t size) {
      std::scoped_lock lock(mutex);
      bytes.insert(bytes.end(), data, data + size);
      arrived.notify_all();
    };
  }
  std::vector<uint8_t> waitFor(std::size_t count) {
    std::unique_lock lock(mutex);
    arrived.wait_for(lock, 5s, [&] { return bytes.size() >= count; });
    return bytes;
  }
};

struct Pair {
  int node = -1;  // handed to RawMidiNode
  int host = -1;  // the host's side of the cable
  Pair() {
    int fds[2];
    EXPECT_EQ(::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds), 0);
    node = fds[0];
    host = fds[1];
  }
  ~Pair() {
    if (host >= 0) ::close(host);
  }
};

std::vector<uint8_t> Pattern(std::size_t size) {
  std::vector<uint8_t> bytes(size);
  for (std::size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 37 + i / 256);
  return bytes;
}

bool WaitUntilFailed(const RawMidiNode& node) {
  const auto deadline = std::chrono::steady_clock::now() + 5s;
  while (!node.failed() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(1ms);
  return node.failed();
}

TEST(RawMidiNodeTest, HandsOverWhatTheHostWritesInOrderWhateverTheWriteSizes) {
  struct Case {
    const char* name;
    std::vector<std::size_t> writes;
  };
  const Case cases[] = {
      {"single bytes", std::vector<std::size_t>(300, 1)},
      {"one write larger than the read buffer", {1000}},
      {"around the read buffer's size", {255, 1, 256, 257, 3}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Pair pair;
    Sink sink;
    auto node = RawMidiNode::Adopt(pair.node, "pair", sink.callback());
    const std::size_t total = std::accumulate(c.writes.begin(), c.writes.end(), std::size_t{0});
    const std::vector<uint8_t> sent = Pattern(total);
    std::size_t at = 0;
    for (std::size_t n : c.writes) {
      ASSERT_EQ(::write(pair.host, sent.data() + at, n), static_cast<ssize_t>(n));
      at += n;
    }
    EXPECT_EQ(sink.waitFor(total), sent);
    EXPECT_FALSE(node->failed());
  }
}

TEST(RawMidiNodeTest, AWriteLargerThanTheNodesBufferWaitsForTheHostAndArrivesWhole) {
  Pair pair;
  Sink sink;
  int small = 4096;
  ASSERT_EQ(::setsockopt(pair.node, SOL_SOCKET, SO_SNDBUF, &small, sizeof small), 0);
  auto node = RawMidiNode::Adopt(pair.node, "pair", sink.callback());
  const std::vector<uint8_t> sent = Pattern(256 * 1024);
  std::vector<uint8_t> got;
  std::thread host([&] {
    uint8_t buffer[512];
    while (got.size() < sent.size()) {
      const ssize_t n = ::read(pair.host, buffer, sizeof buffer);
      if (n <= 0) return;
      got.insert(got.end(), buffer, buffer + n);
    }
  });
  EXPECT_TRUE(node->write(sent.data(), sent.size()));
  host.join();
  EXPECT_EQ(got, sent);
}

TEST(RawMidiNodeTest, AHostThatGoesAwayMarksTheNodeFailedAndWritesAreRefused) {
  Pair pair;
  Sink sink;
  auto node = RawMidiNode::Adopt(pair.node, "pair", sink.callback());
  const uint8_t before[] = {0xF0, 0x7E};
  ASSERT_EQ(::write(pair.host, before, sizeof before), 2);
  EXPECT_EQ(sink.waitFor(2).size(), 2u);
  ::close(pair.host);
  pair.host = -1;
  EXPECT_TRUE(WaitUntilFailed(*node));
  // A real node never raises SIGPIPE; the socket standing in for it would.
  struct sigaction ignore {
  }, previous{};
  ignore.sa_handler = SIG_IGN;
  ::sigaction(SIGPIPE, &ignore, &previous);
  const uint8_t after[] = {0xF7};
  EXPECT_FALSE(node->write(after, sizeof after));
  ::sigaction(SIGPIPE, &previous, nullptr);
}

TEST(RawMidiNodeTest, AMissingNodeIsNamedWithTheSystemsReason) {
  std::string error;
  auto node = RawMidiNode::Open(
      "/nonexistent/midiC9D9", [](const uint8_t*, std::size_t) {}, error);
  EXPECT_EQ(node, nullptr);
  EXPECT_NE(error.find("/nonexistent/midiC9D9"), std::string::npos) << error;
  EXPECT_NE(error.find(std::strerror(ENOENT)), std::string::npos) << error;
}

TEST(CableArrivalsTest, BurstsReachTheDeviceAtTheCablesSpeed) {
  using std::chrono::microseconds;
  const Clock::TimePoint t0{std::chrono::seconds(100)};
  const auto byte = CableArrivals::kByteTime;
  struct Read {
    microseconds at;  // read time after t0
    std::size_t count;
    microseconds expectedFirst;  // arrival of its first byte after t0
  };
  struct Case {
    const char* name;
    std::vector<Read> reads;
  };
  const Case cases[] = {
      {"a burst read before the cable has carried the previous one waits for it",
       {{microseconds(0), 32, microseconds(0)}, {microseconds(1000), 32, 32 * byte}}},
      {"a read after the cable ran idle arrives when read",
       {{microseconds(0), 32, microseconds(0)}, {microseconds(20000), 1, microseconds(20000)}}},
      {"a read the moment the cable runs idle follows at once",
       {{microseconds(0), 10, microseconds(0)}, {10 * byte, 5, 10 * byte}}},
      {"bursts queued behind one another add up",
       {{microseconds(0), 256, microseconds(0)},
        {microseconds(1), 256, 256 * byte},
        {microseconds(2), 1, 512 * byte}}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    CableArrivals cable;
    for (const Read& r : c.reads) EXPECT_EQ(cable.arrive(t0 + r.at, r.count), t0 + r.expectedFirst);
  }
}

}  // namespace
}  // namespace varnet::sim
