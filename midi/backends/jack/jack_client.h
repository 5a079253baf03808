// One JACK client with one MIDI input and one MIDI output port, for the updater (which connects
// them to a device's ports) and for the simulated converter (which publishes them for others to
// connect). The process callback meets the rest of the program only through lock-free ring
// buffers and atomic words: it never allocates, locks or calls back into program code.
#pragma once

#include <jack/jack.h>
#include <jack/ringbuffer.h>
#include <semaphore.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
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
    // Bytes of one received MIDI event, on the client's delivery thread (not the process thread).
    std::function<void(const uint8_t* data, std::size_t size)> received;
    // A message handed to send() has been written whole into the output port, on the delivery
    // thread. Messages dropped by discardPendingOutput() are reported too, with `written` false.
    std::function<void(uintptr_t token, bool written)> sent;
  };

  // Opens a client under `name` (the server may append a suffix when the name is taken) with the
  // ports "in" and "out", and activates it. On failure returns null and sets *status.
  static std::unique_ptr<JackMidiClient> Open(const std::string& name, Events events,
                                              jack_status_t* status);
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

  // Received events are passed on only while enabled.
  void setInputEnabled(bool enabled) { inputEnabled_.store(enabled); }

  // Queues one message (any bytes, partial System Exclusive included). It goes out as one raw
  // event, or as several across cycles when the port buffer has no room for all of it. False
  // when the message can never fit the queue or the queue is full right now.
  bool send(const uint8_t* data, std::size_t size, uintptr_t token);
  // Messages queued and not yet reported through Events::sent.
  std::size_t pendingOutput() const { return pending_.load(); }
  // Asks the process callback to drop what is still queued; each dropped message is reported
  // with written = false. Without a running server nothing is dropped (the device is gone).
  void discardPendingOutput();

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

  Events events_;
  jack_client_t* client_ = nullptr;
  jack_port_t* in_ = nullptr;
  jack_port_t* out_ = nullptr;
  ByteRing inRing_;    // process -> delivery: [u32 size][bytes]
  ByteRing outRing_;   // send -> process: [u32 size][token][bytes]
  ByteRing doneRing_;  // process -> delivery: [token][u8 written]
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
  std::atomic<bool> discardRequested_{false};
  std::atomic<std::size_t> pending_{0};
  std::atomic<uint64_t> droppedInput_{0};
  std::vector<uint8_t> deliveryBuffer_;
  // Owned by the process callback alone: the message it is part-way through writing.
  uint32_t currentRemaining_ = 0;
  uintptr_t currentToken_ = 0;
  bool currentActive_ = false;
};

}  // namespace varnet::jackmidi
