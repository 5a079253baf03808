#include "sim/raw_midi_node.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace varnet::sim {

namespace {
// How long the reader waits for bytes before it looks at the stop flag again.
constexpr int kPollMilliseconds = 50;
}  // namespace

Clock::TimePoint CableArrivals::arrive(Clock::TimePoint readAt, std::size_t count) {
  const Clock::TimePoint first = std::max(readAt, idleAt_);
  idleAt_ = first + kByteTime * static_cast<Clock::Duration::rep>(count);
  return first;
}

std::unique_ptr<RawMidiNode> RawMidiNode::Open(const std::string& path, Received received,
                                               std::string& error) {
  const int fd = ::open(path.c_str(), O_RDWR | O_CLOEXEC);
  if (fd < 0) {
    error = "cannot open " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  return Adopt(fd, path, std::move(received));
}

std::unique_ptr<RawMidiNode> RawMidiNode::Adopt(int fd, std::string path, Received received) {
  return std::unique_ptr<RawMidiNode>(new RawMidiNode(fd, std::move(path), std::move(received)));
}

RawMidiNode::RawMidiNode(int fd, std::string path, Received received)
    : fd_(fd), path_(std::move(path)), received_(std::move(received)) {
  reader_ = std::thread([this] { readLoop(); });
}

RawMidiNode::~RawMidiNode() {
  stop_.store(true);
  if (reader_.joinable()) reader_.join();
  ::close(fd_);
}

bool RawMidiNode::write(const uint8_t* data, std::size_t size) {
  while (size > 0) {
    const ssize_t n = ::write(fd_, data, size);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      failed_.store(true);
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

void RawMidiNode::readLoop() {
  uint8_t buffer[256];
  pollfd pfd{fd_, POLLIN, 0};
  while (!stop_.load()) {
    const int ready = ::poll(&pfd, 1, kPollMilliseconds);
    if (ready < 0 && errno != EINTR) break;
    if (ready <= 0) continue;
    // A node that hangs up (an unplugged interface) reports POLLHUP or POLLERR without data.
    const ssize_t n = ::read(fd_, buffer, sizeof buffer);
    if (n > 0) {
      received_(buffer, static_cast<std::size_t>(n));
    } else if (n == 0 || errno != EINTR) {
      break;
    }
  }
  if (!stop_.load()) failed_.store(true);
}

}  // namespace varnet::sim
