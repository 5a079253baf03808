#include "midi/backends/alsa/alsa_platform.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "midi/backends/alsa/seq_ports.h"
#include "midi/input_queue.h"
#include "midi/output_queue.h"
#include "midi/port_names.h"

namespace varnet {
namespace {

using alsaseq::Direction;
using alsaseq::SeqPortInfo;

// The library prints its own complaints to stderr (for instance when /dev/snd/seq is missing);
// the program reports failures itself.
void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

uint32_t AlsaResult(int err) {
  return kAlsaResultBase | (static_cast<uint32_t>(err < 0 ? -err : err) & 0xFFFF);
}

int OpenSequencer(snd_seq_t** seq, const std::string& clientName) {
  snd_lib_error_set_handler(QuietAlsa);
  const int err = snd_seq_open(seq, "default", SND_SEQ_OPEN_DUPLEX, 0);
  if (err < 0) return err;
  snd_seq_set_client_name(*seq, clientName.c_str());
  return 0;
}

std::vector<SeqPortInfo> QueryPorts(snd_seq_t* seq) {
  std::vector<SeqPortInfo> all;
  snd_seq_client_info_t* client;
  snd_seq_port_info_t* port;
  snd_seq_client_info_alloca(&client);
  snd_seq_port_info_alloca(&port);
  snd_seq_client_info_set_client(client, -1);
  while (snd_seq_query_next_client(seq, client) >= 0) {
    const int c = snd_seq_client_info_get_client(client);
    snd_seq_port_info_set_client(port, c);
    snd_seq_port_info_set_port(port, -1);
    while (snd_seq_query_next_port(seq, port) >= 0) {
      SeqPortInfo info;
      info.client = c;
      info.port = snd_seq_port_info_get_port(port);
      info.clientName = snd_seq_client_info_get_name(client);
      info.portName = snd_seq_port_info_get_name(port);
      info.capability = snd_seq_port_info_get_capability(port);
      info.type = snd_seq_port_info_get_type(port);
      all.push_back(std::move(info));
    }
  }
  return all;
}

// One open port: its own sequencer client, so that a reader blocked in one never holds up the
// other, and closing one never disturbs the other.
class SeqEndpoint {
 public:
  ~SeqEndpoint() {
    if (seq_) snd_seq_close(seq_);
  }
  int open(const std::string& clientName, const std::string& portName, unsigned caps) {
    if (int err = OpenSequencer(&seq_, clientName); err < 0) {
      seq_ = nullptr;
      return err;
    }
    port_ =
        snd_seq_create_simple_port(seq_, portName.c_str(), caps,
                                   SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
    return port_ < 0 ? port_ : 0;
  }
  snd_seq_t* seq() const { return seq_; }
  int port() const { return port_; }

 private:
  snd_seq_t* seq_ = nullptr;
  int port_ = -1;
};

// Runs `onBytes` for every System Exclusive chunk and short message until `stop` is set.
template <typename OnBytes>
void ReadLoop(snd_seq_t* seq, const std::atomic<bool>& stop, OnBytes onBytes) {
  const int count = snd_seq_poll_descriptors_count(seq, POLLIN);
  std::vector<pollfd> fds(static_cast<std::size_t>(count));
  snd_seq_poll_descriptors(seq, fds.data(), static_cast<unsigned>(count), POLLIN);
  snd_seq_nonblock(seq, 1);
  snd_midi_event_t* decoder = nullptr;
  snd_midi_event_new(16, &decoder);
  if (decoder) snd_midi_event_no_status(decoder, 1);
  while (!stop.load()) {
    if (poll(fds.data(), fds.size(), 50) <= 0) continue;
    snd_seq_event_t* ev = nullptr;
    int rc;
    while ((rc = snd_seq_event_input(seq, &ev)) >= 0 && ev != nullptr) {
      if (ev->type == SND_SEQ_EVENT_SYSEX) {
        onBytes(static_cast<const uint8_t*>(ev->data.ext.ptr), ev->data.ext.len);
      } else if (decoder != nullptr) {
        unsigned char bytes[16];
        const long n = snd_midi_event_decode(decoder, bytes, sizeof bytes, ev);
        if (n > 0) onBytes(bytes, static_cast<std::size_t>(n));
      }
    }
    // -ENOSPC: the kernel dropped input because we read too slowly; the echo check notices.
    (void)rc;
  }
  if (decoder) snd_midi_event_free(decoder);
}

std::chrono::steady_clock::time_point SteadyAt(alsaseq::WirePacer::Duration at) {
  return std::chrono::steady_clock::time_point(
      std::chrono::duration_cast<std::chrono::steady_clock::duration>(at));
}

// Hands `size` bytes to the sequencer as System Exclusive events of at most 256 bytes each,
// written straight to the kernel (no queue): when this returns, the kernel has taken them.
// With `dest` the events go to that port alone, and a port that has gone is an error; without,
// they go to every subscriber, of which there may be none.
int WriteSysex(snd_seq_t* seq, int port, const uint8_t* data, std::size_t size,
               alsaseq::WirePacer* pacer, const snd_seq_addr_t* dest = nullptr) {
  std::size_t done = 0;
  while (done < size) {
    const std::size_t n = std::min(alsaseq::kSysexChunk, size - done);
    if (pacer != nullptr) {
      const auto now = std::chrono::steady_clock::now().time_since_epoch();
      const auto at =
          pacer->release(std::chrono::duration_cast<alsaseq::WirePacer::Duration>(now), n);
      std::this_thread::sleep_until(SteadyAt(at));
    }
    snd_seq_event_t ev;
    snd_seq_ev_clear(&ev);
    snd_seq_ev_set_source(&ev, port);
    if (dest != nullptr)
      snd_seq_ev_set_dest(&ev, dest->client, dest->port);
    else
      snd_seq_ev_set_subs(&ev);
    snd_seq_ev_set_direct(&ev);
    snd_seq_ev_set_sysex(&ev, static_cast<unsigned>(n), const_cast<uint8_t*>(data + done));
    const int err = snd_seq_event_output_direct(seq, &ev);
    if (err < 0) return err;
    done += n;
  }
  return 0;
}

// Hardware and kernel ports pass their bytes to a wire; application ports take them at once.
bool NeedsPacing(unsigned type) {
  if (type & (SND_SEQ_PORT_TYPE_HARDWARE | SND_SEQ_PORT_TYPE_PORT)) return true;
  return (type & (SND_SEQ_PORT_TYPE_APPLICATION | SND_SEQ_PORT_TYPE_SOFTWARE |
                  SND_SEQ_PORT_TYPE_SYNTHESIZER)) == 0;
}

// Subscribes our port to the device's input exclusively where nobody else is subscribed to it: the
// sequencer then refuses every other subscription to it until ours ends, so that no other
// program can join the stream. Where someone already is, a plain subscription lets the session
// name them (and the user decide). 0 or the library's error.
int SubscribeToDevice(snd_seq_t* seq, int ownPort, const SeqPortInfo& peer, bool& exclusive) {
  snd_seq_port_subscribe_t* subscription;
  snd_seq_port_subscribe_alloca(&subscription);
  snd_seq_addr_t sender{};
  sender.client = static_cast<unsigned char>(snd_seq_client_id(seq));
  sender.port = static_cast<unsigned char>(ownPort);
  snd_seq_addr_t dest{};
  dest.client = static_cast<unsigned char>(peer.client);
  dest.port = static_cast<unsigned char>(peer.port);
  snd_seq_port_subscribe_set_sender(subscription, &sender);
  snd_seq_port_subscribe_set_dest(subscription, &dest);
  snd_seq_port_subscribe_set_exclusive(subscription, 1);
  exclusive = snd_seq_subscribe_port(seq, subscription) == 0;
  if (exclusive) return 0;
  return snd_seq_connect_to(seq, ownPort, peer.client, peer.port);
}

// "client:port" of a sequencer address, by name where the sequencer still knows it.
std::string AddressName(snd_seq_t* seq, const snd_seq_addr_t& address) {
  std::string name;
  snd_seq_client_info_t* client;
  snd_seq_client_info_alloca(&client);
  if (snd_seq_get_any_client_info(seq, address.client, client) >= 0) {
    name = snd_seq_client_info_get_name(client);
  }
  snd_seq_port_info_t* port;
  snd_seq_port_info_alloca(&port);
  if (snd_seq_get_any_port_info(seq, address.client, address.port, port) >= 0) {
    name += std::string(name.empty() ? "" : ":") + snd_seq_port_info_get_name(port);
  }
  return name + " (" + std::to_string(address.client) + ":" + std::to_string(address.port) + ")";
}

struct InPort {
  SeqEndpoint endpoint;
  InputBufferQueue queue;
  std::atomic<bool> stop{false};
  std::thread reader;
};

struct OutPort {
  SeqEndpoint endpoint;
  bool paced = true;
  alsaseq::WirePacer pacer;
  snd_seq_addr_t peer{};
  OutputMessageQueue queue;  // the front one is being written
  std::mutex mutex;
  std::condition_variable wake;  // a message was queued, or `stop`
  bool stop = false;
  bool broken = false;
  std::thread writer;

  void run() {
    std::unique_lock lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return stop || queue.front() != nullptr; });
      if (stop) return;
      MidiHeader* header = queue.front();
      lock.unlock();
      // Addressed to the peer itself: an unplugged interface or a client that quit makes the
      // write fail, where sending to subscribers would go on "delivering" to nobody.
      const int err = WriteSysex(endpoint.seq(), endpoint.port(), header->data,
                                 header->bufferLength, paced ? &pacer : nullptr, &peer);
      // A port in front of a wire has its bytes delivered only once they have left the wire:
      // the sender starts a pause at completion, and the device must see all of it.
      if (err >= 0 && paced) std::this_thread::sleep_until(SteadyAt(pacer.idleAt()));
      if (err < 0) {
        // The port is gone: the message stays outstanding, like bytes for an unplugged cable.
        lock.lock();
        broken = true;
        wake.wait(lock, [&] { return stop; });
        return;
      }
      queue.complete(header);
      lock.lock();
    }
  }
};

class AlsaMidiPlatform final : public MidiPlatform {
 public:
  AlsaMidiPlatform(std::string clientName, std::size_t nameRoom)
      : clientName_(std::move(clientName)), nameRoom_(nameRoom) {
    if (OpenSequencer(&seq_, clientName_ + " (list)") < 0) seq_ = nullptr;
  }
  ~AlsaMidiPlatform() override {
    if (in_) stopIn(*in_);
    if (out_) stopOut(*out_);
    if (seq_) snd_seq_close(seq_);
  }

  uint32_t inGetNumDevs() override {
    std::scoped_lock lock(mutex_);
    refresh();
    return static_cast<uint32_t>(inputs_.size());
  }
  uint32_t outGetNumDevs() override {
    std::scoped_lock lock(mutex_);
    refresh();
    return static_cast<uint32_t>(outputs_.size());
  }
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    return CopyDeviceName(inputNames_, device, name);
  }
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    return CopyDeviceName(outputNames_, device, name);
  }
  uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
    identity = alsaseq::IdentityOf(inputs_[device]);
    return MMSYSERR_NOERROR;
  }
  uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
    identity = alsaseq::IdentityOf(outputs_[device]);
    return MMSYSERR_NOERROR;
  }

  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
    if (in_) return MMSYSERR_ALLOCATED;
    auto port = std::make_unique<InPort>();
    if (int err = port->endpoint.open(clientName_, clientName_ + " in",
                                      SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
        err < 0)
      return AlsaResult(err);
    const SeqPortInfo& peer = inputs_[device];
    if (int err = snd_seq_connect_from(port->endpoint.seq(), port->endpoint.port(), peer.client,
                                       peer.port);
        err < 0)
      return AlsaResult(err);
    port->queue.open(reinterpret_cast<MidiHandle>(port.get()), callback, instance);
    InPort* p = port.get();
    p->reader = std::thread([p] {
      ReadLoop(p->endpoint.seq(), p->stop,
               [p](const uint8_t* data, std::size_t size) { p->queue.feed(data, size); });
    });
    *handle = reinterpret_cast<MidiHandle>(p);
    in_ = std::move(port);
    return MMSYSERR_NOERROR;
  }
  // The input side is the queue's: these only find it.
  uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    return withIn(handle, [=](InPort& p) { return p.queue.prepare(header); });
  }
  uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    return withIn(handle, [=](InPort& p) { return p.queue.unprepare(header); });
  }
  uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) override {
    return withIn(handle, [=](InPort& p) { return p.queue.addBuffer(header); });
  }
  uint32_t inStart(MidiHandle handle) override {
    return withIn(handle, [](InPort& p) { p.queue.start(); });
  }
  uint32_t inStop(MidiHandle handle) override {
    return withIn(handle, [](InPort& p) { p.queue.stop(); });
  }
  uint32_t inReset(MidiHandle handle) override {
    return withIn(handle, [](InPort& p) { p.queue.reset(); });
  }
  uint32_t inClose(MidiHandle handle) override {
    std::unique_ptr<InPort> closing;
    {
      std::scoped_lock lock(mutex_);
      if (handle == 0 || handle != reinterpret_cast<MidiHandle>(in_.get()))
        return MMSYSERR_INVALHANDLE;
      if (in_->queue.queuedCount() != 0) return MIDIERR_STILLPLAYING;
      closing = std::move(in_);
    }
    stopIn(*closing);
    return MMSYSERR_NOERROR;
  }

  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
    if (out_) return MMSYSERR_ALLOCATED;
    auto port = std::make_unique<OutPort>();
    if (int err = port->endpoint.open(clientName_, clientName_ + " out",
                                      SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        err < 0)
      return AlsaResult(err);
    const SeqPortInfo& peer = outputs_[device];
    bool exclusive = false;
    if (int err = SubscribeToDevice(port->endpoint.seq(), port->endpoint.port(), peer, exclusive);
        err < 0)
      return AlsaResult(err);
    port->queue.open(reinterpret_cast<MidiHandle>(port.get()), callback, instance);
    port->paced = NeedsPacing(peer.type);
    port->peer.client = static_cast<unsigned char>(peer.client);
    port->peer.port = static_cast<unsigned char>(peer.port);
    OutPort* p = port.get();
    p->writer = std::thread([p] { p->run(); });
    *handle = reinterpret_cast<MidiHandle>(p);
    out_ = std::move(port);
    return MMSYSERR_NOERROR;
  }
  uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    if (outPort(handle) == nullptr) return MMSYSERR_INVALHANDLE;
    return OutputMessageQueue::prepare(header);
  }
  uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    OutPort* port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    return port->queue.unprepare(header);
  }
  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override {
    OutPort* port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (const uint32_t rc = port->queue.add(header); rc != MMSYSERR_NOERROR) return rc;
    std::scoped_lock lock(port->mutex);  // the writer sees the queue before it waits, or wakes
    port->wake.notify_one();
    return MMSYSERR_NOERROR;
  }
  uint32_t outReset(MidiHandle handle) override {
    OutPort* port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    // Messages not yet started come back at once; the one being written completes on its own.
    port->queue.returnQueued(1);
    return MMSYSERR_NOERROR;
  }
  uint32_t outClose(MidiHandle handle) override {
    std::unique_ptr<OutPort> closing;
    {
      std::scoped_lock lock(mutex_);
      if (handle == 0 || handle != reinterpret_cast<MidiHandle>(out_.get()))
        return MMSYSERR_INVALHANDLE;
      {
        std::scoped_lock q(out_->mutex);
        if (out_->queue.queuedCount() != 0 && !out_->broken) return MIDIERR_STILLPLAYING;
      }
      closing = std::move(out_);
    }
    stopOut(*closing);
    return MMSYSERR_NOERROR;
  }

  std::string inGetErrorText(uint32_t result) override { return AlsaResultText(result); }
  std::string outGetErrorText(uint32_t result) override { return AlsaResultText(result); }

  std::string inPortIdentity(uint32_t device) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    return device < inputs_.size() ? Identity(inputs_[device]) : "";
  }
  std::string outPortIdentity(uint32_t device) override {
    std::scoped_lock lock(mutex_);
    if (!listed_) refresh();
    return device < outputs_.size() ? Identity(outputs_[device]) : "";
  }
  // Our endpoints are clients of the sequencer like any other, and other programs list them:
  // our input's port takes what is written to it, so they see it among their outputs.
  std::vector<OwnPort> ownPorts() override {
    std::scoped_lock lock(mutex_);
    std::vector<OwnPort> own;
    if (in_) {
      own.push_back({false, Identity({snd_seq_client_id(in_->endpoint.seq()), in_->endpoint.port(),
                                      clientName_, clientName_ + " in", 0, 0})});
    }
    if (out_) {
      own.push_back({true, Identity({snd_seq_client_id(out_->endpoint.seq()), out_->endpoint.port(),
                                     clientName_, clientName_ + " out", 0, 0})});
    }
    return own;
  }
  // The other subscribers of the device's input; ours is the one from our own client.
  uint32_t outOtherSenders(MidiHandle handle, std::vector<std::string>& senders) override {
    senders.clear();
    OutPort* port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    std::scoped_lock lock(mutex_);
    if (seq_ == nullptr) return MMSYSERR_NOTSUPPORTED;
    const int own = snd_seq_client_id(port->endpoint.seq());
    snd_seq_query_subscribe_t* query;
    snd_seq_query_subscribe_alloca(&query);
    snd_seq_query_subscribe_set_root(query, &port->peer);
    snd_seq_query_subscribe_set_type(query, SND_SEQ_QUERY_SUBS_WRITE);
    snd_seq_query_subscribe_set_index(query, 0);
    while (snd_seq_query_port_subscribers(seq_, query) >= 0) {
      const snd_seq_addr_t* address = snd_seq_query_subscribe_get_addr(query);
      if (address->client != own) senders.push_back(AddressName(seq_, *address));
      snd_seq_query_subscribe_set_index(query, snd_seq_query_subscribe_get_index(query) + 1);
    }
    return MMSYSERR_NOERROR;
  }

 private:
  // Client numbers are the sequencer's for as long as the client runs; the names make a number
  // that a new client got after the old one quit another port.
  static std::string Identity(const SeqPortInfo& port) {
    return "alsa " + std::to_string(port.client) + ":" + std::to_string(port.port) + " " +
           port.clientName + ":" + port.portName;
  }

  // mutex_ held. Without a sequencer both lists stay empty.
  void refresh() {
    listed_ = true;
    inputs_.clear();
    outputs_.clear();
    inputNames_.clear();
    outputNames_.clear();
    if (seq_ == nullptr) return;
    const auto all = QueryPorts(seq_);
    const int own = snd_seq_client_id(seq_);
    inputs_ = alsaseq::SelectDevicePorts(all, own, Direction::Input);
    outputs_ = alsaseq::SelectDevicePorts(all, own, Direction::Output);
    // Our own open ports live in clients of their own: leave them out too.
    auto ownPort = [&](const SeqPortInfo& p) {
      return (in_ && p.client == snd_seq_client_id(in_->endpoint.seq())) ||
             (out_ && p.client == snd_seq_client_id(out_->endpoint.seq()));
    };
    std::erase_if(inputs_, ownPort);
    std::erase_if(outputs_, ownPort);
    // Nor are the ports of another updater's running update devices.
    const auto updater = [&](const SeqPortInfo& p) {
      return IsUpdaterClient(p.clientName, clientName_);
    };
    std::erase_if(inputs_, updater);
    std::erase_if(outputs_, updater);
    inputNames_ = alsaseq::DeviceNames(inputs_, nameRoom_);
    outputNames_ = alsaseq::DeviceNames(outputs_, nameRoom_);
  }

  // `f` on the open input, which answers for the call (or, answering nothing, succeeds).
  template <typename F>
  uint32_t withIn(MidiHandle handle, F f) {
    InPort* port = inPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if constexpr (std::is_void_v<decltype(f(*port))>) {
      f(*port);
      return MMSYSERR_NOERROR;
    } else {
      return f(*port);
    }
  }
  InPort* inPort(MidiHandle h) {
    std::scoped_lock lock(mutex_);
    return h != 0 && h == reinterpret_cast<MidiHandle>(in_.get()) ? in_.get() : nullptr;
  }
  OutPort* outPort(MidiHandle h) {
    std::scoped_lock lock(mutex_);
    return h != 0 && h == reinterpret_cast<MidiHandle>(out_.get()) ? out_.get() : nullptr;
  }
  static void stopIn(InPort& p) {
    p.stop.store(true);
    if (p.reader.joinable()) p.reader.join();
  }
  static void stopOut(OutPort& p) {
    {
      std::scoped_lock lock(p.mutex);
      p.stop = true;
    }
    p.wake.notify_all();
    if (p.writer.joinable()) p.writer.join();
  }

  std::string clientName_;
  std::size_t nameRoom_;
  snd_seq_t* seq_ = nullptr;  // for listing only
  std::mutex mutex_;
  bool listed_ = false;
  std::vector<SeqPortInfo> inputs_, outputs_;
  std::vector<std::string> inputNames_, outputNames_;
  std::unique_ptr<InPort> in_;
  std::unique_ptr<OutPort> out_;
};

class PublishedPorts final : public AlsaPublishedPorts {
 public:
  ~PublishedPorts() override {
    stop_.store(true);
    if (reader_.joinable()) reader_.join();
  }
  int open(const std::string& name, Received received) {
    if (int err =
            in_.open(name, name + " in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE);
        err < 0)
      return err;
    if (int err =
            out_.open(name, name + " out", SND_SEQ_PORT_CAP_READ | SND_SEQ_PORT_CAP_SUBS_READ);
        err < 0)
      return err;
    received_ = std::move(received);
    reader_ = std::thread([this] {
      ReadLoop(in_.seq(), stop_, [this](const uint8_t* d, std::size_t n) { received_(d, n); });
    });
    return 0;
  }
  bool send(const uint8_t* data, std::size_t size) override {
    return WriteSysex(out_.seq(), out_.port(), data, size, nullptr) == 0;
  }

 private:
  SeqEndpoint in_, out_;
  Received received_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
};

}  // namespace

std::unique_ptr<MidiPlatform> CreateAlsaMidiPlatform(const std::string& clientName,
                                                     std::size_t nameRoom) {
  return std::make_unique<AlsaMidiPlatform>(clientName, nameRoom);
}

std::string AlsaSequencerUnavailableReason() {
  snd_seq_t* seq = nullptr;
  const int err = OpenSequencer(&seq, "varnet-probe");
  if (err == 0) {
    snd_seq_close(seq);
    return {};
  }
  return std::string("/dev/snd/seq: ") + snd_strerror(err);
}

std::string AlsaResultText(uint32_t result) {
  if (!IsAlsaResult(result)) return StandardMidiErrorText(result);
  return snd_strerror(-static_cast<int>(result & 0xFFFF));
}

std::unique_ptr<AlsaPublishedPorts> AlsaPublishedPorts::Open(const std::string& name,
                                                             Received received, int* error) {
  auto ports = std::make_unique<PublishedPorts>();
  const int err = ports->open(name, std::move(received));
  if (error) *error = err;
  if (err < 0) return nullptr;
  return ports;
}

}  // namespace varnet
