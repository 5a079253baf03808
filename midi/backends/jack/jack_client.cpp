#include "midi/backends/jack/jack_client.h"

#include <jack/midiport.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <thread>

namespace varnet::jackmidi {
namespace {

// Received events wait here for the delivery thread, which is an ordinary thread: under CPU load
// it can miss several cycles, each bringing up to a full 32 KB port buffer. Room for eight.
constexpr std::size_t kRingSize = 1 << 18;  // rounded to a power of two by the library anyway
// The largest single event: one whole port buffer.
constexpr std::size_t kMaxEvent = 1 << 16;
// Room for many queued long messages: a MIDI service accepts as many as the caller queues.
constexpr std::size_t kSendRingSize = 1 << 18;
// Size, sequence number, frame, and the least distance in frames from the message before.
constexpr std::size_t kOutHeader = 4 * sizeof(uint32_t);
constexpr std::size_t kInHeader = 2 * sizeof(uint32_t);  // size, frame
// Added to the one period a message is stamped ahead (see send()).
constexpr uint64_t kStampMarginMs = 2;
// The MIDI 1.0 wire: 31250 baud, ten bits a byte.
constexpr uint64_t kWireBytesPerSecond = 3125;
// Client names of PipeWire's bridge to the ALSA sequencer (its MIDI hardware), as JACK programs
// see it under pw-jack.
constexpr const char* kBridgeClients[] = {"Midi-Bridge", "MIDI Bridge"};

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

bool JackMidiClient::IsHardwareBridge(jack_client_t* client, const std::string& name) {
  jack_port_t* port = jack_port_by_name(client, name.c_str());
  if (port == nullptr) return false;
  if (jack_port_flags(port) & JackPortIsPhysical) return true;
  const std::string owner = ClientOf(name.c_str());
  return std::any_of(std::begin(kBridgeClients), std::end(kBridgeClients),
                     [&](const char* bridge) { return owner == bridge; });
}

std::unique_ptr<JackMidiClient> JackMidiClient::Open(const std::string& name, Events events,
                                                     jack_status_t* status, bool physicalPorts) {
  SilenceJackLibrary();
  std::unique_ptr<JackMidiClient> self(new JackMidiClient());
  self->events_ = std::move(events);
  jack_status_t localStatus{};
  jack_status_t* st = status ? status : &localStatus;
  self->client_ = jack_client_open(name.c_str(), JackNoStartServer, st);
  if (self->client_ == nullptr) return nullptr;
  if (!self->inRing_.create(kRingSize) || !self->outRing_.create(kSendRingSize) ||
      sem_init(&self->wake_, 0, 0) != 0) {
    *st = static_cast<jack_status_t>(JackFailure);
    return nullptr;
  }
  self->semReady_ = true;
  const unsigned long extra = physicalPorts ? JackPortIsPhysical : 0;
  self->in_ =
      jack_port_register(self->client_, "in", JACK_DEFAULT_MIDI_TYPE, JackPortIsInput | extra, 0);
  self->out_ =
      jack_port_register(self->client_, "out", JACK_DEFAULT_MIDI_TYPE, JackPortIsOutput | extra, 0);
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
  // Its process thread can never run again without a server; what its last callback wrote is
  // ordered before this point by the count every callback ends with.
  (void)cycles_.load(std::memory_order_acquire);
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
    wirePaced_.store(IsHardwareBridge(client_, peerPort));
    outputConnected_.store(true);
    return 0;
  }
  return rc;
}

std::vector<std::string> JackMidiClient::connectionsOf(const std::string& port) const {
  std::vector<std::string> connected;
  if (serverGone_.load()) return connected;
  jack_port_t* peer = jack_port_by_name(client_, port.c_str());
  if (peer == nullptr) return connected;
  const char** names = jack_port_get_all_connections(client_, peer);
  if (names == nullptr) return connected;  // the library returns null, not an empty list
  for (const char** n = names; *n != nullptr; ++n) connected.emplace_back(*n);
  jack_free(names);
  return connected;
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

bool JackMidiClient::outputPeerVanished() const {
  if (serverGone_.load() || outputPeerGone_.load()) return true;
  // The graph drops a vanished peer's connections before the notification thread hears of it.
  return outputConnected_.load() && outputSeenConnected_.load() && jack_port_connected(out_) == 0;
}

bool JackMidiClient::send(const uint8_t* data, std::size_t size, uintptr_t token) {
  if (size > kSendRingSize / 2) return false;
  if (outRing_.writable() < kOutHeader + size) return false;
  using Clock = std::chrono::steady_clock;
  const Clock::time_point now = Clock::now();
  if (serverGone_.load()) {
    // No server, no frames: the message waits for ever, like bytes for an unplugged cable.
    std::scoped_lock lock(pendingMutex_);
    pendingList_.push_back({token, sentSeq_.load(), Clock::time_point::max()});
    pending_.fetch_add(1);
    sentSeq_.fetch_add(1);
    return true;
  }
  const jack_nframes_t rate = jack_get_sample_rate(client_);
  auto framesIn = [rate](std::chrono::nanoseconds span, bool roundUp) {
    const uint64_t ns = static_cast<uint64_t>(std::max<int64_t>(span.count(), 0));
    return static_cast<jack_nframes_t>((ns * rate + (roundUp ? 999'999'999ULL : 0)) /
                                       1'000'000'000ULL);
  };
  // One period ahead: the cycle that contains that frame has not been computed yet, so the
  // message is written at the very frame, and the gaps between messages are the gaps between
  // their sends. (Writing at the start of the next cycle would round every gap to the period.)
  // A send just before a cycle starts would find that cycle already running; the margin keeps
  // the frame at least that far beyond any cycle that may have begun.
  jack_nframes_t base = frameNow(rate) + jack_get_buffer_size(client_) +
                        static_cast<jack_nframes_t>(rate * kStampMarginMs / 1000);
  // The library's frame time is an estimate that is corrected every cycle, by more on a loaded
  // server: a gap between two stamps is never shorter than the gap between their sends on our
  // own clock, or a pause could reach the device shortened. A server that stalled (an xrun of
  // the dummy driver) resumes with its frames behind our clock; the stamps then stay ahead of it
  // by the stall, a longer latency rather than messages bunched together at the device.
  const auto sinceLast = now - lastSendAt_;
  if (keepGaps_ && stamped_ && sinceLast < std::chrono::seconds(10)) {
    // Rounded up: a gap is never a frame shorter than the time between the sends.
    const jack_nframes_t keep = lastBase_ + framesIn(sinceLast, true);
    if (static_cast<int32_t>(base - keep) < 0) base = keep;  // the counter wraps: differences
  }
  lastBase_ = base;
  lastSendAt_ = now;
  jack_nframes_t frame = base;
  Clock::time_point due = now;
  Clock::time_point start = now;
  if (wirePaced_.load()) {
    // A bridge passes the bytes on to a 3125 bytes/s wire and its buffer would absorb whatever
    // comes faster, pauses included: a message starts when the one before has left the wire,
    // and it is reported done only when it has left too, which holds the sender back.
    start = std::max(now, wireFreeAt_);
    frame += framesIn(start - now, true);
    const uint64_t wireNs =
        (size * 1'000'000'000ULL + kWireBytesPerSecond - 1) / kWireBytesPerSecond;
    wireFreeAt_ = start + std::chrono::nanoseconds(wireNs);
    due = wireFreeAt_;
  }
  // Never before the message sent earlier.
  if (stamped_ && static_cast<int32_t>(frame - lastStamp_) < 0) frame = lastStamp_;
  // What the writing side must keep however late it writes (see processOutput()).
  uint32_t minGap = 0;
  if (keepGaps_ && stamped_ && start - lastStartAt_ < std::chrono::seconds(10))
    minGap = framesIn(start - lastStartAt_, true);
  lastStamp_ = frame;
  lastStartAt_ = start;
  stamped_ = true;
  if (outputPeerVanished()) due = Clock::time_point::max();

  // One contiguous record, so that the process callback never sees a header without its bytes.
  uint8_t record[kOutHeader + 512];
  std::vector<uint8_t> big;
  uint8_t* r = record;
  if (size > 512) {
    big.resize(kOutHeader + size);
    r = big.data();
  }
  const auto length = static_cast<uint32_t>(size);
  const uint32_t seq = sentSeq_.load();
  std::memcpy(r, &length, sizeof length);
  std::memcpy(r + sizeof length, &seq, sizeof seq);
  std::memcpy(r + 2 * sizeof length, &frame, sizeof frame);
  std::memcpy(r + 3 * sizeof length, &minGap, sizeof minGap);
  if (size > 0) std::memcpy(r + kOutHeader, data, size);
  {
    std::scoped_lock lock(pendingMutex_);
    pendingList_.push_back({token, seq, due});
    pending_.fetch_add(1);
  }
  sentSeq_.store(seq + 1);  // before the record: written never runs ahead of sent
  outRing_.write(r, kOutHeader + size);
  sem_post(&wake_);
  return true;
}

void JackMidiClient::discardPendingOutput() {
  std::scoped_lock lock(pendingMutex_);
  if (pendingList_.empty()) return;
  // Only what has not been reported: a message reported done belongs to the wire already.
  const uint64_t low = pendingList_.front().seq;
  const uint64_t high = sentSeq_.load();
  discardRange_.store(low | (high << 32));
  for (Pending& p : pendingList_) p.due = {};  // reported (not written) at once
  sem_post(&wake_);
}

int JackMidiClient::Process(jack_nframes_t frames, void* arg) {
  auto* self = static_cast<JackMidiClient*>(arg);
  // This cycle's first frame against our clock, for stamping (see frameNow()).
  const jack_nframes_t rate = jack_get_sample_rate(self->client_);
  if (rate != 0) {
    const int64_t start = static_cast<int64_t>(jack_last_frame_time(self->client_));
    self->frameOffset_.store(start - SteadyMicros() * rate / 1'000'000);
    self->cycleSeen_.store(true);
  }
  self->processInput(frames);
  self->processOutput(frames);
  self->cycles_.fetch_add(1);
  return 0;
}

bool JackMidiClient::awaitOutputWritten(std::chrono::milliseconds timeout) {
  // Messages may be stamped well ahead of the server's frames (after the server stalled, see
  // send()), so there is no fixed bound: the wait goes on while the server runs cycles, and
  // gives up when it has run none for `timeout` (or after a minute, whatever happens).
  using Clock = std::chrono::steady_clock;
  const auto giveUp = Clock::now() + std::chrono::minutes(1);
  uint64_t lastCycles = cycles_.load();
  auto lastProgress = Clock::now();
  auto wait = [&](auto ready) {
    while (!ready()) {
      const auto now = Clock::now();
      if (const uint64_t c = cycles_.load(); c != lastCycles) {
        lastCycles = c;
        lastProgress = now;
      }
      if (serverGone_.load() || now - lastProgress >= timeout || now >= giveUp) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
  };
  if (!wait([&] { return unwrittenOutput() == 0; })) return false;
  // A peer reads our port's buffer after our callback has returned, within the same cycle;
  // a connection dropped before then takes the cycle's events with it. Two more callbacks
  // mean that cycle has ended.
  const uint64_t seen = cycles_.load();
  return wait([&] { return cycles_.load() >= seen + 2; });
}

void JackMidiClient::processInput(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(in_, frames);
  const uint32_t count = jack_midi_get_event_count(buffer);
  const jack_nframes_t cycleStart = jack_last_frame_time(client_);
  bool wrote = false;
  for (uint32_t i = 0; i < count; ++i) {
    jack_midi_event_t event;
    if (jack_midi_event_get(&event, buffer, i) != 0) continue;
    if (!inputEnabled_.load(std::memory_order_relaxed) || inputPeerGone_.load()) continue;
    const auto size = static_cast<uint32_t>(event.size);
    if (size > kMaxEvent || inRing_.writable() < kInHeader + size) {
      droppedInput_.fetch_add(1, std::memory_order_relaxed);
      continue;
    }
    const jack_nframes_t frame = cycleStart + event.time;
    inRing_.write(&size, sizeof size);
    inRing_.write(&frame, sizeof frame);
    inRing_.write(event.buffer, size);
    wrote = true;
  }
  if (wrote) sem_post(&wake_);
}

void JackMidiClient::processOutput(jack_nframes_t frames) {
  void* buffer = jack_port_get_buffer(out_, frames);
  jack_midi_clear_buffer(buffer);
  const jack_nframes_t cycleStart = jack_last_frame_time(client_);
  const uint64_t range = discardRange_.load();
  const auto discardLow = static_cast<uint32_t>(range);
  const auto discardHigh = static_cast<uint32_t>(range >> 32);
  auto discarded = [&](uint32_t seq) {
    return static_cast<uint32_t>(seq - discardLow) <
           static_cast<uint32_t>(discardHigh - discardLow);
  };
  auto nextMessage = [&]() -> bool {
    if (currentActive_) return true;
    if (outRing_.readable() < kOutHeader) return false;
    char header[kOutHeader];
    outRing_.read(header, kOutHeader);
    std::memcpy(&currentRemaining_, header, sizeof currentRemaining_);
    std::memcpy(&currentSeq_, header + sizeof(uint32_t), sizeof currentSeq_);
    std::memcpy(&currentFrame_, header + 2 * sizeof(uint32_t), sizeof currentFrame_);
    std::memcpy(&currentMinGap_, header + 3 * sizeof(uint32_t), sizeof currentMinGap_);
    currentActive_ = true;
    currentStarted_ = false;
    // A message before it that was written late holds it back by as much as it needs: written
    // at its own stamp, it would reach the device closer to that one than it was sent.
    if (wroteAny_ && currentMinGap_ > 0) {
      const jack_nframes_t allowed = lastWrittenFrame_ + currentMinGap_;
      if (static_cast<int32_t>(allowed - currentFrame_) > 0) currentFrame_ = allowed;
    }
    return true;
  };
  auto finish = [&] {
    currentActive_ = false;
    writtenSeq_.store(currentSeq_ + 1);
  };

  // The graph drops a vanished peer's connections before the notification thread hears of it;
  // looking at the graph here (a lock-free read) closes that window.
  if (outputConnected_.load()) {
    if (jack_port_connected(out_) > 0)
      outputSeenConnected_.store(true);
    else if (outputSeenConnected_.load())
      outputPeerGone_.store(true);
  }
  jack_nframes_t earliest = 0;  // events in one buffer must be in time order
  while (nextMessage()) {
    if (discarded(currentSeq_)) {
      outRing_.skip(currentRemaining_);
      finish();
      continue;
    }
    // A vanished peer takes nothing: what is queued stays queued, like bytes for an unplugged
    // cable.
    if (outputPeerGone_.load()) break;
    const auto ahead = static_cast<int32_t>(currentFrame_ - cycleStart);
    if (ahead >= static_cast<int32_t>(frames)) break;  // due in a later cycle
    // Late (the sender's thread was held up past the stamp, or a callback that ran late made our
    // frame estimate lag the server's): as early as this cycle allows. The next message then
    // keeps its distance from where this one went (see nextMessage), and only that distance:
    // the delay is made up again wherever the stamps leave room, and does not pile up.
    const jack_nframes_t offset = std::max<jack_nframes_t>(ahead > 0 ? ahead : 0, earliest);
    if (currentRemaining_ == 0) {
      finish();
      continue;
    }
    const std::size_t room = jack_midi_max_event_size(buffer);
    if (room == 0) break;  // the port buffer is full: the rest goes in the next cycle
    const std::size_t n = std::min<std::size_t>(room, currentRemaining_);
    jack_midi_data_t* event = jack_midi_event_reserve(buffer, offset, n);
    if (event == nullptr) break;
    earliest = offset;
    if (!currentStarted_) {
      currentStarted_ = true;
      lastWrittenFrame_ = cycleStart + offset;
      wroteAny_ = true;
    }
    outRing_.read(event, n);
    currentRemaining_ -= static_cast<uint32_t>(n);
    if (currentRemaining_ == 0) {
      finish();
    } else {
      currentFrame_ = cycleStart + frames;  // the rest at the start of the next cycle
      break;
    }
  }
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
  using Clock = std::chrono::steady_clock;
  while (!stop_.load()) {
    // Wake for input and sends, and at the next completion that falls due (a paced one).
    Clock::time_point wakeAt = Clock::now() + std::chrono::milliseconds(50);
    if (!outputPeerVanished()) {  // a vanished peer's messages wait for a discard, not a time
      std::scoped_lock lock(pendingMutex_);
      if (!pendingList_.empty()) wakeAt = std::min(wakeAt, pendingList_.front().due);
    }
    if (inputDueAt_ != 0)
      wakeAt = std::min(wakeAt, Clock::time_point(std::chrono::microseconds(inputDueAt_)));
    const auto sinceEpoch = wakeAt.time_since_epoch();
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(sinceEpoch);
    timespec deadline{};
    deadline.tv_sec = static_cast<time_t>(secs.count());
    deadline.tv_nsec = static_cast<long>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(sinceEpoch - secs).count());
    // steady_clock is CLOCK_MONOTONIC: the wait does not jump with the wall clock.
    sem_clockwait(&wake_, CLOCK_MONOTONIC, &deadline);
    deliverInput();
    deliverCompletions();
  }
}

void JackMidiClient::deliverInput() {
  for (;;) {
    uint32_t header[2] = {0, 0};  // size, frame
    const std::size_t available = inRing_.readable();
    if (available < kInHeader) return;
    inRing_.peek(header, kInHeader);
    const uint32_t size = header[0];
    if (available < kInHeader + size) return;  // the rest of the record is still being written
    const int64_t at = frameUsecs(header[1]);
    if (!events_.receivedAt && at > SteadyMicros()) {
      // A cycle brings all its events at once, a period's worth with a long period: passed on
      // at their own frames instead, as a MIDI input would bring them, so that a reader that
      // takes two blocks at a time (the port layer's staging) is never handed a period at once.
      inputDueAt_ = at;
      return;
    }
    inputDueAt_ = 0;
    inRing_.skip(kInHeader);
    inRing_.read(deliveryBuffer_.data(), size);
    if (events_.receivedAt) {
      events_.receivedAt(deliveryBuffer_.data(), size, static_cast<uint64_t>(at));
    } else if (events_.received) {
      events_.received(deliveryBuffer_.data(), size);
    }
  }
}

int64_t JackMidiClient::SteadyMicros() {
  return std::chrono::duration_cast<std::chrono::microseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

jack_nframes_t JackMidiClient::frameNow(jack_nframes_t rate) const {
  // The library's own estimate (jack_frame_time) was seen almost a second off after a client
  // was killed mid-cycle, which put every message a second early or late. Ours: the frame and
  // the moment of the last cycle's start, as our process callback saw them, plus the time since.
  if (!cycleSeen_.load()) return jack_frame_time(client_);
  const int64_t frames = SteadyMicros() * rate / 1'000'000 + frameOffset_.load();
  return static_cast<jack_nframes_t>(frames);  // modulo 2^32, like the server's counter
}

uint64_t JackMidiClient::frameUsecs(jack_nframes_t frame) {
  // From one anchor on, times are counted in frames at the nominal rate, so that the gap
  // between two events is exactly the gap between their frames. The anchor is placed by our
  // own cycle clock (see frameNow()). A cycle is computed at its first frame, so an event can
  // lie up to a period ahead of the moment it is delivered; much further either way means the
  // anchor no longer fits the server (it stalled, or restarted its count) and is placed anew.
  const int64_t now = SteadyMicros();
  const jack_nframes_t rate = jack_get_sample_rate(client_);
  // No rate, no frames to go by (a division by it ended varnet-flash once under pw-jack).
  if (rate == 0) return static_cast<uint64_t>(now);
  const auto since = static_cast<int32_t>(frame - anchorFrame_);
  int64_t at = anchorUsecs_ + static_cast<int64_t>(since) * 1'000'000 / rate;
  if (!anchored_ || since < 0 || since > (1 << 30) || at > now + 1'000'000 ||
      at < now - 5'000'000) {
    const auto ahead = static_cast<int32_t>(frame - frameNow(rate));
    at = now + static_cast<int64_t>(ahead) * 1'000'000 / rate;
    anchored_ = true;
    anchorFrame_ = frame;
    anchorUsecs_ = at;
  }
  return static_cast<uint64_t>(at);
}

void JackMidiClient::deliverCompletions() {
  struct Report {
    uintptr_t token;
    bool written;
  };
  std::vector<Report> reports;
  {
    const auto now = std::chrono::steady_clock::now();
    const uint64_t range = discardRange_.load();
    const auto low = static_cast<uint32_t>(range);
    const auto high = static_cast<uint32_t>(range >> 32);
    // A vanished peer's messages are held: done would claim bytes no device got.
    const bool held = outputPeerVanished();
    std::scoped_lock lock(pendingMutex_);
    while (!pendingList_.empty()) {
      const Pending& p = pendingList_.front();
      const bool dropped = static_cast<uint32_t>(p.seq - low) < static_cast<uint32_t>(high - low);
      if (!dropped && (held || p.due > now)) break;
      reports.push_back({p.token, !dropped});
      pendingList_.pop_front();
    }
  }
  for (const Report& r : reports) {
    if (events_.sent) events_.sent(r.token, r.written);
    pending_.fetch_sub(1);  // after the report: a reset that waits for 0 sees its header back
  }
}

}  // namespace varnet::jackmidi
