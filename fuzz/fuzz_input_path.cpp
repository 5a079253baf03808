// Raw MIDI bytes arriving on the input port, through the input buffer queue, the layer's callback
// and the staging hand-over, to the echo check of a running stream.
//
// The first input byte chooses the mode. A faithful device echoes the logged stream exactly, in
// pieces of at most one buffer between two checks, with real-time bytes mixed in: the check must
// never fail and must have verified everything once the last buffer is flushed. Any other device
// sends arbitrary bytes while the port is restarted, flushed and fetched in arbitrary order: the
// check may fail, but its counts must stay within the log and the frames.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "midi/midi_ports.h"

namespace {

using namespace varnet;

constexpr uint8_t kHeader[10] = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

struct Rig {
  fuzz::QueuePlatform platform;
  fuzz::CountingPrompts prompts;
  MidiLayer midi{platform, prompts};
  VirtualClock clock;
  FirmwareImage image;
  Engine engine{image, midi, clock, prompts};

  Rig() {
    FUZZ_CHECK(OpenMidiInput(midi) == 0);
    midi.ports.inputOpen = 1;
    FUZZ_CHECK(PrepareInputBuffers(midi) == 0);
    SetInputRequeue(midi, 1);
    QueueInputBuffers(midi);
    FUZZ_CHECK(StartMidiInput(midi) == 0);
    engine.SessionState = Running;
  }
  ~Rig() {
    ShutdownMidiInput(midi);
    // No header of the layer may stay with the service once the port is shut.
    FUZZ_CHECK(platform.queue.queuedCount() == 0);
  }

  void log(const std::vector<uint8_t>& bytes) {
    image.SentLog.assign(bytes.size() + 11, 0);
    std::copy(bytes.begin(), bytes.end(), image.SentLog.begin());
    image.sentLogCount = static_cast<uint32_t>(bytes.size());
  }

  void checkBounds() const {
    FUZZ_CHECK(image.echoVerifiedCount <= image.sentLogCount);
    FUZZ_CHECK(midi.ports.frameALength >= 0 && midi.ports.frameALength <= 128);
    FUZZ_CHECK(midi.ports.frameBLength >= 0 && midi.ports.frameBLength <= 128);
    const int32_t state = engine.SessionState.load();
    FUZZ_CHECK(state == Running || state == VerifyFailed);
    FUZZ_CHECK((state == VerifyFailed) == (engine.aborted.load() == 1));
  }
};

std::vector<uint8_t> StreamLog(FuzzedDataProvider& input) {
  std::vector<uint8_t> log(std::begin(kHeader), std::end(kHeader));
  const size_t body = input.ConsumeIntegralInRange<size_t>(0, 1500);
  for (size_t i = 0; i < body && input.remaining_bytes() > 0; ++i) {
    log.push_back(input.ConsumeIntegral<uint8_t>() & 0x7F);
  }
  if (input.ConsumeBool()) log.push_back(0xF7);
  return log;
}

void Faithful(FuzzedDataProvider& input) {
  Rig rig;
  const std::vector<uint8_t> log = StreamLog(input);
  rig.log(log);
  size_t at = 0;
  while (at < log.size()) {
    const size_t count = std::min(log.size() - at, input.ConsumeIntegralInRange<size_t>(1, 128));
    std::vector<uint8_t> chunk(log.begin() + at, log.begin() + at + count);
    // Real-time bytes may come at any point, even inside a System Exclusive message.
    if (input.ConsumeBool()) {
      const size_t where = input.ConsumeIntegralInRange<size_t>(0, chunk.size());
      chunk.insert(chunk.begin() + where, input.ConsumeBool() ? 0xF8 : 0xFE);
    }
    rig.platform.queue.feed(chunk.data(), chunk.size());
    if (input.ConsumeBool()) rig.platform.queue.flushPartial();
    CheckEcho(rig.engine);
    rig.checkBounds();
    FUZZ_CHECK(rig.engine.SessionState.load() == Running);
    at += count;
  }
  rig.platform.queue.flushPartial();
  CheckEcho(rig.engine);
  FUZZ_CHECK(rig.engine.SessionState.load() == Running);
  FUZZ_CHECK(rig.image.echoVerifiedCount == rig.image.sentLogCount);
}

void Arbitrary(FuzzedDataProvider& input) {
  Rig rig;
  rig.log(StreamLog(input));
  while (input.remaining_bytes() > 0) {
    switch (input.ConsumeIntegralInRange<int>(0, 7)) {
      case 0: {
        const std::vector<uint8_t> bytes =
            input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange<size_t>(0, 300));
        rig.platform.queue.feed(bytes.data(), bytes.size());
        break;
      }
      case 1:
        rig.platform.queue.flushPartial();
        break;
      case 2:
        CheckEcho(rig.engine);
        break;
      case 3:
        FetchCapturedInput(rig.midi);
        break;
      case 4:  // the port is stopped and started again, as between two exchanges
        StopMidiInput(rig.midi);
        FUZZ_CHECK(PrepareInputBuffers(rig.midi) == 0);
        QueueInputBuffers(rig.midi);
        StartMidiInput(rig.midi);
        break;
      case 5:
        SetInputRequeue(rig.midi, input.ConsumeBool() ? 1 : 0);
        break;
      case 6: {  // a block handed over with a count that need not match its bytes
        const uint32_t count = input.ConsumeIntegralInRange<uint32_t>(0, 400);
        const std::vector<uint8_t> bytes = input.ConsumeBytes<uint8_t>(count);
        std::vector<uint8_t> block(400, 0x55);
        std::copy(bytes.begin(), bytes.end(), block.begin());
        StageInputBlock(rig.midi, block.data(), count);
        break;
      }
      case 7:
        rig.platform.queue.reset();
        if (rig.midi.requeueInput.load() == 0) QueueInputBuffers(rig.midi);
        break;
    }
    rig.checkBounds();
  }
  CheckEcho(rig.engine);
  rig.checkBounds();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  if (input.ConsumeIntegral<uint8_t>() < 0x80) {
    Faithful(input);
  } else {
    Arbitrary(input);
  }
  return 0;
}
