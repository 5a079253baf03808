#include "midi/backends/jack/jack_client.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>

namespace varnet::jackmidi {
namespace {

// Received events wait here for the delivery thread, which is an ordinary thread: under CPU load
// it can miss several cycles, each bringing up to a full 32 KB port buffer. Room for eight.
constexpr std::size_t kRingSize = 1 << 18;  // rounded to a power of two by the library anyway
// The largest single event: one whole port buffer.
constexpr std::size_t kMaxEvent = 1 << 16;
// Room for many queued long messages: a MIDI service accepts as many as the caller queues.
constexpr std::size_t kSendRingSize = 1 << 18;
constexpr std::size_t kOutHeader = sizeof(uint32_t) + sizeof(uintptr_t);
constexpr std::size_t kDoneRecord = sizeof(uintptr_t) + 1;

void Quiet(const char*) {}

std::string ClientOf(const char* portName) {
  const char* colon = std::strchr(portName, ':');
  return colon ? std::string(portName, colon) : std::string(portName);
}

}  // namespace

ByteRing::~ByteRing() {
  if (ring_) jack_ringbuffer_free(ring_);
}

bool ByteRing::create(std::size_t size) {
  ring_ = jack_ringbuffer_create(size);
  if (ring_ == nullptr) return false;
  jack_ringbuffer_mlock(ring_);
  capacity_ = jack_ringbuffer_write_space(ring_);
  return true;
}

std::size_t ByteRing::readable() const {
  return static_cast<std::size_t>(written_.load(std::memory_order_acquire) -
                                  read_.load(std::memory_order_relaxed));
}

void ByteRing::peek(void* to, std::size_t count) const {
  jack_ringbuffer_peek(ring_, static_cast<char*>(to), count);
}

void ByteRing::read(void* to, std::size_t count) {
  jack_ringbuffer_read(ring_, static_cast<char*>(to), count);
  read_.fetch_add(count, std::memory_order_release);
}

void ByteRing::skip(std::size_t count) {
  jack_ringbuffer_read_advance(ring_, count);
  read_.fetch_add(count, std::memory_order_release);
}

std::size_t ByteRing::writable() const {
  return capacity_ - static_cast<std::size_t>(written_.load(std::memory_order_relaxed) -
                                              read_.load(std::memory_order_acquire));
}

void ByteRing::write(const void* from, std::size_t count) {
  jack_ringbuffer_write(ring_, static_cast<const char*>(from), count);
  written_.fetch_add(count, std::memory_order_release);
}

void SilenceJackLibrary() {
  jack_set_error_function(Quiet);
  jack_set_info_function(Quiet);
}

bool ListJackMidiPorts(const std::vector<std::string>& excludeClients,
                       std::vector<std::string>& readable, std::vector<std::string>& writable) {
  readable.clear();
  writable.clear();
  SilenceJackLibrary();
  jack_status_t status{};
  jack_client_t* client = jack_client_open("varnet-list", JackNoStartServer, &status);
  if (client == nullptr) return false;
  auto collect = [&](unsigned long flags, std::vector<std::string>& into) {
    const char** names = jack_get_ports(client, nullptr, JACK_DEFAULT_MIDI_TYPE, flags);
    if (names == nullptr) return;  // the library returns null, not an empty list
    for (const char** n = names; *n != nullptr; ++n) {
      const std::string owner = ClientOf(*n);
      if (std::find(excludeClients.begin(), excludeClients.end(), owner) != excludeClients.end())
        continue;
      into.emplace_back(*n);
    }
    jack_free(names);
    std::sort(into.begin(), into.end());
  };
  collect(JackPortIsOutput, readable);
  collect(JackPortIsInput, writable);
  jack_client_close(client);
  return true;
}

std::unique_ptr<JackMidiClient> JackMidiClient::Open(const std::string& name, Events events,
                                                     jack_status_t* status) {
  SilenceJackLibrary();
  std::unique_ptr<JackMidiClient> self(new JackMidiClient());
  self->events_ = std::move(events);
  jack_status_t localStatus{};
  jack_status_t* st = status ? status : &localStatus;
  self->client_ = jack_client_open(name.c_str(), JackNoStartServer, st);
  if (self->client_ == nullptr) return nullptr;
  if (!self->inRing_.create(kRingSize) || !self->outRing_.create(kSendRingSize) ||
      !self->doneRing_.create(kSendRingSize) || sem_init(&self->wake_, 0, 0) != 0) {
    *st = static_cast<jack_status_t>(JackFailure);
    return nullptr;
  }
  self->semReady_ = true;
  self->in_ = jack_port_register(self->client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput, 0);
  self->out_ =
      jack_port_register(self->client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput, 0);
  if (self->in_ == nullptr || self->out_ == nullptr) {
    *st = static_cast<jack_status_t>(JackFailure);
    return nullptr;
  }
  jack_set_process_callback(self->client_, &JackMidiClient::Process, self.get());
  jack_on_info_shutdown(self->client_, &JackMidiClient::Shutdown, self.get());
  jack_set_port_connect_callback(self->client_, &JackMidiClient::PortConnect, self.get());
  self->deliveryBuffer_.resize(kMaxEvent);
  self->delivery_ = std::thread([p = self.get()] { p->deliveryLoop(); });
  if (jack_activate(self->client_) != 0) {
    *st = static_cast<jack_status_t>(JackFailure);
    return nullptr;  // the destructor stops the thread and closes the client
  }
  return self;
}

JackMidiClient::~JackMidiClient() {
  if (client_ != nullptr && !serverGone_.load()) {
    // Closing deactivates first: after it no callback of the library runs any more.
    jack_client_close(client_);
  }
  // After the server went away the library can no longer close a client cleanly (with a second
  // client in the process it crashes in jack_client_close): the dead client is left as it is.
  // Its process thread can never run again without a server.
  client_ = nullptr;
  stop_.store(true);
  if (semReady_) sem_post(&wake_);
  if (delivery_.joinable()) delivery_.join();
  if (semReady_) sem_destroy(&wake_);
}

std::string JackMidiClient::clientName() const {
  return jack_get_client_name(client_);
}
std::string JackMidiClient::inputPortName() const {
  return jack_port_name(in_);
}
std::string JackMidiClient::outputPortName() const {
  return jack_port_name(out_);
}

int JackMidiClient::connectInputFrom(const std::string& peerPort) {
  const int rc = jack_connect(client_, peerPort.c_str(), jack_port_name(in_));
  if (rc == 0 || rc == EEXIST) {
    inputPeerGone_.store(false);
    inputConnected_.store(true);
    return 0;
  }
  return rc;
}

int JackMidiClient::connectOutputTo(const std::string& peerPort) {
  outputSeenConnected_.store(false);
  outputPeerGone_.store(false);
  const int rc = jack_connect(client_, jack_port_name(out_), peerPort.c_str());
  if (rc == 0 || rc == EEXIST) {
    outputConnected_.store(true);
    return 0;
  }
  return rc;
}

void JackMidiClient::disconnectInput() {
  inputConnected_.store(false);
  if (!serverGone_.load()) jack_port_disconnect(client_, in_);
}

void JackMidiClient::disconnectOutput() {
  outputConnected_.store(false);
  outputSeenConnected_.store(false);
  if (!serverGone_.load()) jack_port_disconnect(client_, out_);
}

bool JackMidiClient::send(const uint8_t* data, std::size_t size, uintptr_t token) {
  if (size > kSendRingSize / 2) return false;
  // Every message not yet reported may need a record in the done ring.
  if ((pending_.load() + 1) * kDoneRecord >= kSendRingSize) return false;
  if (outRing_.writable() < kOutHeader + size) return false;
  // One contiguous record, so that the process callback never sees a header without its bytes.
  uint8_t record[kOutHeader + 512];
  std::vector<uint8_t> big;
  uint8_t* r = record;
  if (size > 512) {
    big.resize(kOutHeader + size);
    r = big.data();
  }
  const auto length = static_cast<uint32_t>(size);
  std::memcpy(r, &length, sizeof length);
  std::memcpy(r + sizeof length, &token, sizeof token);
  if (size > 0) std::memcpy(r + kOutHeader, data, size);
  pending_.fetch_add(1);
  outRing_.write(r, kOutHeader + size);
  return true;
}

void JackMidiClient::discardPendingOutput() {
  discardRequested_.store(true);
}

int JackMidiClient::Process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackMidiClient*>(arg);
  self->processInput(frames);
  self->processOutput(frames);
  return 0;
}

void JackMidiClient::processInput(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(in_, frames);
  const uint32_t count = jack_midi_get_event_count(buffer);
  bool wrote = false;
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    if (!inputEnabled_.load(std::memory_order_relaxed) || inputPeerGone_.load()) continue;
    const auto size = static_cast<uint32_t>(event.size);
    if (size > kMaxEvent || inRing_.writable() < sizeof size + size) {
      droppedInput_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    inRing_.write(&size, sizeof size);
    inRing_.write(event.buffer, size);
    wrote = true;
  }
  if (wrote) sem_post(&wake_);
}

void JackMidiClient::processOutput(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(out_, frames);
  jack_midi_clear_buffer(buffer);
  bool reported = false;
  auto report = [&](uintptr_t token, bool written) {
    char record[kDoneRecord];
    std::memcpy(record, &token, sizeof token);
    record[sizeof token] = written ? 1 : 0;
    // send() admits no more messages than the done ring has records for: always room.
    doneRing_.write(record, kDoneRecord);
    reported = true;
  };
  auto nextMessage = [&]() -> bool {
    if (currentActive_) return true;
    if (outRing_.readable() < kOutHeader) return false;
    char header[kOutHeader];
    outRing_.read(header, kOutHeader);
    std::memcpy(&currentRemaining_, header, sizeof currentRemaining_);
    std::memcpy(&currentToken_, header + sizeof currentRemaining_, sizeof currentToken_);
    currentActive_ = true;
    return true;
  };

  if (discardRequested_.exchange(false)) {
    while (nextMessage()) {
      outRing_.skip(currentRemaining_);
      currentActive_ = false;
      report(currentToken_, false);
    }
  }
  // The graph drops a vanished peer's connections before the notification thread hears of it;
  // looking at the graph here (a lock-free read) closes that window.
  if (outputConnected_.load()) {
    if (jack_port_connected(out_) > 0)
      outputSeenConnected_.store(true);
    else if (outputSeenConnected_.load())
      outputPeerGone_.store(true);
  }
  // A vanished peer takes nothing: what is queued stays queued, like bytes for an unplugged cable.
  if (!outputPeerGone_.load()) {
    while (nextMessage()) {
      if (currentRemaining_ == 0) {
        currentActive_ = false;
        report(currentToken_, true);
        continue;
      }
      const std::size_t room = jack_midi_max_event_size(buffer);
      if (room == 0) break;  // the port buffer is full: the rest goes in the next cycle
      const std::size_t n = std::min<std::size_t>(room, currentRemaining_);
      jack_midi_data_t* event = jack_midi_event_reserve(buffer, 0, n);
      if (event == nullptr) break;
      outRing_.read(event, n);
      currentRemaining_ -= static_cast<uint32_t>(n);
      if (currentRemaining_ == 0) {
        currentActive_ = false;
        report(currentToken_, true);
      }
    }
  }
  if (reported) sem_post(&wake_);
}

void JackMidiClient::Shutdown(jack_status_t, const char*, void* arg) {
  auto* self = static_cast<JackMidiClient*>(arg);
  sem_post(&self->wake_);
  // Last: a client whose server is gone may be destroyed as soon as this is seen, without
  // jack_client_close to wait for this callback.
  self->serverGone_.store(true);
}

void JackMidiClient::PortConnect(jack_port_id_t a, jack_port_id_t b, int connect, void* arg) {
  if (connect != 0) return;
  auto* self = static_cast<JackMidiClient*>(arg);
  jack_port_t* pa = jack_port_by_id(self->client_, a);
  jack_port_t* pb = jack_port_by_id(self->client_, b);
  if ((pb == self->in_ || pa == self->in_) && self->inputConnected_.load() &&
      jack_port_connected(self->in_) == 0)
    self->inputPeerGone_.store(true);
  if ((pa == self->out_ || pb == self->out_) && self->outputConnected_.load() &&
      jack_port_connected(self->out_) == 0)
    self->outputPeerGone_.store(true);
}

void JackMidiClient::deliveryLoop() {
  while (!stop_.load()) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_nsec += 50'000'000;
    if (deadline.tv_nsec >= 1'000'000'000) {
      deadline.tv_sec += 1;
      deadline.tv_nsec -= 1'000'000'000;
    }
    sem_timedwait(&wake_, &deadline);
    deliverInput();
    deliverCompletions();
  }
}

void JackMidiClient::deliverInput() {
  for (;;) {
    uint32_t size = 0;
    const std::size_t available = inRing_.readable();
    if (available < sizeof size) return;
    inRing_.peek(&size, sizeof size);
    if (available < sizeof size + size) return;  // the rest of the record is still being written
    inRing_.skip(sizeof size);
    inRing_.read(deliveryBuffer_.data(), size);
    if (events_.received) events_.received(deliveryBuffer_.data(), size);
  }
}

void JackMidiClient::deliverCompletions() {
  while (doneRing_.readable() >= kDoneRecord) {
    char record[kDoneRecord];
    doneRing_.read(record, kDoneRecord);
    uintptr_t token = 0;
    std::memcpy(&token, record, sizeof token);
    pending_.fetch_sub(1);
    if (events_.sent) events_.sent(token, record[sizeof token] != 0);
  }
}

}  // namespace varnet::jackmidi
