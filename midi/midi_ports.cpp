#include "midi/midi_ports.h"

#include <algorithm>
#include <cstring>
#include <thread>

namespace varnet {

namespace {

constexpr char kErrorCaption[] = "Error!";

void StoreText(std::array<char, kErrorTextSize>& area, const std::string& text) {
  area.fill('\0');
  const std::size_t n = std::min(text.size(), area.size() - 1);
  std::memcpy(area.data(), text.data(), n);
}

std::string TextOf(const std::array<char, kErrorTextSize>& area) {
  return std::string(area.data(), strnlen(area.data(), area.size()));
}

// A failing port would otherwise queue a box for every 32-byte piece of the stream.
constexpr std::size_t kMaxDeferredBoxes = 8;

void ShowErrorBox(MidiLayer& midi, const std::string& text, const char* caption) {
  const BoxRequest request{text, caption, BoxIcon::Error, BoxButtons::Ok, nullptr};
  if (std::this_thread::get_id() == midi.userInterfaceThread) {
    midi.prompts.showBox(request);
    return;
  }
  std::lock_guard lock(midi.deferredMutex);
  for (const BoxRequest& waiting : midi.deferredBoxes) {
    if (waiting.text == request.text && waiting.caption == request.caption) return;
  }
  if (midi.deferredBoxes.size() < kMaxDeferredBoxes) midi.deferredBoxes.push_back(request);
}

void ReportInput(MidiLayer& midi, uint32_t result, bool show, const char* caption = kErrorCaption) {
  StoreText(midi.ports.inputErrorText, midi.platform.inGetErrorText(result));
  if (show) ShowErrorBox(midi, TextOf(midi.ports.inputErrorText), caption);
}

void ReportOutput(MidiLayer& midi, uint32_t result, bool show,
                  const char* caption = kErrorCaption) {
  StoreText(midi.ports.outputErrorText, midi.platform.outGetErrorText(result));
  if (show) ShowErrorBox(midi, TextOf(midi.ports.outputErrorText), caption);
}

// ---------------------------------------------------------------------------------------------
// Staging hand-over.
//
// The free flags keep their documented meaning: only the callback clears one, before it copies a
// block; only a fetch (or a stop) sets one, after the block has been handed over. Each area also
// has a claim word, `busy`, taken with an acquiring compare-exchange and given back with a
// releasing store. The callback writes an area only under its claim, so a fetch that takes the
// claim waits out a copy in progress and never hands over half a block.
//
// The fetch, in order:
//   1. takes A's claim only to read A's free flag (waiting out a callback that is filling A);
//      if A holds nothing, B holds nothing either (see below) and the fetch is done;
//   2. copies A into frameA and zero-fills it without the claim: while A's flag is 0 the
//      callback never writes A, and only this fetch sets the flag again;
//   3. under B's claim: hands B over if it waits, then sets A's free flag, then lets go of B.
// The callback, in order:
//   1. under A's claim: if A is free, fills it and is done;
//   2. otherwise takes B's claim as well, and looks at A's flag once more: a fetch that held B
//      may have freed A meanwhile, and then the block goes into A (it is newer than whatever the
//      fetch just handed over from B); otherwise, if B is free, it clears B's flag, lets go of A,
//      fills B and lets go of B; if B waits too, the block joins the held queue (HeldInput).
// Both take the held queue's lock first and keep it to the end, so a block is held only while
// both areas wait, and held blocks are older than any block not yet staged. A block arriving
// while blocks are held joins the queue behind them; a fetch, after handing over A and B,
// moves the oldest held blocks into A and then B.
//
// Why this order. Blocks must reach the frames in arrival order (the echo check reads frameA
// before frameB). A is freed only while B's claim is held and B has been handed over, and the
// callback chooses B only while it holds A's claim and sees A waiting; so whenever a fetch can
// look, a block waiting in B is newer than the one in A, and B never waits while A is free. A
// block waiting in A is never overwritten.
//
// Waiting. A fetch holds A's claim for one flag read and B's claim for one 128-byte copy (with
// its zero-fill); the callback waits for no more than that. The fetch may wait for one callback
// copy. Stops and preparations take each claim for one zero-fill.
// ---------------------------------------------------------------------------------------------

void Claim(StagingArea& area) {
  uint32_t expected = 0;
  unsigned spins = 0;
  while (!area.busy.compare_exchange_weak(expected, 1, std::memory_order_acquire,
                                          std::memory_order_relaxed)) {
    expected = 0;
    // The holder is inside one short copy; yield only if it has been preempted.
    if (++spins > 256) std::this_thread::yield();
  }
}

void Release(StagingArea& area) {
  area.busy.store(0, std::memory_order_release);
}

// Copies a waiting area's block into a frame and zero-fills the area. The caller has made sure
// that the callback cannot write the area meanwhile.
void CopyOut(StagingArea& area, std::array<uint8_t, kInputBufferSize>& frame,
             int32_t& frameLength) {
  const int32_t n = area.length.load(std::memory_order_relaxed);
  if (n > 0) {
    std::memcpy(frame.data(), area.bytes.data(),
                std::min<std::size_t>(static_cast<std::size_t>(n), kInputBufferSize));
  }
  frameLength = n;
  area.bytes.fill(0);
}

void FreeArea(StagingArea& area, bool zero) {
  Claim(area);
  if (zero) area.bytes.fill(0);
  area.free.store(1, std::memory_order_release);
  Release(area);
}

void Fill(StagingArea& area, const uint8_t* data, uint32_t count) {
  area.free.store(0, std::memory_order_release);
  if (count > 0 && data != nullptr) std::memcpy(area.bytes.data(), data, count);
  area.length.store(static_cast<int32_t>(count), std::memory_order_release);
}

void Hold(HeldInput& held, const uint8_t* data, uint32_t count) {
  if (held.count == kHeldInputBlocks) {
    ++held.dropped;
    return;
  }
  const std::size_t slot = (held.first + held.count) % kHeldInputBlocks;
  if (count > 0) std::memcpy(held.bytes[slot].data(), data, count);
  held.lengths[slot] = static_cast<int32_t>(count);
  ++held.count;
}

// Moves the oldest held block into a free area.
void Unhold(HeldInput& held, StagingArea& area) {
  Claim(area);
  const int32_t n = held.lengths[held.first];
  Fill(area, held.bytes[held.first].data(), static_cast<uint32_t>(n));
  Release(area);
  held.first = (held.first + 1) % kHeldInputBlocks;
  --held.count;
}

// Empties both areas and the held queue (a stop, a new start).
void ForgetStagedInput(MidiLayer& midi, bool zero) {
  std::lock_guard held(midi.held.mutex);
  FreeArea(midi.stagingA, zero);
  FreeArea(midi.stagingB, zero);
  midi.held.first = 0;
  midi.held.count = 0;
}

}  // namespace

void StageInputBlock(MidiLayer& midi, const uint8_t* data, uint32_t count) {
  const uint32_t n = data == nullptr ? 0 : std::min<uint32_t>(count, kInputBufferSize);
  StagingArea& a = midi.stagingA;
  StagingArea& b = midi.stagingB;
  std::lock_guard held(midi.held.mutex);
  if (midi.held.count > 0) {
    Hold(midi.held, data, n);
    return;
  }
  Claim(a);
  if (a.free.load(std::memory_order_acquire) != 0) {
    Fill(a, data, n);
    Release(a);
    return;
  }
  Claim(b);
  if (a.free.load(std::memory_order_acquire) != 0) {
    Release(b);
    Fill(a, data, n);
    Release(a);
    return;
  }
  if (b.free.load(std::memory_order_acquire) == 0) {
    Release(b);
    Release(a);
    Hold(midi.held, data, n);
    return;
  }
  b.free.store(0, std::memory_order_release);
  Release(a);
  Fill(b, data, n);
  Release(b);
}

void FetchCapturedInput(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  StagingArea& a = midi.stagingA;
  StagingArea& b = midi.stagingB;
  std::lock_guard held(midi.held.mutex);
  Claim(a);
  const bool aWaiting = a.free.load(std::memory_order_acquire) == 0;
  Release(a);
  if (!aWaiting) return;
  CopyOut(a, p.frameA, p.frameALength);
  Claim(b);
  if (b.free.load(std::memory_order_acquire) == 0) {
    CopyOut(b, p.frameB, p.frameBLength);
    b.free.store(1, std::memory_order_release);
  }
  a.free.store(1, std::memory_order_release);
  Release(b);
  if (midi.held.count > 0) Unhold(midi.held, a);
  if (midi.held.count > 0) Unhold(midi.held, b);
}

// ---------------------------------------------------------------------------------------------
// Callbacks.

namespace {

void Wake(MidiLayer& midi) {
  if (Clock* clock = midi.wakeClock.load(std::memory_order_acquire)) clock->notify();
}

}  // namespace

void MidiInputCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                       uintptr_t /*param2*/) {
  auto* midi = reinterpret_cast<MidiLayer*>(instance);
  if (midi == nullptr) return;
  if (message == MIM_DATA || message == MIM_ERROR) {
    // Real-time bytes (0xF8-0xFF: clock, active sensing) may come at any time and mean nothing
    // here; anything else outside System Exclusive is input the echo check must see. So is an
    // invalid short message (MIM_ERROR), whatever its first byte: a device that garbles what
    // it sends is not echoing the stream.
    const auto status = static_cast<uint8_t>(param1 & 0xFF);
    if (status > 0xF6) return;
    if (message == MIM_DATA && status < 0x80) return;
    // The first message is kept before it is counted, so a reader that sees a count sees it.
    uint32_t none = 0;
    midi->firstOtherInput.compare_exchange_strong(none, static_cast<uint32_t>(param1),
                                                  std::memory_order_acq_rel);
    midi->otherInputCount.fetch_add(1, std::memory_order_acq_rel);
    Wake(*midi);
    return;
  }
  if (message != MIM_LONGDATA) return;
  auto* header = reinterpret_cast<MidiHeader*>(param1);
  if (header == nullptr) return;
  midi->inputBuffersQueued.fetch_sub(1, std::memory_order_relaxed);
  StageInputBlock(*midi, header->data, std::min<uint32_t>(header->bytesRecorded, kInputBufferSize));
  if (midi->requeueInput.load(std::memory_order_acquire) == 1) {
    midi->inputBuffersQueued.fetch_add(1, std::memory_order_relaxed);
    if (midi->platform.inAddBuffer(handle, header) != MMSYSERR_NOERROR) {
      midi->inputBuffersQueued.fetch_sub(1, std::memory_order_relaxed);
    }
  }
  Wake(*midi);
}

void MidiOutputCallback(MidiHandle /*handle*/, uint32_t message, uintptr_t instance,
                        uintptr_t /*param1*/, uintptr_t /*param2*/) {
  if (message != MOM_DONE) return;
  auto* midi = reinterpret_cast<MidiLayer*>(instance);
  if (midi == nullptr) return;
  midi->outputDone.store(1, std::memory_order_release);
  Wake(*midi);
}

// ---------------------------------------------------------------------------------------------
// Operations.

void InitMidiPorts(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  p.inputDeviceCount = static_cast<int32_t>(midi.platform.inGetNumDevs());
  p.outputDeviceCount = static_cast<int32_t>(midi.platform.outGetNumDevs());
  p.inputOpen = 0;
  p.outputOpen = 0;
  p.sessionPortsOpen = 0;
}

void RefreshDeviceNames(MidiLayer& midi, int32_t inputIndex, int32_t outputIndex, WindowRef owner) {
  char name[kMidiNameLength] = {};
  if (midi.platform.inGetDevCaps(static_cast<uint32_t>(inputIndex), name) != MMSYSERR_NOERROR) {
    midi.prompts.showError("MIDI Input Error!", "Error", owner);
    return;
  }
  name[kMidiNameLength - 1] = '\0';  // a name that lacks its terminator is cut, never overrun
  std::memcpy(midi.ports.inputDeviceName.data(), name, kMidiNameLength);

  char outName[kMidiNameLength] = {};
  if (midi.platform.outGetDevCaps(static_cast<uint32_t>(outputIndex), outName) !=
      MMSYSERR_NOERROR) {
    midi.prompts.showError("MIDI Output Error!", "Error", owner);
    return;
  }
  outName[kMidiNameLength - 1] = '\0';
  std::memcpy(midi.ports.outputDeviceName.data(), outName, kMidiNameLength);
}

int OpenMidiInput(MidiLayer& midi) {
  MidiHandle handle = 0;
  const uint32_t r =
      midi.platform.inOpen(&handle, static_cast<uint32_t>(midi.ports.inputDeviceIndex),
                           MidiInputCallback, reinterpret_cast<uintptr_t>(&midi));
  if (r != MMSYSERR_NOERROR) {
    ReportInput(midi, r, true, "MIDI-Input Error");
    return 1;
  }
  midi.ports.inputHandle = handle;
  return 0;
}

int OpenMidiOutput(MidiLayer& midi) {
  MidiHandle handle = 0;
  const uint32_t r =
      midi.platform.outOpen(&handle, static_cast<uint32_t>(midi.ports.outputDeviceIndex),
                            MidiOutputCallback, reinterpret_cast<uintptr_t>(&midi));
  if (r != MMSYSERR_NOERROR) {
    ReportOutput(midi, r, true, "MIDI-Output Error");
    return 1;
  }
  midi.ports.outputHandle = handle;
  return 0;
}

int PrepareInputBuffers(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  // Headers still with the service (a session end whose output close failed left the input
  // capturing) must come back before they are zero-filled: the service would otherwise write
  // into a header we are rewriting. The reset returns them without re-queueing them, and the
  // blocks it delivers are discarded with the free flags below.
  if (midi.inputBuffersQueued.load(std::memory_order_acquire) > 0) {
    const uint32_t requeue = midi.requeueInput.exchange(0);
    const uint32_t r = midi.platform.inReset(p.inputHandle);
    midi.requeueInput.store(requeue);
    if (r != MMSYSERR_NOERROR) {
      ReportInput(midi, r, true);
      return 1;
    }
  }
  p.inputHeaderA = MidiHeader{};
  p.inputHeaderB = MidiHeader{};
  p.inputHeaderA.data = p.inputDataA.data();
  p.inputHeaderA.bufferLength = kInputBufferSize;
  uint32_t r = midi.platform.inPrepareHeader(p.inputHandle, &p.inputHeaderA);
  if (r != MMSYSERR_NOERROR) {
    ReportInput(midi, r, true);
    return 1;
  }
  p.inputHeaderB.data = p.inputDataB.data();
  p.inputHeaderB.bufferLength = kInputBufferSize;
  r = midi.platform.inPrepareHeader(p.inputHandle, &p.inputHeaderB);
  if (r != MMSYSERR_NOERROR) {
    ReportInput(midi, r, true);
    return 1;
  }
  ForgetStagedInput(midi, false);
  return 0;
}

int StartMidiInput(MidiLayer& midi) {
  const uint32_t r = midi.platform.inStart(midi.ports.inputHandle);
  if (r != MMSYSERR_NOERROR) {
    ReportInput(midi, r, true);
    return 1;
  }
  return 0;
}

void QueueInputBuffers(MidiLayer& midi) {
  for (MidiHeader* header : {&midi.ports.inputHeaderA, &midi.ports.inputHeaderB}) {
    // Counted before the call: the buffer may come back on the service's thread at once.
    midi.inputBuffersQueued.fetch_add(1, std::memory_order_relaxed);
    if (midi.platform.inAddBuffer(midi.ports.inputHandle, header) != MMSYSERR_NOERROR) {
      midi.inputBuffersQueued.fetch_sub(1, std::memory_order_relaxed);
    }
  }
}

void SetInputRequeue(MidiLayer& midi, uint32_t value) {
  midi.requeueInput.store(value, std::memory_order_release);
}

void ResetOtherInput(MidiLayer& midi) {
  midi.firstOtherInput.store(0, std::memory_order_release);
  midi.otherInputCount.store(0, std::memory_order_release);
}

uint32_t ReturnPartialInput(MidiLayer& midi) {
  const uint32_t r = midi.platform.inReset(midi.ports.inputHandle);
  if (r != MMSYSERR_NOERROR) return r;
  return midi.platform.inStart(midi.ports.inputHandle);
}

int PrepareOutputMessage(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  p.outputHeader = MidiHeader{};
  p.outputHeader.data = p.outputData.data();
  // The area holds 32 bytes; a longer count would hand the service memory past it.
  p.outputHeader.bufferLength = std::min<uint32_t>(p.outputLength, kOutputAreaSize);
  const uint32_t r = midi.platform.outPrepareHeader(p.outputHandle, &p.outputHeader);
  if (r != MMSYSERR_NOERROR) {
    ReportOutput(midi, r, true);
    return 1;
  }
  return 0;
}

int SendOutputMessage(MidiLayer& midi) {
  midi.outputDone.store(0, std::memory_order_release);
  const uint32_t r = midi.platform.outLongMsg(midi.ports.outputHandle, &midi.ports.outputHeader);
  return r == MMSYSERR_NOERROR ? 0 : 2;
}

int UnprepareOutputMessage(MidiLayer& midi) {
  const uint32_t r =
      midi.platform.outUnprepareHeader(midi.ports.outputHandle, &midi.ports.outputHeader);
  if (r != MMSYSERR_NOERROR) {
    ReportOutput(midi, r, true);
    return 1;
  }
  midi.ports.outputData.fill(0);
  return 0;
}

int ResetMidiOutput(MidiLayer& midi) {
  if (midi.outputDone.load(std::memory_order_acquire) == 0) return 1;
  midi.platform.outReset(midi.ports.outputHandle);
  return 0;
}

uint32_t ReclaimMidiOutput(MidiLayer& midi) {
  return midi.platform.outReset(midi.ports.outputHandle);
}

uint32_t CloseMidiOutput(MidiLayer& midi) {
  return midi.platform.outClose(midi.ports.outputHandle);
}

void StopMidiInput(MidiLayer& midi) {
  midi.platform.inReset(midi.ports.inputHandle);
  midi.platform.inStop(midi.ports.inputHandle);
  ForgetStagedInput(midi, true);
}

int UnprepareInputBuffers(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  for (MidiHeader* header : {&p.inputHeaderA, &p.inputHeaderB}) {
    const uint32_t r = midi.platform.inUnprepareHeader(p.inputHandle, header);
    if (r != MMSYSERR_NOERROR) {
      ReportInput(midi, r, true);
      return 1;
    }
  }
  return 0;
}

int CloseMidiInput(MidiLayer& midi) {
  const uint32_t reset = midi.platform.inReset(midi.ports.inputHandle);
  if (reset != MMSYSERR_NOERROR) {
    ReportInput(midi, reset, false);
    return 1;
  }
  const uint32_t r = midi.platform.inClose(midi.ports.inputHandle);
  if (r == MMSYSERR_NOERROR) return 0;
  return r == MIDIERR_STILLPLAYING ? 1 : 2;
}

void ShutdownMidiInput(MidiLayer& midi) {
  if (midi.ports.inputOpen.load() != 1) return;
  SetInputRequeue(midi, 0);
  UnprepareInputBuffers(midi);
  const uint32_t reset = midi.platform.inReset(midi.ports.inputHandle);
  if (reset != MMSYSERR_NOERROR) {
    ReportInput(midi, reset, false);
  } else {
    midi.platform.inClose(midi.ports.inputHandle);
  }
  midi.ports.inputOpen = 0;
}

namespace {

// The release's own unprepare steps. A header that a vanished device still holds (a message
// never completed, a buffer never returned) is refused here and taken back by the reset and the
// close tried again below, so the refusal is the release's to handle: its text is kept, and no
// box tells the user about a service detail the session's outcome boxes already cover.
void UnprepareOutputForRelease(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  const uint32_t r = midi.platform.outUnprepareHeader(p.outputHandle, &p.outputHeader);
  if (r != MMSYSERR_NOERROR) {
    ReportOutput(midi, r, false);
    return;
  }
  p.outputData.fill(0);
}

void UnprepareInputForRelease(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  for (MidiHeader* header : {&p.inputHeaderA, &p.inputHeaderB}) {
    const uint32_t r = midi.platform.inUnprepareHeader(p.inputHandle, header);
    if (r != MMSYSERR_NOERROR) {
      ReportInput(midi, r, false);
      return;
    }
  }
}

// The output half of ReleaseMidiPorts; true once the port is closed.
bool ReleaseOutput(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  UnprepareOutputForRelease(midi);
  ResetMidiOutput(midi);
  uint32_t closed = CloseMidiOutput(midi);
  if (closed != MMSYSERR_NOERROR) {
    // A message the service never reported sent (the device vanished under it) holds the port,
    // and ResetMidiOutput leaves such a message alone. Nothing more can go out on this port
    // anyway: the reset takes the message back, and the close is tried once more.
    midi.platform.outReset(p.outputHandle);
    midi.platform.outUnprepareHeader(p.outputHandle, &p.outputHeader);
    closed = CloseMidiOutput(midi);
  }
  if (closed != MMSYSERR_NOERROR) return false;
  p.outputOpen.store(0);
  // Nothing is outstanding on a closed port: the first message on the next one must not wait
  // for a completion that belonged to this one.
  midi.outputDone.store(1, std::memory_order_release);
  return true;
}

// The input half: re-queueing goes off first, or the buffers that the reset hands back would be
// queued again at once and the close would find them still queued.
bool ReleaseInput(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  SetInputRequeue(midi, 0);
  StopMidiInput(midi);
  UnprepareInputForRelease(midi);
  // CloseMidiInput resets before it closes; a buffer the service was still filling when the
  // first reset ran comes back with the second.
  if (CloseMidiInput(midi) != 0 && CloseMidiInput(midi) != 0) return false;
  p.inputOpen.store(0);
  return true;
}

}  // namespace

int ReleaseMidiPorts(MidiLayer& midi) {
  MidiPorts& p = midi.ports;
  // The output goes first. While the service still holds it, the input is left as it is: the
  // service has not yet noticed that the device is gone, and closing the input now can block
  // for as long as it takes to notice (seconds, with a JACK server in synchronous mode). Both
  // are released together once it lets go: at the next start, dialog OK, Quit or exit.
  p.sessionPortsOpen.store(0);
  midi.releaseIncomplete = (p.outputOpen.load() == 1 && !ReleaseOutput(midi)) ||
                           (p.inputOpen.load() == 1 && !ReleaseInput(midi));
  return midi.releaseIncomplete ? 1 : 0;
}

void ReopenMidiPorts(MidiLayer& midi, int32_t inputIndex, int32_t outputIndex, WindowRef owner) {
  MidiPorts& p = midi.ports;
  ++midi.portChoices;
  // The same close as at the end of an update: a port left capturing by a session whose device
  // vanished is stopped and closed properly, never just forgotten with its buffers queued.
  ReleaseMidiPorts(midi);
  p.inputDeviceIndex = inputIndex;
  p.outputDeviceIndex = outputIndex;
  // A port the service still refuses to close keeps its handle; opening over it would lose it.
  // The next update start tries to release it again.
  if (p.inputOpen.load() == 0 && OpenMidiInput(midi) == 0) {
    p.inputOpen.store(1);
    RefreshDeviceNames(midi, p.inputDeviceIndex, p.outputDeviceIndex, owner);
  }
  if (p.outputOpen.load() == 0 && OpenMidiOutput(midi) == 0) {
    p.outputOpen.store(1);
    RefreshDeviceNames(midi, p.inputDeviceIndex, p.outputDeviceIndex, owner);
  }
}

void ShowDeferredBoxes(MidiLayer& midi) {
  // A box's own event loop runs the timer that calls here: the boxes come one after another,
  // never stacked.
  if (midi.showingDeferred) return;
  midi.showingDeferred = true;
  for (;;) {
    BoxRequest next;
    {
      std::lock_guard lock(midi.deferredMutex);
      if (midi.deferredBoxes.empty()) break;
      next = std::move(midi.deferredBoxes.front());
      midi.deferredBoxes.erase(midi.deferredBoxes.begin());
    }
    midi.prompts.showBox(next);
  }
  midi.showingDeferred = false;
}

void DiscardDeferredBoxes(MidiLayer& midi) {
  std::lock_guard lock(midi.deferredMutex);
  midi.deferredBoxes.clear();
}

std::string DeviceName(const std::array<char, kNameAreaSize>& area) {
  return std::string(area.data(), strnlen(area.data(), kMidiNameLength));
}

std::string StandardMidiErrorText(uint32_t result) {
  switch (result) {
    case MMSYSERR_NOERROR:
      return "The command completed without error.";
    case MMSYSERR_ERROR:
      return "An unspecified error occurred in the MIDI system.";
    case MMSYSERR_BADDEVICEID:
      return "A device ID has been used that is out of range for your system.";
    case 3:
      return "The MIDI driver is not enabled.";
    case MMSYSERR_ALLOCATED:
      return "The MIDI device is already in use by another program. Close that program and try "
             "again.";
    case MMSYSERR_INVALHANDLE:
      return "The MIDI port handle is not valid; the port may have been closed.";
    case MMSYSERR_NODRIVER:
      return "No MIDI driver is installed for this device.";
    case MMSYSERR_NOMEM:
      return "There is not enough memory for this MIDI operation.";
    case 8:
      return "The MIDI driver does not support this operation.";
    case MMSYSERR_INVALFLAG:
      return "An invalid flag was passed to the MIDI system.";
    case MMSYSERR_INVALPARAM:
      return "An invalid parameter was passed to the MIDI system.";
    case MIDIERR_UNPREPARED:
      return "The MIDI buffer header has not been prepared.";
    case MIDIERR_STILLPLAYING:
      return "The buffers are still in the queue.";
    case 66:
      return "No MIDI map is available.";
    case MIDIERR_NOTREADY:
      return "The MIDI port is busy sending data. Wait until it is free and try again.";
    case MIDIERR_NODEVICE:
      return "The MIDI device is not connected or could not be found.";
    default:
      return "Unknown MIDI error (code " + std::to_string(result) + ").";
  }
}

}  // namespace varnet
