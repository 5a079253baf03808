// The MIDI port layer: the one input and one output port through which the updater talks to the
// converter, the 32-byte outgoing message area, and input capture through two 128-byte buffers,
// two staging areas (with a queue behind them) and two caller-visible frames.
//
// One MidiLayer exists per program; its owner (the program's entry or a test) passes it by
// reference. Flags and lengths shared with the MIDI service's callback thread are atomic words.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/clock.h"
#include "core/prompts.h"
#include "midi/platform.h"

namespace varnet {

constexpr std::size_t kInputBufferSize = 128;
constexpr std::size_t kOutputAreaSize = 32;
constexpr std::size_t kNameAreaSize = 260;
constexpr std::size_t kErrorTextSize = 260;

// The layer's record. Field order and meaning as the rest of the program expects them.
struct MidiPorts {
  MidiHandle inputHandle = 0;
  MidiHandle outputHandle = 0;
  MidiHeader inputHeaderA{};
  MidiHeader inputHeaderB{};
  MidiHeader outputHeader{};
  int32_t inputDeviceIndex = 0;
  int32_t outputDeviceIndex = 0;
  std::atomic<uint32_t> inputOpen{0};
  std::atomic<uint32_t> outputOpen{0};
  std::atomic<uint32_t> sessionPortsOpen{0};
  std::array<char, kNameAreaSize> inputDeviceName{};  // first 32 characters: NUL-terminated name
  std::array<char, kNameAreaSize> outputDeviceName{};
  int32_t inputDeviceCount = 0;
  int32_t outputDeviceCount = 0;
  int32_t frameALength = 0;
  int32_t frameBLength = 0;
  uint32_t outputLength = 0;
  std::array<uint8_t, kInputBufferSize> inputDataA{};
  std::array<uint8_t, kInputBufferSize> inputDataB{};
  std::array<uint8_t, kInputBufferSize> frameA{};
  std::array<uint8_t, kInputBufferSize> frameB{};
  std::array<uint8_t, kOutputAreaSize> outputData{};
  std::array<char, kErrorTextSize> inputErrorText{};
  std::array<char, kErrorTextSize> outputErrorText{};
};

// One staging area, written by the input callback and handed over by FetchCapturedInput.
// See midi_ports.cpp for the hand-over scheme.
struct StagingArea {
  std::atomic<uint32_t> free{1};   // stagingAFree / stagingBFree
  std::atomic<int32_t> length{0};  // stagingALength / stagingBLength
  std::atomic<uint32_t> busy{0};   // claim word: 1 while the callback or a fetch owns the bytes
  std::array<uint8_t, kInputBufferSize> bytes{};
};

// Blocks that came back while both staging areas still waited, oldest first. A server with a
// long period (JACK at 4096 frames hands over 85 ms of echo at once) or a reader that looks away
// for a while (a pause in the stream, the end before the last look) returns more than two blocks
// between two looks; replacing the newer waiting block would lose echo that did arrive, and the
// check would then fail an update the device received whole. 64 blocks are 2.5 s of stream.
constexpr std::size_t kHeldInputBlocks = 64;
struct HeldInput {
  std::mutex mutex;  // taken before either area's claim, by the callback and by a fetch
  std::array<std::array<uint8_t, kInputBufferSize>, kHeldInputBlocks> bytes{};
  std::array<int32_t, kHeldInputBlocks> lengths{};
  std::size_t first = 0;
  std::size_t count = 0;
  // Blocks that found even this full, and were lost (the echo check then sees the gap).
  uint64_t dropped = 0;
};

// The layer: the record, the layer variables, and the platform and prompts it works through.
struct MidiLayer {
  MidiLayer(MidiPlatform& platform, Prompts& prompts) : platform(platform), prompts(prompts) {}
  MidiLayer(const MidiLayer&) = delete;
  MidiLayer& operator=(const MidiLayer&) = delete;

  MidiPlatform& platform;
  Prompts& prompts;

  MidiPorts ports;
  std::atomic<uint32_t> outputDone{1};
  StagingArea stagingA;
  StagingArea stagingB;
  HeldInput held;
  std::atomic<uint32_t> requeueInput{0};
  // Input headers handed to the service and not yet back through the callback; lets
  // PrepareInputBuffers take back headers that are still queued before it zero-fills them.
  std::atomic<int32_t> inputBuffersQueued{0};
  // A port that ReleaseMidiPorts could not close (the service refused even after a reset): the
  // next session start tries to release it again before it opens anything. User-interface
  // thread only.
  bool releaseIncomplete = false;

  // Boxes the layer is asked for on another thread (the update worker's PrepareOutputMessage)
  // must not be built there: a toolkit shows boxes on its own thread only, and a terminal's
  // progress bar is drawn by that thread. They wait here, in order, until ShowDeferredBoxes
  // shows them; the worker never waits for the user. The layer is created on the thread that
  // shows boxes.
  const std::thread::id userInterfaceThread = std::this_thread::get_id();
  std::mutex deferredMutex;
  std::vector<BoxRequest> deferredBoxes;  // under deferredMutex
  bool showingDeferred = false;           // user-interface thread only
  // How often the user has chosen ports in the port dialog (its OK, ReopenMidiPorts): only
  // ports chosen so are recorded anew when the window ends. User-interface thread only.
  uint32_t portChoices = 0;
  // Input that is not System Exclusive and not real-time (status 0x80-0xF6: channel and system
  // common messages, and invalid short messages the service reports as errors), counted by the
  // input callback since ResetOtherInput. The device must send
  // nothing but its echo while the stream runs, so the echo check counts any of it as a
  // difference. firstOtherInput holds the first such message as the service packed it (status
  // in the low byte).
  std::atomic<uint32_t> otherInputCount{0};
  std::atomic<uint32_t> firstOtherInput{0};
  // Woken (Clock::notify) whenever a callback completes a message or stages input, so that a
  // waiter on either sees it at once. Set by the engine; may stay null.
  std::atomic<Clock*> wakeClock{nullptr};
};

// Operations. Results: 0 for success; the codes each one lists otherwise.
void InitMidiPorts(MidiLayer& midi);
void RefreshDeviceNames(MidiLayer& midi, int32_t inputIndex, int32_t outputIndex, WindowRef owner);
int OpenMidiInput(MidiLayer& midi);   // 0 opened, 1 failed (box "MIDI-Input Error")
int OpenMidiOutput(MidiLayer& midi);  // 0 opened, 1 failed (box "MIDI-Output Error")
int PrepareInputBuffers(MidiLayer& midi);
int StartMidiInput(MidiLayer& midi);
void QueueInputBuffers(MidiLayer& midi);
void SetInputRequeue(MidiLayer& midi, uint32_t value);
// Forgets the non-echo input counted so far (see MidiLayer::otherInputCount).
void ResetOtherInput(MidiLayer& midi);
// Has the service return the input buffer it is filling now (midiInReset; the callback re-queues
// it while requeueInput is 1) and starts input again. A partly filled block only comes back this
// way; the finish uses it to see an echo that stopped inside a block. 0, or the service's code.
uint32_t ReturnPartialInput(MidiLayer& midi);
void FetchCapturedInput(MidiLayer& midi);
int PrepareOutputMessage(MidiLayer& midi);
int SendOutputMessage(MidiLayer& midi);  // 0 accepted, 2 refused
int UnprepareOutputMessage(MidiLayer& midi);
int ResetMidiOutput(MidiLayer& midi);  // 0 reset issued, 1 skipped (a message is outstanding)
// Resets the output whether or not a message is outstanding: the service hands back what it
// holds (with MOM_DONE) and discards what was queued before the reset, so that the end byte can
// follow a message that never completed. 0, or the service's code (the port is gone).
uint32_t ReclaimMidiOutput(MidiLayer& midi);
uint32_t CloseMidiOutput(MidiLayer& midi);
void StopMidiInput(MidiLayer& midi);
int UnprepareInputBuffers(MidiLayer& midi);
int CloseMidiInput(MidiLayer& midi);  // 0 closed, 1 reset failed or still playing, 2 other
void ShutdownMidiInput(MidiLayer& midi);
// Closes whichever of the two ports is open, output first, and clears a port's flag only once
// the port has really closed. The one way the program lets go of its ports: at the end of an
// update session, on the port dialog's OK, on Quit and when the window is destroyed. A port
// that a vanished device holds (a message never completed, buffers never returned) is reset
// and closed once more. 0 when both ports are closed; 1 when one is still open (its flag stays
// set, and MidiLayer::releaseIncomplete asks the next session start to try again). An output
// that cannot be closed leaves the input as it was, as the documented close sequence does.
// Either way the ports are no longer an update's (sessionPortsOpen is cleared).
int ReleaseMidiPorts(MidiLayer& midi);
// The port dialog's OK: releases both ports as above, stores the chosen device indices, opens
// each port afresh and refreshes the device names after each open that succeeds. A port that
// cannot be opened has shown its box and stays closed. Counts a choice (MidiLayer::portChoices).
void ReopenMidiPorts(MidiLayer& midi, int32_t inputIndex, int32_t outputIndex, WindowRef owner);

// Shows the boxes requested on other threads, oldest first, one at a time (a call made while
// one of them is open returns at once). User-interface thread only.
void ShowDeferredBoxes(MidiLayer& midi);
// True while ShowDeferredBoxes has a box open.
inline bool DeferredBoxOpen(const MidiLayer& midi) {
  return midi.showingDeferred;
}
// Forgets the boxes still waiting (the program is closing and shows no more boxes).
void DiscardDeferredBoxes(MidiLayer& midi);

// The two callbacks; `instance` is the MidiLayer* the ports were opened with (the open operations
// pass &midi as the instance word, where the original service call passed 0).
void MidiInputCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t param2);
void MidiOutputCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                        uintptr_t param2);

// Staging logic alone (no platform call): what the input callback does with a returned block.
void StageInputBlock(MidiLayer& midi, const uint8_t* data, uint32_t count);

// Helpers for callers and front ends.
std::string DeviceName(const std::array<char, kNameAreaSize>& area);

}  // namespace varnet
