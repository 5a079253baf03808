#include "midi/backends/virtual/virtual_platform.h"

#include <algorithm>
#include <cstring>
#include <thread>

#include "core/thread_priority.h"
#include "midi/port_names.h"

namespace varnet {

namespace {

// Handles carry the direction in a high bit so that an input handle is never taken for an
// output one; 0 stays invalid.
constexpr MidiHandle kInputTag = 0x10000;
constexpr MidiHandle kOutputTag = 0x20000;

}  // namespace

VirtualPlatformConfig VirtualPorts(uint32_t inputs, uint32_t outputs, bool simulatorFirst) {
  VirtualPlatformConfig config;
  config.inputs.clear();
  config.outputs.clear();
  for (uint32_t i = 0; i < inputs; ++i) {
    config.inputs.push_back(i == 0 && simulatorFirst ? "Varnet Simulator In"
                                                     : "Virtual In " + std::to_string(i + 1));
  }
  for (uint32_t i = 0; i < outputs; ++i) {
    config.outputs.push_back(i == 0 && simulatorFirst ? "Varnet Simulator Out"
                                                      : "Virtual Out " + std::to_string(i + 1));
  }
  return config;
}

VirtualMidiPlatform::VirtualMidiPlatform(Clock& clock, VirtualPlatformConfig config)
    : clock_(clock),
      virtualClock_(dynamic_cast<VirtualClock*>(&clock)),
      config_(std::move(config)),
      alive_(std::make_shared<std::atomic<bool>>(true)) {
  for (const std::string& name : config_.inputs) {
    inputs_.push_back(std::make_unique<InPort>());
    inputs_.back()->name = name;
  }
  for (const std::string& name : config_.outputs) {
    outputs_.push_back(std::make_unique<OutPort>());
    outputs_.back()->name = name;
  }
  if (virtualClock_ == nullptr) thread_ = std::thread([this] { runThread(); });
}

VirtualMidiPlatform::~VirtualMidiPlatform() {
  alive_->store(false);
  if (thread_.joinable()) {
    {
      std::lock_guard lock(threadMutex_);
      stopping_ = true;
    }
    threadWake_.notify_all();
    thread_.join();
  }
}

void VirtualMidiPlatform::connectConverter(VirtualPeer& converter, uint32_t input,
                                           uint32_t output) {
  std::lock_guard lock(mutex_);
  peers_[output] = {&converter, input};
}

void VirtualMidiPlatform::failOn(VirtualOp op, uint32_t code, int times, int after) {
  std::lock_guard lock(mutex_);
  failures_[op] = {code, times, after};
}

void VirtualMidiPlatform::clearFailures() {
  std::lock_guard lock(mutex_);
  failures_.clear();
}

bool VirtualMidiPlatform::takeFailure(VirtualOp op, uint32_t& code) {
  auto it = failures_.find(op);
  if (it == failures_.end() || it->second.remaining == 0) return false;
  if (it->second.skip > 0) {
    --it->second.skip;
    return false;
  }
  code = it->second.code;
  if (it->second.remaining > 0) --it->second.remaining;
  return true;
}

VirtualMidiPlatform::InPort* VirtualMidiPlatform::inPort(MidiHandle handle) {
  if ((handle & kInputTag) == 0) return nullptr;
  const MidiHandle index = handle & ~kInputTag;
  if (index >= inputs_.size() || !inputs_[index]->open) return nullptr;
  return inputs_[index].get();
}

VirtualMidiPlatform::OutPort* VirtualMidiPlatform::outPort(MidiHandle handle) {
  if ((handle & kOutputTag) == 0) return nullptr;
  const MidiHandle index = handle & ~kOutputTag;
  if (index >= outputs_.size() || !outputs_[index]->open) return nullptr;
  return outputs_[index].get();
}

VirtualMidiPlatform::InPort* VirtualMidiPlatform::enterIn(VirtualOp op, MidiHandle handle,
                                                          uint32_t& code) {
  std::lock_guard lock(mutex_);
  if (takeFailure(op, code)) return nullptr;
  code = MMSYSERR_INVALHANDLE;
  return inPort(handle);
}

VirtualMidiPlatform::OutPort* VirtualMidiPlatform::enterOut(VirtualOp op, MidiHandle handle,
                                                            uint32_t& code) {
  std::lock_guard lock(mutex_);
  if (takeFailure(op, code)) return nullptr;
  code = MMSYSERR_INVALHANDLE;
  return outPort(handle);
}

// ---------------------------------------------------------------------------------------------
// Scheduling.

void VirtualMidiPlatform::post(Clock::TimePoint due, Event event) {
  std::weak_ptr<std::atomic<bool>> alive = alive_;
  Event guarded = [alive, event = std::move(event)] {
    auto token = alive.lock();
    if (token && token->load()) event();
  };
  if (virtualClock_ != nullptr) {
    virtualClock_->schedule(due, std::move(guarded));
    return;
  }
  {
    std::lock_guard lock(threadMutex_);
    timed_.push_back({due, nextSeq_++, std::move(guarded)});
  }
  threadWake_.notify_all();
}

void VirtualMidiPlatform::runThread() {
  // This thread is the simulated wire: a message's completion is due when its last byte has
  // left, and a sender waiting for it should not also wait for a lazy timer.
  UsePreciseTimers();
  std::unique_lock lock(threadMutex_);
  while (!stopping_) {
    if (timed_.empty()) {
      threadWake_.wait(lock);
      continue;
    }
    auto next = std::min_element(timed_.begin(), timed_.end(), [](const Timed& a, const Timed& b) {
      return a.due < b.due || (a.due == b.due && a.seq < b.seq);
    });
    const auto due = next->due;
    // A timer wakes a thread late, some 100 to 500 us on a virtual machine, and a real wire
    // finishes on time: the thread sleeps to shortly before the due time and waits busily for the
    // rest (at most RealClock::kSpinLead of a core per message).
    if (due - clock_.now() > RealClock::kSpinLead) {
      threadWake_.wait_until(lock,
                             std::chrono::steady_clock::time_point(due - RealClock::kSpinLead));
      continue;
    }
    if (clock_.now() < due) {
      lock.unlock();
      while (clock_.now() < due) std::this_thread::yield();
      lock.lock();
      continue;
    }
    Event event = std::move(next->event);
    timed_.erase(next);
    running_ = true;
    lock.unlock();
    event();
    lock.lock();
    running_ = false;
    threadWake_.notify_all();
  }
}

bool VirtualMidiPlatform::settle(Clock::Duration timeout) {
  if (virtualClock_ != nullptr) {
    virtualClock_->runDue();
    return true;
  }
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  std::unique_lock lock(threadMutex_);
  return threadWake_.wait_until(lock, deadline, [&] {
    const auto now = clock_.now();
    return !running_ &&
           std::none_of(timed_.begin(), timed_.end(), [&](const Timed& t) { return t.due <= now; });
  });
}

// ---------------------------------------------------------------------------------------------
// Deliveries.

void VirtualMidiPlatform::completeLongMessage(uint32_t output, uint64_t generation,
                                              MidiHeader* header, std::vector<uint8_t> bytes,
                                              Clock::TimePoint firstArrival,
                                              Clock::Duration spacing) {
  VirtualPeer* converter = nullptr;
  uint32_t converterInput = 0;
  {
    std::lock_guard lock(mutex_);
    OutPort& port = *outputs_[output];
    if (!port.open || port.generation != generation) return;  // reset or closed meanwhile
    port.sent.insert(port.sent.end(), bytes.begin(), bytes.end());
    if (auto link = peers_.find(output); link != peers_.end()) {
      converter = link->second.peer;
      converterInput = link->second.input;
    }
  }
  bool completes = true;
  if (converter != nullptr) {
    converter->receive(bytes.data(), bytes.size(), firstArrival, spacing);
    for (PeerEmission& e : converter->takeEmissions()) {
      post(e.due, [this, converterInput, bytes = std::move(e.bytes), flush = e.flush] {
        deliverInput(converterInput, bytes, flush);
      });
    }
    completes = converter->completesOutput();
  }
  if (!completes) return;  // stays pending: the port cannot be closed until it is reset
  OutPort* port;
  {
    std::lock_guard lock(mutex_);
    port = outputs_[output].get();
    if (!port->open || port->generation != generation) return;
  }
  // A reset between here and the queue's own lock has already given the header back; then the
  // queue no longer holds it and reports nothing.
  port->queue.complete(header);
}

void VirtualMidiPlatform::deliverInput(uint32_t input, const std::vector<uint8_t>& bytes,
                                       bool flush) {
  InPort* port = nullptr;
  {
    std::lock_guard lock(mutex_);
    if (input >= inputs_.size() || !inputs_[input]->open) return;
    port = inputs_[input].get();
  }
  // The queue keeps its own locks and calls back with none of ours held: the layer's callback
  // queues its buffer again through inAddBuffer.
  port->queue.feed(bytes.data(), bytes.size());
  if (flush) port->queue.flushPartial();
}

void VirtualMidiPlatform::injectInput(uint32_t input, std::vector<uint8_t> bytes,
                                      Clock::Duration delay) {
  post(clock_.now() + delay,
       [this, input, bytes = std::move(bytes)] { deliverInput(input, bytes, false); });
}

// ---------------------------------------------------------------------------------------------
// Observation.

std::vector<uint8_t> VirtualMidiPlatform::sentBytes(uint32_t output) const {
  std::lock_guard lock(mutex_);
  return output < outputs_.size() ? outputs_[output]->sent : std::vector<uint8_t>{};
}

std::size_t VirtualMidiPlatform::queuedInputBuffers(uint32_t input) const {
  InPort* port;
  {
    std::lock_guard lock(mutex_);
    if (input >= inputs_.size()) return 0;
    port = inputs_[input].get();
  }
  return port->queue.queuedCount();
}

uint64_t VirtualMidiPlatform::droppedInputBytes(uint32_t input) const {
  std::lock_guard lock(mutex_);
  return input < inputs_.size() ? inputs_[input]->queue.droppedBytes() : 0;
}

bool VirtualMidiPlatform::isInputOpen(uint32_t input) const {
  std::lock_guard lock(mutex_);
  return input < inputs_.size() && inputs_[input]->open;
}

bool VirtualMidiPlatform::isOutputOpen(uint32_t output) const {
  std::lock_guard lock(mutex_);
  return output < outputs_.size() && outputs_[output]->open;
}

std::size_t VirtualMidiPlatform::pendingLongMessages(uint32_t output) const {
  std::lock_guard lock(mutex_);
  return output < outputs_.size() ? outputs_[output]->queue.queuedCount() : 0;
}

// ---------------------------------------------------------------------------------------------
// MidiPlatform.

uint32_t VirtualMidiPlatform::inGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<uint32_t>(inputs_.size());
}

uint32_t VirtualMidiPlatform::outGetNumDevs() {
  std::lock_guard lock(mutex_);
  return static_cast<uint32_t>(outputs_.size());
}

uint32_t VirtualMidiPlatform::inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::InGetDevCaps, code)) return code;
  if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
  CopyDeviceName(inputs_[device]->name, name);
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::OutGetDevCaps, code)) return code;
  if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
  CopyDeviceName(outputs_[device]->name, name);
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inGetDevIdentity(uint32_t device, PortIdentity& identity) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::InGetDevCaps, code)) return code;
  if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
  identity = {inputs_[device]->name, {}};
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outGetDevIdentity(uint32_t device, PortIdentity& identity) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::OutGetDevCaps, code)) return code;
  if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
  identity = {outputs_[device]->name, {}};
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                     uintptr_t instance) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::InOpen, code)) return code;
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (device >= inputs_.size()) return MMSYSERR_BADDEVICEID;
  InPort& port = *inputs_[device];
  if (port.open) return MMSYSERR_ALLOCATED;
  port.open = true;
  port.queue.open(kInputTag | device, callback, instance);
  *handle = kInputTag | device;
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inPrepareHeader(MidiHandle handle, MidiHeader* header) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InPrepare, handle, code);
  return port ? port->queue.prepare(header) : code;
}

uint32_t VirtualMidiPlatform::inUnprepareHeader(MidiHandle handle, MidiHeader* header) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InUnprepare, handle, code);
  return port ? port->queue.unprepare(header) : code;
}

uint32_t VirtualMidiPlatform::inAddBuffer(MidiHandle handle, MidiHeader* header) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InAddBuffer, handle, code);
  return port ? port->queue.addBuffer(header) : code;
}

uint32_t VirtualMidiPlatform::inStart(MidiHandle handle) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InStart, handle, code);
  if (port == nullptr) return code;
  port->queue.start();
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inStop(MidiHandle handle) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InStop, handle, code);
  if (port == nullptr) return code;
  port->queue.stop();  // may call back: no lock of ours held
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inReset(MidiHandle handle) {
  uint32_t code;
  InPort* port = enterIn(VirtualOp::InReset, handle, code);
  if (port == nullptr) return code;
  port->queue.reset();
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::inClose(MidiHandle handle) {
  InPort* port;
  {
    std::lock_guard lock(mutex_);
    uint32_t code;
    if (takeFailure(VirtualOp::InClose, code)) return code;
    port = inPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (port->queue.queuedCount() > 0) return MIDIERR_STILLPLAYING;
    port->open = false;  // no delivery starts after this
  }
  // Outside our lock: the queue's delivery lock is always taken before ours, never after.
  port->queue.stop();
  port->queue.open(0, nullptr, 0);
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                                      uintptr_t instance) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::OutOpen, code)) return code;
  if (handle == nullptr) return MMSYSERR_INVALPARAM;
  if (device >= outputs_.size()) return MMSYSERR_BADDEVICEID;
  OutPort& port = *outputs_[device];
  if (port.open) return MMSYSERR_ALLOCATED;
  port.open = true;
  port.queue.open(kOutputTag | device, callback, instance);
  port.wireFreeAt = clock_.now();
  *handle = kOutputTag | device;
  return MMSYSERR_NOERROR;
}

void VirtualMidiPlatform::setOtherSenders(uint32_t output, std::vector<std::string> senders) {
  std::lock_guard lock(mutex_);
  if (output < outputs_.size()) outputs_[output]->otherSenders = std::move(senders);
}

std::string VirtualMidiPlatform::inPortIdentity(uint32_t device) {
  std::lock_guard lock(mutex_);
  if (config_.identity.empty() || device >= inputs_.size()) return {};
  return config_.identity + " in " + std::to_string(device) + " " + inputs_[device]->name;
}

std::string VirtualMidiPlatform::outPortIdentity(uint32_t device) {
  std::lock_guard lock(mutex_);
  if (config_.identity.empty() || device >= outputs_.size()) return {};
  return config_.identity + " out " + std::to_string(device) + " " + outputs_[device]->name;
}

uint32_t VirtualMidiPlatform::outOtherSenders(MidiHandle handle,
                                              std::vector<std::string>& senders) {
  std::lock_guard lock(mutex_);
  senders.clear();
  OutPort* port = outPort(handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  senders = port->otherSenders;
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outPrepareHeader(MidiHandle handle, MidiHeader* header) {
  uint32_t code;
  return enterOut(VirtualOp::OutPrepare, handle, code) ? OutputMessageQueue::prepare(header) : code;
}

uint32_t VirtualMidiPlatform::outUnprepareHeader(MidiHandle handle, MidiHeader* header) {
  uint32_t code;
  OutPort* port = enterOut(VirtualOp::OutUnprepare, handle, code);
  return port ? port->queue.unprepare(header) : code;
}

uint32_t VirtualMidiPlatform::outLongMsg(MidiHandle handle, MidiHeader* header) {
  Clock::TimePoint first;
  Clock::TimePoint last;
  Clock::Duration spacing{};
  uint64_t generation;
  uint32_t output;
  std::vector<uint8_t> bytes;
  {
    std::lock_guard lock(mutex_);
    uint32_t code;
    if (takeFailure(VirtualOp::OutLongMsg, code)) return code;
    OutPort* port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    if (const uint32_t rc = port->queue.add(header); rc != MMSYSERR_NOERROR) return rc;
    // The bytes are taken now: the header is not written from another thread afterwards, so
    // a caller that refills its area before MOM_DONE cannot race with the delivery.
    bytes.assign(header->data, header->data + header->bufferLength);
    output = static_cast<uint32_t>(handle & ~kOutputTag);
    generation = port->generation;
    const Clock::TimePoint now = clock_.now();
    const Clock::TimePoint start = std::max(now, port->wireFreeAt);
    if (config_.wireBytesPerSecond > 0) {
      spacing = Clock::Duration(1'000'000 / config_.wireBytesPerSecond);
    }
    first = start + spacing;
    last = start + spacing * static_cast<int64_t>(bytes.size());
    port->wireFreeAt = last;
  }
  post(last, [this, output, generation, header, bytes = std::move(bytes), first, spacing] {
    completeLongMessage(output, generation, header, bytes, first, spacing);
  });
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outReset(MidiHandle handle) {
  OutPort* port;
  {
    std::lock_guard lock(mutex_);
    uint32_t code;
    if (takeFailure(VirtualOp::OutReset, code)) return code;
    port = outPort(handle);
    if (port == nullptr) return MMSYSERR_INVALHANDLE;
    // Messages still on their way are cut off and given back, as the service does.
    ++port->generation;
    port->wireFreeAt = clock_.now();
  }
  port->queue.returnQueued();  // calls back: no lock of ours held
  return MMSYSERR_NOERROR;
}

uint32_t VirtualMidiPlatform::outClose(MidiHandle handle) {
  std::lock_guard lock(mutex_);
  uint32_t code;
  if (takeFailure(VirtualOp::OutClose, code)) return code;
  OutPort* port = outPort(handle);
  if (port == nullptr) return MMSYSERR_INVALHANDLE;
  if (port->queue.queuedCount() > 0) return MIDIERR_STILLPLAYING;
  ++port->generation;
  port->open = false;
  port->queue.open(0, nullptr, 0);
  return MMSYSERR_NOERROR;
}

std::string VirtualMidiPlatform::inGetErrorText(uint32_t result) {
  return StandardMidiErrorText(result);
}

std::string VirtualMidiPlatform::outGetErrorText(uint32_t result) {
  return StandardMidiErrorText(result);
}

}  // namespace varnet
