// The handshake's reading of a reply: IdentifyDevice on a virtual clock while arbitrary blocks
// reach the input staging at arbitrary times, checked against a plain model of the hand-over
// (blocks are handed over in the order they came: the first in area A, the second in B, later
// ones held behind them for later looks).
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "midi/midi_ports.h"

namespace {

using namespace varnet;
using std::chrono::milliseconds;

constexpr const char* kNoResponse = "No response received! Please check connection or device type!";
constexpr const char* kWrongDevice = "Wrong device ID!";
constexpr const char* kMismatch =
    "Firmware mismatch! Wrong firmware file for current device type. Please check whether you "
    "want to update an Ixar AD or an Ixar DA.";

// The request takes its 10 ms piece, then the reply is read 500 ms later. Blocks are kept clear
// of that moment so that the model need not know whether one due exactly then is seen.
constexpr int kReadAtMs = 510;

struct Block {
  int atMs;
  std::vector<uint8_t> bytes;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzedDataProvider input(data, size);
  VirtualClock clock;
  fuzz::QueuePlatform platform;
  fuzz::CountingPrompts prompts;
  MidiLayer midi(platform, prompts);
  FirmwareImage image;
  Engine engine(image, midi, clock, prompts);
  FUZZ_CHECK(OpenMidiOutput(midi) == 0);
  midi.ports.outputOpen = 1;

  const uint8_t kinds[3] = {kKindAD, kKindDA, 0x00};
  image.converterKind = kinds[input.ConsumeIntegralInRange<int>(0, 2)];
  engine.DeviceId = input.ConsumeIntegral<uint8_t>();
  // What earlier exchanges left in the frames beyond their lengths must not be read as a reply.
  for (auto* frame : {&midi.ports.frameA, &midi.ports.frameB}) {
    const std::vector<uint8_t> junk = input.ConsumeBytes<uint8_t>(128);
    std::copy(junk.begin(), junk.end(), frame->begin());
  }

  std::vector<Block> blocks;
  const int count = input.ConsumeIntegralInRange<int>(0, 5);
  for (int i = 0; i < count; ++i) {
    int at = input.ConsumeIntegralInRange<int>(0, 800);
    if (at >= kReadAtMs - 5 && at <= kReadAtMs + 5) at += 11;
    blocks.push_back({at, input.ConsumeBytes<uint8_t>(input.ConsumeIntegralInRange(0, 200))});
  }
  const Clock::TimePoint start = clock.now();
  for (const Block& block : blocks) {
    clock.schedule(start + milliseconds(block.atMs), [&midi, &block] {
      StageInputBlock(midi, block.bytes.data(), static_cast<uint32_t>(block.bytes.size()));
    });
  }

  // The model: blocks staged before the read, in time order (ties in the order scheduled).
  std::vector<const Block*> early;
  for (const Block& block : blocks) {
    if (block.atMs < kReadAtMs) early.push_back(&block);
  }
  std::stable_sort(early.begin(), early.end(),
                   [](const Block* a, const Block* b) { return a->atMs < b->atMs; });
  auto clip = [](const Block* b) {
    std::vector<uint8_t> bytes = b->bytes;
    if (bytes.size() > 128) bytes.resize(128);
    return bytes;
  };
  std::vector<uint8_t> frameA, frameB;
  bool haveA = false, haveB = false;
  if (!early.empty()) {
    frameA = clip(early.front());
    haveA = true;
  }
  if (early.size() > 1) {
    frameB = clip(early[1]);
    haveB = true;
  }
  const std::vector<uint8_t>* reply = nullptr;
  if (haveA && frameA.size() > 8) {
    reply = &frameA;
  } else if (haveB && !frameB.empty()) {
    reply = &frameB;
  }
  auto at = [&](size_t i) -> uint8_t { return i < reply->size() ? (*reply)[i] : 0; };
  const char* expectedBox = nullptr;
  bool expectAbort = false;
  if (reply == nullptr) {
    expectedBox = kNoResponse;
    expectAbort = true;
  } else if (at(4) != 0x32 || at(6) != 0x30) {
    expectedBox = kWrongDevice;
  } else if (((at(10) & 1) ? kKindDA : kKindAD) != image.converterKind) {
    expectedBox = kMismatch;
    expectAbort = true;
  }

  const int result = IdentifyDevice(engine);

  const std::vector<uint8_t> request = {0xF0, 0x00, 0x20, 0x0D, engine.DeviceId, 0x7F, 0x10, 0xF7};
  FUZZ_CHECK(platform.sent == request);
  if (expectedBox == nullptr) {
    FUZZ_CHECK(result == 1);
    FUZZ_CHECK(prompts.boxes.empty());
    FUZZ_CHECK(engine.aborted.load() == 0);
    FUZZ_CHECK(midi.ports.frameALength == 0 && midi.ports.frameBLength == 0);
    FUZZ_CHECK(std::all_of(midi.ports.frameA.begin(), midi.ports.frameA.end(),
                           [](uint8_t b) { return b == 0; }));
  } else {
    FUZZ_CHECK(result == 0);
    FUZZ_CHECK(prompts.boxes.size() == 1);
    FUZZ_CHECK(prompts.boxes[0].text == expectedBox);
    FUZZ_CHECK(prompts.boxes[0].caption == "Error!");
    FUZZ_CHECK(engine.aborted.load() == (expectAbort ? 1u : 0u));
  }
  FUZZ_CHECK(engine.SessionState.load() == Idle);

  // Late blocks still arrive after the handshake has decided; they must land harmlessly.
  clock.sleepFor(milliseconds(1000));
  FUZZ_CHECK(clock.pendingEvents() == 0);
  return 0;
}
