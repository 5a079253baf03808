#include "midi/backends/jack/jack_platform.h"

#include <cctype>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>
#include <vector>

#include "midi/backends/jack/jack_client.h"
#include "midi/input_queue.h"
#include "midi/output_queue.h"
#include "midi/port_names.h"

namespace varnet {
namespace {

using jackmidi::JackMidiClient;

struct InPort {
  std::string peer;
  InputBufferQueue queue;
};

// An input opened while another is: a search for a device listens on every input at once, and
// JACK merges whatever reaches one port, so each further input has a client of its own.
struct ExtraInput {
  std::unique_ptr<JackMidiClient> client;
  std::unique_ptr<InPort> port;
};

// JACK's full port names are "client:port", split at the first colon as JACK itself does; the
// port's own part may hold more ("a2j:Midi Through [14] (capture): Midi Through Port-0").
std::vector<std::string> DeviceNames(const std::vector<std::string>& fullNames, std::size_t room) {
  std::vector<PortNameParts> parts;
  for (const std::string& full : fullNames) {
    const std::size_t colon = full.find(':');
    if (colon == std::string::npos) {
      parts.push_back({{}, {}, full});
    } else {
      parts.push_back({full.substr(0, colon), ":", full.substr(colon + 1)});
    }
  }
  return FitPortNames(parts, room);
}

// The open output; its address is the handle. Its messages wait in the platform's queue, which
// outlives it: a completion may come after the close.
struct OutPort {
  std::string peer;
};

// Port names are the server's own: the same names on two servers are two ports.
std::string ServerName() {
  const char* name = std::getenv("JACK_DEFAULT_SERVER");
  return name != nullptr && *name != '\0' ? name : "default";
}

class JackMidiPlatform final : public MidiPlatform {
 public:
  JackMidiPlatform(std::string clientName, std::size_t nameRoom)
      : clientName_(std::move(clientName)), nameRoom_(nameRoom) {}
  ~JackMidiPlatform() override {
    std::vector<std::unique_ptr<JackMidiClient>> closing;
    std::unique_ptr<JackMidiClient> client;
    {
      std::scoped_lock lock(delivery_, mutex_);
      in_.reset();
      out_.reset();
      for (ExtraInput& extra : extraIns_) closing.push_back(std::move(extra.client));
      extraIns_.clear();
      outQueue_.open(0, nullptr, 0);  // a completion the closing client still delivers
      client = std::move(client_);
    }
  }

  uint32_t inGetNumDevs() override {
    std::scoped_lock lock(mutex_);
    refresh(true);
    return static_cast<uint32_t>(inputs_.size());
  }
  uint32_t outGetNumDevs() override {
    std::scoped_lock lock(mutex_);
    refresh(false);
    return static_cast<uint32_t>(outputs_.size());
  }
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    std::scoped_lock lock(mutex_);
    if (!listedIn_) refresh(true);
    return CopyDeviceName(inputNames_, device, name);
  }
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override {
    std::scoped_lock lock(mutex_);
    if (!listedOut_) refresh(false);
    return CopyDeviceName(outputNames_, device, name);
  }

  // JACK's full port names are unique within a server: the name is the whole identity.
  uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    std::scoped_lock lock(mutex_);
    if (!listedIn_) refresh(true);
    if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
    identity = {inputs_[device], {}};
    return MMSYSERR_NOERROR;
  }
  uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) override {
    std::scoped_lock lock(mutex_);
    if (!listedOut_) refresh(false);
    if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
    identity = {outputs_[device], {}};
    return MMSYSERR_NOERROR;
  }

  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    std::unique_ptr<JackMidiClient> closing;  // closed after the locks are released
    std::scoped_lock lock(delivery_, mutex_);
    if (!listedIn_) refresh(true);
    if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
    if (in_) return openExtraInput(handle, device, callback, instance, closing);
    if (const uint32_t rc = ensureClient(); rc != MMSYSERR_NOERROR) return rc;
    auto port = std::make_unique<InPort>();
    port->peer = inputs_[device];
    port->queue.open(reinterpret_cast<MidiHandle>(port.get()), callback, instance);
    if (client_->connectInputFrom(port->peer) != 0) {
      closing = takeClientIfUnused();
      return kJackResultBase | kJackConnectFailed;
    }
    *handle = reinterpret_cast<MidiHandle>(port.get());
    in_ = std::move(port);
    return MMSYSERR_NOERROR;
  }

  uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    InPort* port = inPort(handle);
    return port ? port->queue.prepare(header) : MMSYSERR_INVALHANDLE;
  }
  uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    InPort* port = inPort(handle);
    return port ? port->queue.unprepare(header) : MMSYSERR_INVALHANDLE;
  }
  uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) override {
    InPort* port = inPort(handle);
    return port ? port->queue.addBuffer(header) : MMSYSERR_INVALHANDLE;
  }
  uint32_t inStart(MidiHandle handle) override {
    InPort* port = inPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    port->queue.start();
    std::scoped_lock lock(mutex_);
    if (JackMidiClient* client = clientOf(handle)) client->setInputEnabled(true);
    return MMSYSERR_NOERROR;
  }
  uint32_t inStop(MidiHandle handle) override {
    InPort* port = inPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    {
      std::scoped_lock lock(mutex_);
      if (JackMidiClient* client = clientOf(handle)) client->setInputEnabled(false);
    }
    port->queue.stop();
    return MMSYSERR_NOERROR;
  }
  uint32_t inReset(MidiHandle handle) override {
    InPort* port = inPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    {
      std::scoped_lock lock(mutex_);
      if (JackMidiClient* client = clientOf(handle)) client->setInputEnabled(false);
    }
    port->queue.reset();
    return MMSYSERR_NOERROR;
  }
  uint32_t inClose(MidiHandle handle) override {
    std::unique_ptr<JackMidiClient> closing;  // closed after the locks are released
    std::scoped_lock lock(delivery_, mutex_);
    if (handle == 0) return MMSYSERR_INVALHANDLE;
    for (auto extra = extraIns_.begin(); extra != extraIns_.end(); ++extra) {
      if (handle != reinterpret_cast<MidiHandle>(extra->port.get())) continue;
      if (extra->port->queue.queuedCount() != 0) return MIDIERR_STILLPLAYING;
      extra->client->setInputEnabled(false);
      closing = std::move(extra->client);
      extraIns_.erase(extra);
      return MMSYSERR_NOERROR;
    }
    if (handle != reinterpret_cast<MidiHandle>(in_.get())) return MMSYSERR_INVALHANDLE;
    if (in_->queue.queuedCount() != 0) return MIDIERR_STILLPLAYING;
    client_->setInputEnabled(false);
    client_->disconnectInput();
    in_.reset();
    closing = takeClientIfUnused();
    return MMSYSERR_NOERROR;
  }

  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override {
    if (handle == nullptr) return MMSYSERR_INVALPARAM;
    std::unique_ptr<JackMidiClient> closing;  // closed after the locks are released
    std::scoped_lock lock(delivery_, mutex_);
    if (!listedOut_) refresh(false);
    if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
    if (out_) return MMSYSERR_ALLOCATED;
    if (const uint32_t rc = ensureClient(); rc != MMSYSERR_NOERROR) return rc;
    auto port = std::make_unique<OutPort>();
    port->peer = outputs_[device];
    if (client_->connectOutputTo(outputs_[device]) != 0) {
      closing = takeClientIfUnused();
      return kJackResultBase | kJackConnectFailed;
    }
    outQueue_.open(reinterpret_cast<MidiHandle>(port.get()), callback, instance);
    *handle = reinterpret_cast<MidiHandle>(port.get());
    out_ = std::move(port);
    return MMSYSERR_NOERROR;
  }
  uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) override {
    if (!isOut(handle)) return MMSYSERR_INVALHANDLE;
    return OutputMessageQueue::prepare(header);
  }
  uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) override {
    if (!isOut(handle)) return MMSYSERR_INVALHANDLE;
    return outQueue_.unprepare(header);
  }
  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override {
    std::scoped_lock lock(mutex_);
    if (handle == 0 || handle != reinterpret_cast<MidiHandle>(out_.get()))
      return MMSYSERR_INVALHANDLE;
    if (const uint32_t rc = outQueue_.add(header); rc != MMSYSERR_NOERROR) return rc;
    if (!client_->send(header->data, header->bufferLength, reinterpret_cast<uintptr_t>(header))) {
      outQueue_.withdraw(header);
      return MIDIERR_NOTREADY;
    }
    return MMSYSERR_NOERROR;
  }
  uint32_t outReset(MidiHandle handle) override {
    JackMidiClient* client = nullptr;
    {
      std::scoped_lock lock(mutex_);
      if (handle == 0 || handle != reinterpret_cast<MidiHandle>(out_.get()))
        return MMSYSERR_INVALHANDLE;
      client = client_.get();
    }
    if (deviceGone(*client)) return MMSYSERR_NOERROR;
    // What is not yet reported done is dropped and its headers come back from the delivery
    // thread; what was reported done still goes out. A dead graph must not hang the caller.
    client->discardPendingOutput();
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(500);
    while (client->pendingOutput() != 0 && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return MMSYSERR_NOERROR;
  }
  uint32_t outClose(MidiHandle handle) override {
    {
      JackMidiClient* client = nullptr;
      {
        std::scoped_lock lock(mutex_);
        if (handle != 0 && handle == reinterpret_cast<MidiHandle>(out_.get()))
          client = client_.get();
      }
      // A message reported done may still wait for its frame (a period ahead, more on a paced
      // bridge or after the server stalled): it must be written into a cycle before the
      // connection goes, or a closing F7 never reaches the device. A graph that has run no cycle
      // for 5 s (a frozen client, a server starved longer than its own xrun limit) is given up.
      if (client != nullptr && !deviceGone(*client))
        client->awaitOutputWritten(std::chrono::milliseconds(5000));
    }
    std::unique_ptr<JackMidiClient> closing;  // closed after the locks are released
    std::scoped_lock lock(delivery_, mutex_);
    if (handle == 0 || handle != reinterpret_cast<MidiHandle>(out_.get()))
      return MMSYSERR_INVALHANDLE;
    // Messages still on their way keep the port open, unless the device is gone and they never
    // will arrive: then the port closes like an unplugged one.
    if (client_->pendingOutput() != 0 && !deviceGone(*client_)) return MIDIERR_STILLPLAYING;
    client_->disconnectOutput();
    outQueue_.open(0, nullptr, 0);
    out_.reset();
    closing = takeClientIfUnused();
    return MMSYSERR_NOERROR;
  }

  std::string inGetErrorText(uint32_t result) override { return JackResultText(result); }
  std::string outGetErrorText(uint32_t result) override { return JackResultText(result); }

  std::string inPortIdentity(uint32_t device) override {
    std::scoped_lock lock(mutex_);
    if (!listedIn_) refresh(true);
    return device < inputs_.size() ? "jack " + ServerName() + " " + inputs_[device] : "";
  }
  std::string outPortIdentity(uint32_t device) override {
    std::scoped_lock lock(mutex_);
    if (!listedOut_) refresh(false);
    return device < outputs_.size() ? "jack " + ServerName() + " " + outputs_[device] : "";
  }
  // Our client's ports are listed by every other client as devices like any other.
  std::vector<OwnPort> ownPorts() override {
    std::scoped_lock lock(mutex_);
    if (!client_ || client_->serverGone()) return {};
    const std::string server = "jack " + ServerName() + " ";
    return {{true, server + client_->outputPortName()}, {false, server + client_->inputPortName()}};
  }
  // JACK has no exclusive connection: the session asks again just before the stream begins.
  uint32_t outOtherSenders(MidiHandle handle, std::vector<std::string>& senders) override {
    senders.clear();
    std::scoped_lock lock(mutex_);
    if (handle == 0 || handle != reinterpret_cast<MidiHandle>(out_.get()))
      return MMSYSERR_INVALHANDLE;
    const std::string own = client_->outputPortName();
    for (std::string& name : client_->connectionsOf(out_->peer)) {
      if (name != own) senders.push_back(std::move(name));
    }
    return MMSYSERR_NOERROR;
  }

 private:
  static bool deviceGone(const JackMidiClient& c) { return c.serverGone() || c.outputPeerGone(); }

  // mutex_ held.
  void refresh(bool inputs) {
    std::vector<std::string> readable, writable;
    // The ports of every updater (this one's, and those of another window or command line
    // running an update) are never devices.
    std::vector<std::string> exclude;
    if (client_) exclude.push_back(client_->clientName());
    for (const ExtraInput& extra : extraIns_) exclude.push_back(extra.client->clientName());
    jackmidi::ListJackMidiPorts(exclude, readable, writable);
    const auto updaters = [&](const std::string& full) {
      return IsUpdaterClient(full.substr(0, full.find(':')), clientName_);
    };
    std::erase_if(readable, updaters);
    std::erase_if(writable, updaters);
    if (inputs) {
      inputs_ = std::move(readable);
      inputNames_ = DeviceNames(inputs_, nameRoom_);
      listedIn_ = true;
    } else {
      outputs_ = std::move(writable);
      outputNames_ = DeviceNames(outputs_, nameRoom_);
      listedOut_ = true;
    }
  }

  // delivery_ and mutex_ held.
  uint32_t ensureClient() {
    if (client_ && client_->serverGone()) {
      if (in_ || out_) return kJackResultBase | JackServerError;
      client_.reset();
    }
    if (client_) return MMSYSERR_NOERROR;
    JackMidiClient::Events events;
    events.received = [this](const uint8_t* data, std::size_t size) {
      std::scoped_lock lock(delivery_);
      if (in_) in_->queue.feed(data, size);
    };
    events.sent = [this](uintptr_t token, bool) {
      std::scoped_lock lock(delivery_);
      outQueue_.complete(reinterpret_cast<MidiHeader*>(token));
    };
    jack_status_t status{};
    client_ = JackMidiClient::Open(clientName_, std::move(events), &status);
    if (!client_) return kJackResultBase | (static_cast<uint32_t>(status) & 0x7FFF) | JackFailure;
    return MMSYSERR_NOERROR;
  }

  // delivery_ and mutex_ held. The client's destructor joins its delivery thread, which takes
  // delivery_: the caller destroys the client it gets only after releasing both locks.
  std::unique_ptr<JackMidiClient> takeClientIfUnused() {
    if (in_ || out_ || !client_) return nullptr;
    return std::move(client_);
  }

  bool isOut(MidiHandle h) {
    std::scoped_lock lock(mutex_);
    return h != 0 && h == reinterpret_cast<MidiHandle>(out_.get());
  }
  InPort* inPort(MidiHandle h) {
    std::scoped_lock lock(mutex_);
    if (h == 0) return nullptr;
    if (h == reinterpret_cast<MidiHandle>(in_.get())) return in_.get();
    for (const ExtraInput& extra : extraIns_) {
      if (h == reinterpret_cast<MidiHandle>(extra.port.get())) return extra.port.get();
    }
    return nullptr;
  }
  // mutex_ held.
  JackMidiClient* clientOf(MidiHandle h) {
    if (h == reinterpret_cast<MidiHandle>(in_.get())) return client_.get();
    for (const ExtraInput& extra : extraIns_) {
      if (h == reinterpret_cast<MidiHandle>(extra.port.get())) return extra.client.get();
    }
    return nullptr;
  }

  // delivery_ and mutex_ held; the first input is open.
  uint32_t openExtraInput(MidiHandle* handle, uint32_t device, MidiCallback callback,
                          uintptr_t instance, std::unique_ptr<JackMidiClient>& closing) {
    auto port = std::make_unique<InPort>();
    InPort* target = port.get();
    JackMidiClient::Events events;
    // The port may be closed while its client still delivers: it is looked for under the lock.
    events.received = [this, target](const uint8_t* data, std::size_t size) {
      std::scoped_lock lock(delivery_);
      for (ExtraInput& extra : extraIns_) {
        if (extra.port.get() == target) extra.port->queue.feed(data, size);
      }
    };
    jack_status_t status{};
    std::unique_ptr<JackMidiClient> client =
        JackMidiClient::Open(clientName_ + "-in", std::move(events), &status);
    if (!client) return kJackResultBase | (static_cast<uint32_t>(status) & 0x7FFF) | JackFailure;
    port->peer = inputs_[device];
    port->queue.open(reinterpret_cast<MidiHandle>(port.get()), callback, instance);
    if (client->connectInputFrom(port->peer) != 0) {
      closing = std::move(client);  // after the locks, as its delivery thread may take them
      return kJackResultBase | kJackConnectFailed;
    }
    *handle = reinterpret_cast<MidiHandle>(port.get());
    extraIns_.push_back({std::move(client), std::move(port)});
    return MMSYSERR_NOERROR;
  }

  std::string clientName_;
  std::size_t nameRoom_;
  std::mutex delivery_;  // taken before mutex_; held while input or completions are delivered
  std::mutex mutex_;
  std::vector<std::string> inputs_, outputs_;  // full port names
  std::vector<std::string> inputNames_, outputNames_;
  bool listedIn_ = false, listedOut_ = false;
  std::unique_ptr<JackMidiClient> client_;
  std::unique_ptr<InPort> in_;
  std::vector<ExtraInput> extraIns_;  // inputs opened beside in_
  std::unique_ptr<OutPort> out_;
  OutputMessageQueue outQueue_;
};

}  // namespace

std::unique_ptr<MidiPlatform> CreateJackMidiPlatform(const std::string& clientName,
                                                     std::size_t nameRoom) {
  return std::make_unique<JackMidiPlatform>(clientName, nameRoom);
}

std::string JackUnavailableReason() {
  jackmidi::SilenceJackLibrary();
  jack_status_t status{};
  jack_client_t* client = jack_client_open("varnet-probe", JackNoStartServer, &status);
  if (client != nullptr) {
    jack_client_close(client);
    return {};
  }
  if (status & JackServerFailed) return "no server running";
  std::string text = JackResultText(kJackResultBase | (static_cast<uint32_t>(status) & 0x7FFF));
  if (!text.empty() && text.back() == '.') text.pop_back();
  if (!text.empty()) text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
  return text;
}

std::string JackResultText(uint32_t result) {
  if (!IsJackResult(result)) return StandardMidiErrorText(result);
  const uint32_t bits = result & 0xFFFF;
  if (bits & kJackConnectFailed) return "The chosen JACK port cannot be connected; it may be gone.";
  if (bits & JackServerFailed) return "No JACK server is running.";
  if (bits & JackServerError) return "Communication error with the JACK server.";
  if (bits & JackShmFailure) return "Unable to access the JACK server's shared memory.";
  if (bits & JackVersionError) return "The JACK server speaks another protocol version.";
  if (bits & JackInitFailure) return "Unable to initialise the JACK client.";
  if (bits & JackNameNotUnique) return "The JACK client name is already in use.";
  return "The JACK operation failed.";
}

}  // namespace varnet
