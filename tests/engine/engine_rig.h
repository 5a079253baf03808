// A test rig for the engine below the session: one Engine on a VirtualClock, wired to a scripted
// MIDI output that records every long message with the virtual time it left, completes it when
// the test says, and can echo what it received back into the input staging.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/engine.h"
#include "engine/firmware.h"
#include "midi/midi_ports.h"
#include "midi/platform_base.h"

namespace varnet::test {

using Bytes = std::vector<uint8_t>;
using std::chrono::milliseconds;

inline int64_t Ms(Clock::Duration d) {
  return std::chrono::duration_cast<milliseconds>(d).count();
}

struct RecordedBoxes final : Prompts {
  std::vector<BoxRequest> boxes;
  BoxAnswer showBox(const BoxRequest& request) override {
    boxes.push_back(request);
    return BoxAnswer::Ok;
  }
};

struct Piece {
  Clock::TimePoint at;
  Bytes bytes;
};

// The output side of a MIDI service, scripted per test. It also checks the rule the sender must
// keep: a message in flight is neither replaced by another nor rewritten before it completes.
class ScriptedOutput final : public UnsupportedMidiPlatform {
 public:
  enum class Completion { Immediate, Delayed, Never };

  explicit ScriptedOutput(VirtualClock& clock) : clock_(clock) {}

  void attach(MidiLayer& midi) { midi_ = &midi; }

  Completion completion = Completion::Immediate;
  Clock::Duration completionDelay{};
  Clock::Duration callCost{};  // virtual time the service takes inside each long-message call
  // Per-call overrides of callCost: call number (from 0) -> time taken.
  std::function<Clock::Duration(std::size_t)> costFor;
  // Piece numbers (from 0) the service refuses.
  std::vector<std::size_t> refuse;
  // Per-piece completion delay overrides: piece number -> delay.
  std::function<Clock::Duration(std::size_t)> delayFor;

  // Echo: when set, every accepted piece comes back as one block `echoDelay` later, after
  // `echoFilter` (which may change, drop or add bytes).
  bool echo = false;
  Clock::Duration echoDelay = milliseconds(2);
  std::function<Bytes(std::size_t pieceIndex, const Bytes&)> echoFilter;

  std::vector<Piece> pieces;
  int overlaps = 0;           // messages handed over while the previous one was still in flight
  int rewrittenInFlight = 0;  // messages whose bytes changed before their completion
  std::size_t refusedCount = 0;
  int resets = 0;

  uint32_t outLongMsg(MidiHandle, MidiHeader* header) override {
    const std::size_t index = pieces.size() + refusedCount;
    if (inFlight_) ++overlaps;
    if (const Clock::Duration cost = costFor ? costFor(index) : callCost; cost.count() > 0)
      clock_.sleepFor(cost);
    for (std::size_t r : refuse) {
      if (r == index) {
        ++refusedCount;
        return MIDIERR_NOTREADY;
      }
    }
    Bytes bytes(header->data, header->data + header->bufferLength);
    pieces.push_back({clock_.now(), bytes});
    if (echo) scheduleEcho(pieces.size() - 1, bytes);

    Clock::Duration delay = completionDelay;
    if (delayFor) delay = delayFor(pieces.size() - 1);
    inFlightHeader_ = header;
    if (completion == Completion::Never) {
      inFlight_ = true;
      return MMSYSERR_NOERROR;
    }
    if (completion == Completion::Immediate && !delayFor) {
      callback_(handle_, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
      return MMSYSERR_NOERROR;
    }
    inFlight_ = true;
    clock_.schedule(clock_.now() + delay, [this, header, bytes, generation = resets] {
      if (generation != resets) return;  // cut off and handed back by a reset
      if (Bytes(header->data, header->data + header->bufferLength) != bytes) ++rewrittenInFlight;
      inFlight_ = false;
      callback_(handle_, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
    });
    return MMSYSERR_NOERROR;
  }

  // Lets a message that was left hanging complete now.
  void completeNow(MidiHeader* header) {
    inFlight_ = false;
    callback_(handle_, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(header), 0);
  }

  Bytes wire() const {
    Bytes all;
    for (const Piece& p : pieces) all.insert(all.end(), p.bytes.begin(), p.bytes.end());
    return all;
  }

  // Pieces merged into sends and pauses: pieces 10 ms apart belong to one send, a longer gap is
  // "pause <gap - 10 ms>". Reads like "send 20; pause 20; send 5D 20".
  std::string trace() const;

  uint32_t outGetNumDevs() override { return 1; }
  uint32_t outOpen(MidiHandle* handle, uint32_t, MidiCallback callback,
                   uintptr_t instance) override {
    *handle = handle_;
    callback_ = callback;
    instance_ = instance;
    return 0;
  }
  uint32_t outPrepareHeader(MidiHandle, MidiHeader* header) override {
    header->flags |= MHDR_PREPARED;
    return 0;
  }
  uint32_t outUnprepareHeader(MidiHandle, MidiHeader*) override { return 0; }
  // As the service does: a message still in flight is cut off and handed back.
  uint32_t outReset(MidiHandle) override {
    ++resets;
    if (inFlight_) {
      inFlight_ = false;
      callback_(handle_, MOM_DONE, instance_, reinterpret_cast<uintptr_t>(inFlightHeader_), 0);
    }
    return 0;
  }
  uint32_t outClose(MidiHandle) override { return 0; }

 private:
  void scheduleEcho(std::size_t index, const Bytes& bytes) {
    Bytes back = echoFilter ? echoFilter(index, bytes) : bytes;
    if (back.empty()) return;
    clock_.schedule(clock_.now() + echoDelay, [this, back] {
      StageInputBlock(*midi_, back.data(), static_cast<uint32_t>(back.size()));
    });
  }

  VirtualClock& clock_;
  MidiLayer* midi_ = nullptr;
  MidiHandle handle_ = 7;
  MidiCallback callback_ = nullptr;
  uintptr_t instance_ = 0;
  bool inFlight_ = false;
  MidiHeader* inFlightHeader_ = nullptr;
};

// One engine with its records, as the program's entry would own them.
struct EngineRig {
  VirtualClock clock;
  RecordedBoxes prompts;
  ScriptedOutput output{clock};
  MidiLayer midi{output, prompts};
  FirmwareImage image;
  Engine engine{image, midi, clock, prompts};

  EngineRig() {
    output.attach(midi);
    EXPECT_EQ(OpenMidiOutput(midi), 0);
    midi.ports.outputOpen = 1;
    engine.DeviceId = 0x32;
  }

  // Takes `payload` into the image as the loader would (buffers at their minimum sizes).
  void load(const Bytes& payload, uint8_t kind = kKindDA);

  Clock::Duration elapsed() const { return const_cast<VirtualClock&>(clock).now() - start; }
  Clock::TimePoint start{};
};

Bytes Log(const FirmwareImage& image);  // the first sentLogCount bytes of SentLog
std::string Hex(const Bytes& bytes);

}  // namespace varnet::test
