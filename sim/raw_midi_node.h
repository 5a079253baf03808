// A raw MIDI node (/dev/snd/midiC*D*) seen from the device's side of the cable: bytes read from
// it are what the host sent, bytes written to it go back to the host. Plain read and write, so
// the bytes are exactly the wire's whatever MIDI system the host reaches the node through.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "core/clock.h"

namespace varnet::sim {

// When bytes read from a node reach the device. The node stands for an interface's MIDI OUT: its
// cable carries one byte every 320 us (31250 baud, ten bits a byte), so a burst read at once
// reaches the device over the burst's wire time, and a burst read before the cable has carried
// the one before waits for it.
class CableArrivals {
 public:
  static constexpr Clock::Duration kByteTime = std::chrono::microseconds(320);
  // The arrival of the first of `count` bytes read at `readAt`; the others follow kByteTime apart.
  Clock::TimePoint arrive(Clock::TimePoint readAt, std::size_t count);

 private:
  Clock::TimePoint idleAt_{};  // when the cable has carried everything so far
};

class RawMidiNode {
 public:
  using Received = std::function<void(const uint8_t* data, std::size_t size)>;

  // Opens `path` for reading and writing. Null, and the reason in `error`, when it cannot.
  static std::unique_ptr<RawMidiNode> Open(const std::string& path, Received received,
                                           std::string& error);
  // Takes over `fd`, an open descriptor that behaves like a node (blocking read and write).
  static std::unique_ptr<RawMidiNode> Adopt(int fd, std::string path, Received received);

  RawMidiNode(const RawMidiNode&) = delete;
  RawMidiNode& operator=(const RawMidiNode&) = delete;
  // Stops the reader (within one poll interval) and closes the node.
  ~RawMidiNode();

  // Writes every byte; blocks while the node's output buffer is full, which is the flow control
  // a cable gives. False, and failed() from then on, when the node refuses them.
  bool write(const uint8_t* data, std::size_t size);
  // True once a read or write failed or the node reported its end: the cable has gone.
  bool failed() const { return failed_.load(); }
  const std::string& path() const { return path_; }

 private:
  RawMidiNode(int fd, std::string path, Received received);
  void readLoop();

  int fd_;
  std::string path_;
  Received received_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> failed_{false};
  std::thread reader_;
};

}  // namespace varnet::sim
