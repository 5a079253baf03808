// A whole update stack for session tests: virtual clock, virtual MIDI platform wired to a
// simulated converter, the real MIDI layer and engine, and a view and prompts that record what
// the user would have seen.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "engine/session.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "sim/converter.h"

namespace varnet::testing {

// A firmware file image: header, payload, padded to the 51 bytes a file needs at least.
inline std::vector<uint8_t> FirmwareFile(uint8_t kind, const std::vector<uint8_t>& payload) {
  const auto length = static_cast<uint32_t>(payload.size());
  std::vector<uint8_t> file = {'J',
                               'T',
                               'G',
                               kind,
                               0x07,
                               0x08,
                               0x01,
                               static_cast<uint8_t>(length >> 24),
                               static_cast<uint8_t>(length >> 16),
                               static_cast<uint8_t>(length >> 8),
                               static_cast<uint8_t>(length)};
  file.insert(file.end(), payload.begin(), payload.end());
  while (file.size() < 51) file.push_back(0);
  return file;
}

// `count` payload bytes of varied symbols and no pause codes.
inline std::vector<uint8_t> PlainPayload(std::size_t count) {
  std::vector<uint8_t> payload(count);
  for (std::size_t i = 0; i < count; ++i) payload[i] = static_cast<uint8_t>((i * 7 + i / 5) % 4);
  return payload;
}

// The virtual clock as the engine sees it, counting the virtual time the user-interface thread
// (the one that made it) spends in its own sleeps and waits. The worker moves the same clock
// meanwhile; that time is not the user-interface thread's.
class UiTimedClock final : public Clock {
 public:
  explicit UiTimedClock(VirtualClock& clock) : clock_(clock) {}
  TimePoint now() override { return clock_.now(); }
  void sleepUntil(TimePoint deadline) override {
    const TimePoint before = clock_.now();
    clock_.sleepUntil(deadline);
    count(before);
  }
  bool waitFor(const std::function<bool()>& ready, Duration timeout) override {
    const TimePoint before = clock_.now();
    const bool result = clock_.waitFor(ready, timeout);
    count(before);
    return result;
  }
  void notify() override { clock_.notify(); }
  // Virtual time the user-interface thread has spent waiting so far.
  Duration uiTime() const { return Duration(uiMicros_.load()); }

 private:
  void count(TimePoint before) {
    if (std::this_thread::get_id() != ui_) return;
    uiMicros_.fetch_add((clock_.now() - before).count());
  }
  VirtualClock& clock_;
  const std::thread::id ui_ = std::this_thread::get_id();
  std::atomic<int64_t> uiMicros_{0};
};

// The longest time the user-interface thread went without processing events, on the virtual
// clock. A UI call (a press, a tick, a stop) is split wherever it processes events itself: a box
// it shows runs the event loop while open, and a paint puts the window on screen.
class UiStallMeter {
 public:
  explicit UiStallMeter(UiTimedClock& clock) : clock_(clock) {}
  void begin() {
    inCall_ = true;
    last_ = clock_.uiTime();
    lastLabel_ = "entry";
  }
  void mark(const std::string& label) {
    if (!inCall_) return;
    const Clock::Duration gap = clock_.uiTime() - last_;
    // The identification's own wait, from the paint before it, is the one stretch allowed.
    if (lastLabel_ == "paint") {
      identification = std::max(identification, gap);
    } else if (gap > longest) {
      longest = gap;
      longestBefore = label;
    }
    last_ = clock_.uiTime();
    lastLabel_ = label;
  }
  void end() {
    mark("return");
    inCall_ = false;
  }

  Clock::Duration longest{};
  std::string longestBefore;  // where the longest stretch ended
  Clock::Duration identification{};

 private:
  UiTimedClock& clock_;
  bool inCall_ = false;
  Clock::Duration last_{};
  std::string lastLabel_;
};

struct Box {
  std::string text;
  std::string caption;
  BoxIcon icon;
  BoxButtons buttons;
  bool hasOwner;
  std::thread::id thread = std::this_thread::get_id();  // where it was shown
};

class RecordingPrompts final : public Prompts {
 public:
  BoxAnswer showBox(const BoxRequest& request) override {
    if (meter != nullptr) meter->mark("box");
    BoxAnswer answer = answerBox(request);
    if (meter != nullptr) meter->mark("box closed");
    return answer;
  }
  BoxAnswer answerBox(const BoxRequest& request) {
    boxes.push_back(
        {request.text, request.caption, request.icon, request.buttons, request.owner != nullptr});
    if (onBox) {
      std::optional<BoxAnswer> answer = onBox(boxes.back());
      if (answer) return *answer;
    }
    switch (request.buttons) {
      case BoxButtons::YesNo:
        return BoxAnswer::Yes;
      case BoxButtons::OkCancel:
        return BoxAnswer::Ok;
      case BoxButtons::Ok:
        break;
    }
    return BoxAnswer::Ok;
  }
  void closeSessionQuestions() override { questionsClosedAt.push_back(boxes.size()); }
  std::vector<std::string> captions() const {
    std::vector<std::string> out;
    for (const Box& box : boxes) out.push_back(box.caption);
    return out;
  }

  std::vector<Box> boxes;
  // How many boxes had been shown each time the session closed its moot questions.
  std::vector<std::size_t> questionsClosedAt;
  // Runs while the box is "open" (the place where a window's timer and clicks would run);
  // returns the answer, or nothing for the default (Yes, OK).
  std::function<std::optional<BoxAnswer>(const Box&)> onBox;
  UiStallMeter* meter = nullptr;
};

class RecordingView final : public SessionView {
 public:
  void setRunUpdateCaption(const std::string& text) override {
    caption = text;
    log.push_back("caption " + text);
  }
  void setRunUpdateEnabled(bool enabled) override {
    runEnabled = enabled;
    log.push_back(enabled ? "run on" : "run off");
  }
  void setSelectFileEnabled(bool enabled) override {
    selectEnabled = enabled;
    log.push_back(enabled ? "select on" : "select off");
  }
  void invalidateProgress() override { ++invalidations; }
  bool startProgressTimer() override {
    log.push_back("timer start");
    if (timerFails) return false;
    timerRunning = true;
    return true;
  }
  void killProgressTimer() override {
    log.push_back("timer kill");
    timerRunning = false;
  }
  void paintNow() override {
    log.push_back("paint");
    if (onPaint) onPaint();
    if (meter != nullptr) meter->mark("paint");
  }

  std::string caption = "Run Update";
  bool runEnabled = true;
  bool selectEnabled = true;
  bool timerRunning = false;
  bool timerFails = false;
  int invalidations = 0;
  std::vector<std::string> log;
  std::function<void()> onPaint;
  UiStallMeter* meter = nullptr;
};

// Holds the worker at a chosen virtual time: the event runs on the thread whose sleep carries
// the clock past it, which during the stream is the worker.
struct WorkerGate {
  // The worker may still be inside the held event when the test's gate goes out of scope (a stop
  // no longer waits for the worker): the event keeps the state it spins on alive itself.
  struct State {
    std::atomic<bool> reached{false};
    std::atomic<bool> released{false};
  };
  std::shared_ptr<State> state = std::make_shared<State>();

  WorkerGate() = default;
  WorkerGate(const WorkerGate&) = delete;
  WorkerGate& operator=(const WorkerGate&) = delete;
  ~WorkerGate() { release(); }

  void arm(VirtualClock& clock, Clock::TimePoint at) {
    clock.schedule(at, [held = state] {
      held->reached.store(true);
      while (!held->released.load()) std::this_thread::yield();
    });
  }
  bool waitReached(std::chrono::seconds limit = std::chrono::seconds(20)) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (!state->reached.load()) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::yield();
    }
    return true;
  }
  void release() { state->released.store(true); }
};

struct SessionRig {
  explicit SessionRig(sim::ConverterConfig config = {}, VirtualPlatformConfig ports = {})
      : converter(config), platform(clock, ports) {
    platform.connectConverter(converter);
    InitMidiPorts(midi);
  }
  ~SessionRig() {
    // The session goes first: its destructor joins a worker that still uses everything below.
    session.reset();
  }

  void load(uint8_t kind, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> file = FirmwareFile(kind, payload);
    fileBuffer.data = file;
    fileBuffer.data.push_back(0);
    fileBuffer.size = static_cast<uint32_t>(file.size());
    fileBuffer.bytesRead = static_cast<uint32_t>(file.size());
    ASSERT_EQ(ParseFirmwareImage(fileBuffer, image), 0);
    firmwarePath = "example.jtg";
  }

  // Runs a call on the user-interface thread under the stall meter.
  template <typename F>
  auto ui(F&& call) {
    meter.begin();
    struct End {
      UiStallMeter& m;
      ~End() { m.end(); }
    } end{meter};
    return call();
  }

  // One tick of the 200 ms timer, if it lives (a killed timer does not fire).
  void tick() {
    if (view.timerRunning) ui([this] { SessionTimerProc(*session); });
  }

  // Ticks until the session has finished, as the window's timer would.
  bool runToFinish(std::chrono::seconds limit = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (SessionStreamLive(session->phase)) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      tick();
      std::this_thread::sleep_for(std::chrono::microseconds(200));
    }
    return true;
  }

  std::vector<uint8_t> wire() const { return platform.sentBytes(0); }

  VirtualClock clock;
  sim::SimulatedConverter converter;
  VirtualMidiPlatform platform;
  RecordingPrompts prompts;
  MidiLayer midi{platform, prompts};
  FileBuffer fileBuffer;
  FirmwareImage image;
  UiTimedClock engineClock{clock};
  Engine engine{image, midi, engineClock, prompts};
  RecordingView view;
  std::string firmwarePath;
  std::unique_ptr<UpdateSession> session =
      std::make_unique<UpdateSession>(engine, view, firmwarePath);
  UiStallMeter meter{engineClock};
  // Wires the meter in once the members above exist.
  bool metered = [this] {
    prompts.meter = &meter;
    view.meter = &meter;
    return true;
  }();
};

inline const std::vector<uint8_t> kIdentifyRequest = {0xF0, 0x00, 0x20, 0x0D,
                                                      0x32, 0x7F, 0x10, 0xF7};
inline const std::vector<uint8_t> kStreamHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32,
                                                   0x7F, 0x08, 0x15, 0x47, 0x11};

}  // namespace varnet::testing
