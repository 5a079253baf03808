#include "midi/layer_port.h"

#include <algorithm>

#include "midi/midi_ports.h"

namespace varnet {

namespace {

static_assert(kPieceCapacity == kOutputAreaSize);
static_assert(kEchoBlockCapacity == kInputBufferSize);

class LayerPort final : public UpdatePort {
 public:
  LayerPort(MidiLayer& midi, Clock& clock) : midi_(midi), clock_(clock) {
    midi_.wakeClock.store(&clock_);
  }
  ~LayerPort() override { midi_.wakeClock.store(nullptr); }
  LayerPort(const LayerPort&) = delete;
  LayerPort& operator=(const LayerPort&) = delete;

  bool open() override {
    MidiPorts& ports = midi_.ports;
    if (ports.sessionPortsOpen.load() == 1) return true;
    // A port that the last close could not let go of (its device vanished) is released now, when
    // the service may allow it, so that this update opens both ports afresh.
    if (midi_.releaseIncomplete) ReleaseMidiPorts(midi_);
    if (ports.inputOpen.load() == 0) {
      if (OpenMidiInput(midi_) != 0) return false;
      ports.inputOpen.store(1);
    }
    if (ports.outputOpen.load() == 0) {
      if (OpenMidiOutput(midi_) != 0) return false;
      ports.outputOpen.store(1);
    }
    ports.sessionPortsOpen.store(1);
    SetInputRequeue(midi_, 1);
    return true;
  }

  void close() override {
    if (midi_.ports.sessionPortsOpen.load() != 1) return;
    ReleaseMidiPorts(midi_);
  }

  void startInput() override {
    clearInput();
    PrepareInputBuffers(midi_);
    StartMidiInput(midi_);  // shows its own box; the handshake then fails for no reply
    QueueInputBuffers(midi_);
  }

  bool send(const uint8_t* bytes, uint32_t length) override {
    MidiPorts& ports = midi_.ports;
    std::copy_n(bytes, std::min<std::size_t>(length, kOutputAreaSize), ports.outputData.begin());
    ports.outputLength = length;
    PrepareOutputMessage(midi_);  // a failure shows its own box; the piece goes all the same
    if (SendOutputMessage(midi_) == 0) return true;
    ports.outputData.fill(0);  // refused: the area is ours again
    return false;
  }

  bool waitSent(Clock::Duration bound) override {
    MidiLayer& midi = midi_;
    if (!clock_.waitFor([&midi] { return midi.outputDone.load() != 0; }, bound)) return false;
    midi_.ports.outputData.fill(0);
    return true;
  }

  bool resetOutput() override { return ReclaimMidiOutput(midi_) == MMSYSERR_NOERROR; }

  std::array<EchoBlock, 2> takeInput() override {
    FetchCapturedInput(midi_);
    // frameA first: when both frames received a block in one hand-over, A's arrived first.
    const MidiPorts& ports = midi_.ports;
    return {EchoBlock{ports.frameA.data(), ports.frameALength},
            EchoBlock{ports.frameB.data(), ports.frameBLength}};
  }

  void clearInput() override {
    MidiPorts& ports = midi_.ports;
    ports.frameA.fill(0);
    ports.frameB.fill(0);
    ports.frameALength = 0;
    ports.frameBLength = 0;
  }

  void returnPartialInput() override { ReturnPartialInput(midi_); }

  uint32_t otherInput(uint32_t& first) override {
    const uint32_t count = midi_.otherInputCount.load(std::memory_order_acquire);
    first = midi_.firstOtherInput.load(std::memory_order_acquire);
    return count;
  }

  void forgetOtherInput() override { ResetOtherInput(midi_); }

  void showDeferredBoxes() override { ShowDeferredBoxes(midi_); }
  bool deferredBoxOpen() override { return DeferredBoxOpen(midi_); }
  void discardDeferredBoxes() override { DiscardDeferredBoxes(midi_); }

  std::vector<std::string> otherSenders() override {
    std::vector<std::string> senders;
    if (midi_.ports.outputOpen.load() == 0) return senders;
    // A system that cannot say names nobody; the echo check still sees what they mix in.
    if (midi_.platform.outOtherSenders(midi_.ports.outputHandle, senders) != MMSYSERR_NOERROR) {
      senders.clear();
    }
    return senders;
  }

  PortPairNames names() override {
    const MidiPorts& ports = midi_.ports;
    return {ports.inputDeviceIndex, DeviceName(ports.inputDeviceName), ports.outputDeviceIndex,
            DeviceName(ports.outputDeviceName)};
  }

 private:
  MidiLayer& midi_;
  Clock& clock_;
};

}  // namespace

std::unique_ptr<UpdatePort> MakeLayerPort(MidiLayer& midi, Clock& clock) {
  return std::make_unique<LayerPort>(midi, clock);
}

}  // namespace varnet
