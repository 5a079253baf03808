#include "midi/port_scan.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <memory>
#include <mutex>

#include "midi/midi_ports.h"
#include "midi/port_locks.h"

namespace varnet {

namespace {

// The spacing the sender gives every piece: the reply window opens when the message has had it.
constexpr Clock::Duration kPieceTime = std::chrono::milliseconds(10);
// After the window, how long a message the service still holds may take before it is reset.
constexpr Clock::Duration kLateCompletion = std::chrono::milliseconds(100);

// One opened input with its two buffers. The callback (on the service's thread) copies each
// returned block under the mutex and queues the buffer again while `requeue` is set.
struct InputCapture {
  MidiPlatform* platform = nullptr;
  Clock* clock = nullptr;
  uint32_t index = 0;
  MidiHandle handle = 0;
  std::array<std::array<uint8_t, kInputBufferSize>, 2> data{};
  std::array<MidiHeader, 2> headers{};
  std::array<bool, 2> prepared{};
  std::atomic<bool> requeue{false};
  std::mutex mutex;
  std::vector<std::vector<uint8_t>> blocks;  // under mutex
};

void CaptureCallback(MidiHandle handle, uint32_t message, uintptr_t instance, uintptr_t param1,
                     uintptr_t /*param2*/) {
  if (message != MIM_LONGDATA) return;
  auto* capture = reinterpret_cast<InputCapture*>(instance);
  auto* header = reinterpret_cast<MidiHeader*>(param1);
  if (capture == nullptr || header == nullptr) return;
  const uint32_t count = std::min<uint32_t>(header->bytesRecorded, kInputBufferSize);
  if (count > 0) {
    std::lock_guard lock(capture->mutex);
    capture->blocks.emplace_back(header->data, header->data + count);
  }
  if (capture->requeue.load(std::memory_order_acquire)) {
    header->bytesRecorded = 0;
    capture->platform->inAddBuffer(handle, header);
  }
  capture->clock->notify();
}

struct OutputCompletion {
  Clock* clock = nullptr;
  std::atomic<bool> done{false};
};

void CompletionCallback(MidiHandle /*handle*/, uint32_t message, uintptr_t instance,
                        uintptr_t /*param1*/, uintptr_t /*param2*/) {
  if (message != MOM_DONE) return;
  auto* completion = reinterpret_cast<OutputCompletion*>(instance);
  completion->done.store(true, std::memory_order_release);
  completion->clock->notify();
}

// Opens input `index` and starts capture; on failure says why (and whether an update holds the
// port) and leaves nothing open.
bool OpenCapture(MidiPlatform& platform, InputCapture& capture, std::string& reason, bool& inUse) {
  uint32_t result = platform.inOpen(&capture.handle, capture.index, CaptureCallback,
                                    reinterpret_cast<uintptr_t>(&capture));
  if (result != MMSYSERR_NOERROR) {
    reason = platform.inGetErrorText(result);
    inUse = result == kPortInUseResult;
    return false;
  }
  for (std::size_t i = 0; i < capture.headers.size() && result == MMSYSERR_NOERROR; ++i) {
    capture.headers[i] = {capture.data[i].data(), kInputBufferSize, 0, 0};
    result = platform.inPrepareHeader(capture.handle, &capture.headers[i]);
    capture.prepared[i] = result == MMSYSERR_NOERROR;
  }
  capture.requeue.store(true, std::memory_order_release);
  for (std::size_t i = 0; i < capture.headers.size() && result == MMSYSERR_NOERROR; ++i) {
    result = platform.inAddBuffer(capture.handle, &capture.headers[i]);
  }
  if (result == MMSYSERR_NOERROR) result = platform.inStart(capture.handle);
  if (result == MMSYSERR_NOERROR) return true;
  reason = platform.inGetErrorText(result);
  return false;
}

// Stops capture and closes the input; the reset hands back the queued buffers first.
void CloseCapture(MidiPlatform& platform, InputCapture& capture) {
  capture.requeue.store(false, std::memory_order_release);
  platform.inStop(capture.handle);
  platform.inReset(capture.handle);
  for (std::size_t i = 0; i < capture.headers.size(); ++i) {
    if (capture.prepared[i]) platform.inUnprepareHeader(capture.handle, &capture.headers[i]);
  }
  platform.inClose(capture.handle);
}

}  // namespace

std::vector<std::string> PortNames(MidiPlatform& platform, bool input) {
  const uint32_t count = input ? platform.inGetNumDevs() : platform.outGetNumDevs();
  std::vector<std::string> names;
  names.reserve(count);
  for (uint32_t device = 0; device < count; ++device) {
    char name[kMidiNameLength] = {};
    const uint32_t result =
        input ? platform.inGetDevCaps(device, name) : platform.outGetDevCaps(device, name);
    names.emplace_back(result == MMSYSERR_NOERROR ? name : "");
  }
  return names;
}

std::vector<PortIdentity> PortIdentities(MidiPlatform& platform, bool input) {
  const uint32_t count = input ? platform.inGetNumDevs() : platform.outGetNumDevs();
  std::vector<PortIdentity> identities(count);
  for (uint32_t device = 0; device < count; ++device) {
    const uint32_t result = input ? platform.inGetDevIdentity(device, identities[device])
                                  : platform.outGetDevIdentity(device, identities[device]);
    if (result != MMSYSERR_NOERROR) identities[device] = {};
  }
  return identities;
}

namespace {

// One round: the message on each output in turn, what `captures` received in its window.
void AskOutputs(MidiPlatform& platform, Clock& clock, std::vector<uint8_t>& area,
                Clock::Duration listen, const std::vector<uint32_t>& toAsk,
                std::vector<std::unique_ptr<InputCapture>>& captures, PortProbe& probe) {
  for (const uint32_t index : toAsk) {
    const auto noted = [&] {
      return std::any_of(probe.unusable.begin(), probe.unusable.end(),
                         [&](const UnusablePort& p) { return !p.input && p.index == index; });
    };
    OutputCompletion completion;
    completion.clock = &clock;
    MidiHandle handle = 0;
    uint32_t result = platform.outOpen(&handle, index, CompletionCallback,
                                       reinterpret_cast<uintptr_t>(&completion));
    if (result != MMSYSERR_NOERROR) {
      if (!noted()) {
        probe.unusable.push_back(
            {false, index, platform.outGetErrorText(result), result == kPortInUseResult});
      }
      continue;
    }
    MidiHeader header{area.data(), static_cast<uint32_t>(area.size()), 0, 0};
    result = platform.outPrepareHeader(handle, &header);
    // Whatever came in since the last window belongs to no output.
    for (auto& capture : captures) {
      std::lock_guard lock(capture->mutex);
      capture->blocks.clear();
    }
    const Clock::TimePoint sent = clock.now();
    if (result == MMSYSERR_NOERROR) result = platform.outLongMsg(handle, &header);
    if (result == MMSYSERR_NOERROR) {
      clock.sleepUntil(sent + kPieceTime + listen);
      // A message the service still holds is taken back before its block is released.
      if (!clock.waitFor([&] { return completion.done.load(std::memory_order_acquire); },
                         kLateCompletion)) {
        platform.outReset(handle);
        clock.waitFor([&] { return completion.done.load(std::memory_order_acquire); },
                      kLateCompletion);
      }
      auto answers = std::find_if(probe.asked.begin(), probe.asked.end(),
                                  [&](const OutputAnswers& a) { return a.output == index; });
      if (answers == probe.asked.end()) {
        probe.asked.push_back({index, {}});
        answers = probe.asked.end() - 1;
      }
      for (auto& capture : captures) {
        std::lock_guard lock(capture->mutex);
        for (std::vector<uint8_t>& block : capture->blocks) {
          answers->blocks.push_back({capture->index, std::move(block)});
        }
        capture->blocks.clear();
      }
    } else if (!noted()) {
      probe.unusable.push_back({false, index, platform.outGetErrorText(result)});
    }
    platform.outUnprepareHeader(handle, &header);
    platform.outClose(handle);
  }
}

}  // namespace

PortProbe ProbeMidiPorts(MidiPlatform& platform, Clock& clock, std::span<const uint8_t> message,
                         Clock::Duration listen, std::span<const uint32_t> outputs,
                         std::span<const uint32_t> inputs) {
  PortProbe probe;
  // The message goes out from a block of its own: the service may read it until it completes.
  std::vector<uint8_t> area(message.begin(), message.end());
  std::vector<uint32_t> toAsk(outputs.begin(), outputs.end());
  if (outputs.empty()) {
    toAsk.resize(platform.outGetNumDevs());
    for (uint32_t index = 0; index < toAsk.size(); ++index) toAsk[index] = index;
  }
  std::vector<uint32_t> pending(inputs.begin(), inputs.end());
  if (inputs.empty()) {
    pending.resize(platform.inGetNumDevs());
    for (uint32_t index = 0; index < pending.size(); ++index) pending[index] = index;
  }

  // Backends made for one port pair open one input at a time and refuse the next while it is
  // open: such an input is asked about in a later round of its own. Only an input that cannot be
  // opened while no other is open is unusable.
  bool firstRound = true;
  while (firstRound || !pending.empty()) {
    firstRound = false;
    std::vector<std::unique_ptr<InputCapture>> captures;
    std::vector<uint32_t> later;
    for (const uint32_t index : pending) {
      auto capture = std::make_unique<InputCapture>();
      capture->platform = &platform;
      capture->clock = &clock;
      capture->index = index;
      std::string reason;
      bool inUse = false;
      if (OpenCapture(platform, *capture, reason, inUse)) {
        probe.openedInputs.push_back(index);
        captures.push_back(std::move(capture));
        continue;
      }
      // A port that opened but could not start capture is closed again.
      if (capture->handle != 0) CloseCapture(platform, *capture);
      // A port an update holds stays held whatever else is open.
      if (captures.empty() || inUse) {
        probe.unusable.push_back({true, index, reason, inUse});
      } else {
        later.push_back(index);
      }
    }
    pending = std::move(later);
    // Without any input nothing can be heard; the outputs are still asked once, so that a
    // machine with outputs only says how many.
    if (!captures.empty() || probe.asked.empty()) {
      AskOutputs(platform, clock, area, listen, toAsk, captures, probe);
    }
    for (auto& capture : captures) CloseCapture(platform, *capture);
  }
  std::sort(probe.openedInputs.begin(), probe.openedInputs.end());
  std::sort(probe.unusable.begin(), probe.unusable.end(),
            [](const UnusablePort& a, const UnusablePort& b) {
              return a.input != b.input ? a.input : a.index < b.index;
            });
  return probe;
}

}  // namespace varnet
