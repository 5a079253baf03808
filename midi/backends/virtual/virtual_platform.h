// The virtual MIDI platform: input and output ports inside the process, with the semantics of the
// Windows service, optionally wired to a simulated converter. Tests, the session and the dialogs
// run against it; varnet-flash offers it as a port for dry runs.
//
// Timing. An output long message occupies the wire for its bytes' time at 3125 bytes/s (10 bits a
// byte at 31250 baud); messages queue behind each other. When its last byte has left, the
// converter receives the bytes with their arrival times and MOM_DONE is reported (unless the
// converter stalls or is unplugged). The converter's replies and echo are fed to the wired input
// port at their due times. With wireBytesPerSecond = 0 a message is delivered and completed at
// once (on the next clock event run).
//
// Clocks. On a VirtualClock every delivery is scheduled with VirtualClock::schedule and runs on
// the thread whose sleep or wait carries the clock past it, so a run is deterministic. On any
// other clock the deliveries run on one backend thread of the platform's own, which then plays
// the part of the MIDI service's callback thread.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "midi/backends/virtual/virtual_peer.h"
#include "midi/input_queue.h"
#include "midi/output_queue.h"
#include "midi/platform.h"

namespace varnet {

// Operations that can be made to fail on demand.
enum class VirtualOp {
  InGetDevCaps,
  OutGetDevCaps,
  InOpen,
  InPrepare,
  InUnprepare,
  InAddBuffer,
  InStart,
  InStop,
  InReset,
  InClose,
  OutOpen,
  OutPrepare,
  OutUnprepare,
  OutLongMsg,
  OutReset,
  OutClose,
};

struct VirtualPlatformConfig {
  std::vector<std::string> inputs{
      "Varnet Simulator In"};  // names longer than 31 are cut (their identity is the whole name)
  std::vector<std::string> outputs{"Varnet Simulator Out"};
  uint32_t wireBytesPerSecond = 3125;  // 0: long messages complete at once
  // What the ports are called beyond this process (see MidiPlatform::inPortIdentity): empty for
  // ports that only this process sees; a test that plays several programs on the same ports
  // names them.
  std::string identity;
};

// A config with n inputs and m outputs named "Virtual In 1".. / "Virtual Out 1"..; the first of
// each keeps the simulator's name when `simulatorFirst` is set.
VirtualPlatformConfig VirtualPorts(uint32_t inputs, uint32_t outputs, bool simulatorFirst = true);

class VirtualMidiPlatform final : public MidiPlatform {
 public:
  static constexpr int kAlways = -1;

  explicit VirtualMidiPlatform(Clock& clock, VirtualPlatformConfig config = {});
  ~VirtualMidiPlatform() override;
  VirtualMidiPlatform(const VirtualMidiPlatform&) = delete;
  VirtualMidiPlatform& operator=(const VirtualMidiPlatform&) = delete;

  // What is sent on output device `output` reaches `converter`; what it sends back arrives on
  // input device `input`. Each output reaches at most one peer (a later call for the same output
  // replaces it), so several devices can sit behind different ports of one platform. The
  // converter must outlive the platform. Call before opening ports.
  void connectConverter(VirtualPeer& converter, uint32_t input = 0, uint32_t output = 0);

  // After `after` calls that succeed, the next `times` calls of `op` (every later call with
  // kAlways) fail with `code` and do nothing.
  void failOn(VirtualOp op, uint32_t code, int times = kAlways, int after = 0);
  void clearFailures();

  // Raw bytes arriving on input device `input` after `delay` (a stray message, a second device).
  void injectInput(uint32_t input, std::vector<uint8_t> bytes,
                   Clock::Duration delay = Clock::Duration::zero());

  // Other programs connected to output device `output`'s device input, as the MIDI system would
  // name them (a sequencer sending clock, a second update); they may come and go at any time.
  void setOtherSenders(uint32_t output, std::vector<std::string> senders);

  // Observation for tests.
  std::vector<uint8_t> sentBytes(uint32_t output) const;  // every byte that left the port
  std::size_t queuedInputBuffers(uint32_t input) const;
  uint64_t droppedInputBytes(uint32_t input) const;
  bool isInputOpen(uint32_t input) const;
  bool isOutputOpen(uint32_t output) const;
  std::size_t pendingLongMessages(uint32_t output) const;
  // On a real clock: waits (up to `timeout`) until every delivery due by now has run.
  bool settle(Clock::Duration timeout = std::chrono::seconds(2));

  // MidiPlatform.
  uint32_t inGetNumDevs() override;
  uint32_t outGetNumDevs() override;
  uint32_t inGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override;
  uint32_t outGetDevCaps(uint32_t device, char (&name)[kMidiNameLength]) override;
  uint32_t inGetDevIdentity(uint32_t device, PortIdentity& identity) override;
  uint32_t outGetDevIdentity(uint32_t device, PortIdentity& identity) override;
  uint32_t inOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                  uintptr_t instance) override;
  uint32_t inPrepareHeader(MidiHandle handle, MidiHeader* header) override;
  uint32_t inUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
  uint32_t inAddBuffer(MidiHandle handle, MidiHeader* header) override;
  uint32_t inStart(MidiHandle handle) override;
  uint32_t inStop(MidiHandle handle) override;
  uint32_t inReset(MidiHandle handle) override;
  uint32_t inClose(MidiHandle handle) override;
  uint32_t outOpen(MidiHandle* handle, uint32_t device, MidiCallback callback,
                   uintptr_t instance) override;
  uint32_t outPrepareHeader(MidiHandle handle, MidiHeader* header) override;
  uint32_t outUnprepareHeader(MidiHandle handle, MidiHeader* header) override;
  uint32_t outLongMsg(MidiHandle handle, MidiHeader* header) override;
  uint32_t outReset(MidiHandle handle) override;
  uint32_t outClose(MidiHandle handle) override;
  std::string inGetErrorText(uint32_t result) override;
  std::string outGetErrorText(uint32_t result) override;
  std::string inPortIdentity(uint32_t device) override;
  std::string outPortIdentity(uint32_t device) override;
  uint32_t outOtherSenders(MidiHandle handle, std::vector<std::string>& senders) override;

 private:
  struct InPort {
    std::string name;
    bool open = false;
    InputBufferQueue queue;
  };
  struct OutPort {
    std::string name;
    bool open = false;
    uint64_t generation = 0;  // bumped by reset and close: pending deliveries are dropped
    // Long messages not yet completed, oldest first. outLongMsg copies the bytes, so a header
    // may be handed over again while it is still on its way.
    OutputMessageQueue queue{true};
    Clock::TimePoint wireFreeAt{};
    std::vector<uint8_t> sent;
    std::vector<std::string> otherSenders;
  };
  struct Failure {
    uint32_t code = 0;
    int remaining = 0;
    int skip = 0;
  };
  using Event = std::function<void()>;

  bool takeFailure(VirtualOp op, uint32_t& code);  // mutex_ held
  InPort* inPort(MidiHandle handle);               // mutex_ held
  OutPort* outPort(MidiHandle handle);             // mutex_ held
  // A call on an open port: the port, or null and `code` (a failure asked for, or a handle that
  // names no open port). Takes mutex_ itself; the port's queue has locks of its own.
  InPort* enterIn(VirtualOp op, MidiHandle handle, uint32_t& code);
  OutPort* enterOut(VirtualOp op, MidiHandle handle, uint32_t& code);
  void post(Clock::TimePoint due, Event event);
  void runThread();
  void completeLongMessage(uint32_t output, uint64_t generation, MidiHeader* header,
                           std::vector<uint8_t> bytes, Clock::TimePoint firstArrival,
                           Clock::Duration spacing);
  void deliverInput(uint32_t input, const std::vector<uint8_t>& bytes, bool flush);

  Clock& clock_;
  VirtualClock* virtualClock_ = nullptr;
  VirtualPlatformConfig config_;
  std::shared_ptr<std::atomic<bool>> alive_;

  mutable std::mutex mutex_;
  std::vector<std::unique_ptr<InPort>> inputs_;
  std::vector<std::unique_ptr<OutPort>> outputs_;
  std::map<VirtualOp, Failure> failures_;
  struct PeerLink {
    VirtualPeer* peer = nullptr;
    uint32_t input = 0;
  };
  std::map<uint32_t, PeerLink> peers_;  // by output device

  // The backend thread (real clocks only).
  struct Timed {
    Clock::TimePoint due;
    uint64_t seq;
    Event event;
  };
  std::mutex threadMutex_;
  std::condition_variable threadWake_;
  std::vector<Timed> timed_;
  uint64_t nextSeq_ = 0;
  bool stopping_ = false;
  bool running_ = false;  // an event is being run
  std::thread thread_;
};

}  // namespace varnet
