// One JACK client with one MIDI input and one MIDI output port, for the updater (which connects
// them to a device's ports) and for the simulated converter (which publishes them for others to
// connect). The process callback meets the rest of the program only through lock-free ring
// buffers and atomic words: it never allocates, locks or calls back into program code.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace varnet::jackmidi {

// A jack_ringbuffer for one writer and one reader thread, with the amounts written and read also
// counted in atomic words that order every access: the library's own indices are plain memory,
// which the C++ memory model (and ThreadSanitizer) cannot see as synchronisation. Lock-free and
// allocation-free after create(); the storage is locked in memory for the process thread.
class ByteRing {
 public:
  ByteRing() = default;
  ~ByteRing();
  ByteRing(const ByteRing&) = delete;
  ByteRing& operator=(const ByteRing&) = delete;

  bool create(std::size_t size);
  // Reader side.
  std::size_t readable() const;
  void peek(void* to, std::size_t count) const;
  void read(void* to, std::size_t count);
  void skip(std::size_t count);
  // Writer side.
  std::size_t writable() const;
  void write(const void* from, std::size_t count);

 private:
  jack_ringbuffer_t* ring_ = nullptr;
  std::size_t capacity_ = 0;
  std::atomic<uint64_t> written_{0};
  std::atomic<uint64_t> read_{0};
};

// Silences the library's own printing to stderr. Safe to call more than once.
void SilenceJackLibrary();

// The MIDI ports of the running server, full names ("client:port"), sorted. `readable` are the
// ports that produce MIDI (our inputs), `writable` the ports that take it (our outputs). Ports
// whose client name is in `excludeClients` are left out. Returns false when no server runs;
// never starts one.
bool ListJackMidiPorts(const std::vector<std::string>& excludeClients,
                       std::vector<std::string>& readable, std::vector<std::string>& writable);

class JackMidiClient {
 public:
  struct Events {
    // Bytes of one received MIDI event, on the client's delivery thread (not the process thread),
    // no earlier than the moment of the frame it was written at.
    std::function<void(const uint8_t* data, std::size_t size)> received;
    // The same with the moment of the event's frame, in microseconds of steady_clock, passed on
    // as soon as its cycle has run; when set it is called instead of `received`. A cycle's events
    // all arrive together: only these times show the spacing the sender produced.
    std::function<void(const uint8_t* data, std::size_t size, uint64_t usecs)> receivedAt;
    // A message handed to send() is ours now, on the delivery thread: at once (the backend holds
    // its own copy), or for a port that is a bridge to hardware when the MIDI wire would have
    // carried it. Messages dropped by discardPendingOutput() are reported too, with `written`
    // false. Nothing is reported for a vanished peer until a discard.
    std::function<void(uintptr_t token, bool written)> sent;
  };

  // Opens a client under `name` (the server may append a suffix when the name is taken) with the
  // ports "in" and "out", and activates it. On failure returns null and sets *status.
  // `physicalPorts` registers them as JackPortIsPhysical, like a hardware bridge's ports.
  static std::unique_ptr<JackMidiClient> Open(const std::string& name, Events events,
                                              jack_status_t* status, bool physicalPorts = false);
  ~JackMidiClient();
  JackMidiClient(const JackMidiClient&) = delete;
  JackMidiClient& operator=(const JackMidiClient&) = delete;

  std::string clientName() const;
  std::string inputPortName() const;
  std::string outputPortName() const;

  // Connects a peer's producing port to our input / our output to a peer's consuming port.
  // Returns 0 or the library's error value.
  int connectInputFrom(const std::string& peerPort);
  int connectOutputTo(const std::string& peerPort);
  void disconnectInput();
  void disconnectOutput();
  // Every port connected to the server's port `port` (full names), as the server lists them; our
  // own ports included. Empty for a port that is gone.
  std::vector<std::string> connectionsOf(const std::string& port) const;

  // Received events are passed on only while enabled.
  void setInputEnabled(bool enabled) { inputEnabled_.store(enabled); }

  // Copies one message (any bytes, partial System Exclusive included) and stamps it for the
  // frame one period after now (after the previous message's wire time on a hardware bridge), so
  // that messages reach the peer with the spacing they were sent with, whatever the period. It
  // goes out as one raw event at that frame, or as several across cycles when the port buffer has
  // no room for all of it. False when the message can never fit the queue or the queue is full
  // right now. Called by one thread at a time.
  bool send(const uint8_t* data, std::size_t size, uintptr_t token);
  // Sends keep the gaps between them on our clock (the default, for a sender whose spacing and
  // pauses the peer must see), or, switched off, each goes out one period after its send, only
  // never before the message sent earlier: for a device's replies and echo, which must leave
  // when they are made. Kept gaps follow our clock, so against a server whose frames run slower
  // (a loaded dummy driver, a sound card's own crystal) the stamps drift ahead of the server for
  // as long as sends keep coming; a device that never stops answering would answer later and
  // later. Set before the first send.
  void setSendsKeepGaps(bool keep) { keepGaps_ = keep; }

  // Messages sent and not yet reported through Events::sent.
  std::size_t pendingOutput() const { return pending_.load(); }
  // Messages sent and not yet written whole into a cycle (nor dropped).
  std::size_t unwrittenOutput() const {
    return static_cast<std::size_t>(sentSeq_.load() - writtenSeq_.load());
  }
  // Waits until every message sent is written into a cycle that has ended (or dropped). Until
  // then a disconnection would lose them. Gives up (false) when the server has run no cycle for
  // `timeout`, or without a server.
  bool awaitOutputWritten(std::chrono::milliseconds timeout);
  // Drops the messages sent before this call and not yet reported; each is reported with
  // written = false. Messages sent after it go out as usual, also within the same cycle. Without
  // a running server nothing is dropped (the device is gone).
  void discardPendingOutput();
  // The connected output peer is a bridge to hardware (a physical port, or PipeWire's MIDI
  // bridge): messages are paced no faster than the MIDI wire, 3125 bytes a second.
  bool outputWirePaced() const { return wirePaced_.load(); }
  // Whether the port `name` of the running server leads to hardware.
  static bool IsHardwareBridge(jack_client_t* client, const std::string& name);

  // The server shut down (or the client was thrown out): like an unplugged device.
  bool serverGone() const { return serverGone_.load(); }
  // The peer of the input / output connection has disappeared since it was connected.
  bool inputPeerGone() const { return inputPeerGone_.load(); }
  bool outputPeerGone() const { return outputPeerGone_.load(); }
  // Received events that the ring buffer had no room for.
  uint64_t droppedInputEvents() const { return droppedInput_.load(); }

 private:
  JackMidiClient() = default;
  static int Process(jack_nframes_t frames, void* arg);
  static void Shutdown(jack_status_t code, const char* reason, void* arg);
  static void PortConnect(jack_port_id_t a, jack_port_id_t b, int connect, void* arg);
  void processInput(jack_nframes_t frames);
  void processOutput(jack_nframes_t frames);
  void deliveryLoop();
  void deliverInput();
  void deliverCompletions();
  bool outputPeerVanished() const;
  uint64_t frameUsecs(jack_nframes_t frame);
  jack_nframes_t frameNow(jack_nframes_t rate) const;
  static int64_t SteadyMicros();

  // A message sent whose completion is not reported yet.
  struct Pending {
    uintptr_t token = 0;
    uint32_t seq = 0;
    std::chrono::steady_clock::time_point due;  // max(): held until a discard (peer gone)
  };

  Events events_;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  ByteRing inRing_;   // process -> delivery: [u32 size][u32 frame][bytes]
  ByteRing outRing_;  // send -> process: [u32 size][u32 seq][u32 frame][bytes]
  sem_t wake_{};
  bool semReady_ = false;
  std::thread delivery_;
  std::atomic<bool> stop_{false};
  std::atomic<bool> inputEnabled_{false};
  std::atomic<bool> serverGone_{false};
  std::atomic<bool> inputPeerGone_{false};
  std::atomic<bool> outputPeerGone_{false};
  std::atomic<bool> inputConnected_{false};
  std::atomic<bool> outputConnected_{false};
  std::atomic<bool> outputSeenConnected_{false};  // the graph has shown the connection
  std::atomic<bool> wirePaced_{false};
  // Messages with sequence numbers in [low, high) (low in the low half, high in the high half,
  // modulo 2^32) are dropped by the process callback: one word, so it never sees half a range.
  std::atomic<uint64_t> discardRange_{0};
  std::atomic<uint32_t> sentSeq_{0};     // sequence number of the next message sent
  std::atomic<uint32_t> writtenSeq_{0};  // every message before it is written or dropped
  std::atomic<std::size_t> pending_{0};
  std::atomic<uint64_t> cycles_{0};  // process callbacks run
  // The frame counter against steady_clock microseconds: frame = us * rate / 10^6 + offset, as
  // the last process callback saw it.
  std::atomic<int64_t> frameOffset_{0};
  std::atomic<bool> cycleSeen_{false};
  std::atomic<uint64_t> droppedInput_{0};
  std::vector<uint8_t> deliveryBuffer_;
  // Delivery thread: received frames are timed from this one on (see frameUsecs()).
  bool anchored_ = false;
  jack_nframes_t anchorFrame_ = 0;
  int64_t anchorUsecs_ = 0;
  int64_t inputDueAt_ = 0;  // steady_clock microseconds of the next event held back, or 0
  // The completions not reported yet, in send order (send and delivery threads).
  std::mutex pendingMutex_;
  std::deque<Pending> pendingList_;
  // Owned by send(): the last message's stamp, and the frame and moment of its send; when the
  // wire is free again.
  jack_nframes_t lastStamp_ = 0;
  jack_nframes_t lastBase_ = 0;
  std::chrono::steady_clock::time_point lastSendAt_{};
  std::chrono::steady_clock::time_point lastStartAt_{};  // when it was meant to start at the peer
  bool stamped_ = false;
  bool keepGaps_ = true;
  std::chrono::steady_clock::time_point wireFreeAt_{};
  // Owned by the process callback alone: the message it is part-way through writing.
  uint32_t currentRemaining_ = 0;
  uint32_t currentSeq_ = 0;
  jack_nframes_t currentFrame_ = 0;
  uint32_t currentMinGap_ = 0;  // frames it must follow the message written before it by
  bool currentActive_ = false;
  bool currentStarted_ = false;  // its first part is written
  // The frame the last message written began at.
  jack_nframes_t lastWrittenFrame_ = 0;
  bool wroteAny_ = false;
};

}  // namespace varnet::jackmidi
