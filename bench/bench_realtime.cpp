// A whole update in real time on the simulated converter behind the in-process MIDI port: the
// identification, the stream header with its settle wait, the body with its pauses and echo check,
// and the end byte, run as the session's start and worker run them.
//
// The ideal schedule is the same update on a virtual clock: there every piece leaves exactly on
// its deadline, so its elapsed time is 10 ms per piece plus the pauses plus the fixed waits (and,
// on a wire-timed port, whatever the wire adds). The ratio real / ideal is the scheduling overhead
// of the real clock; the processor time per second of stream comes from getrusage.
//
//   bench_realtime [seconds=30] [wire bytes/s=3125] [poll microseconds]
// With a poll interval the real run uses RealClock's time and sleeps but looks at a waited-for
// condition (the completion of a long message) that often instead of RealClock's 500 us: it
// shows how much of the overhead on a wire-timed port is that polling.
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "sim/converter.h"

namespace {

using namespace varnet;
using namespace varnet::bench;
using Seconds = std::chrono::duration<double>;

struct Result {
  double seconds = 0;  // identification to the end byte's completion
  double cpuProcess = 0;
  double cpuThread = 0;
  uint64_t bytesOnWire = 0;
  bool ok = false;
  std::string problem;
};

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

class PollingClock final : public Clock {
 public:
  explicit PollingClock(Duration poll) : poll_(poll) {}
  TimePoint now() override { return real_.now(); }
  void sleepUntil(TimePoint deadline) override { real_.sleepUntil(deadline); }
  bool waitFor(const std::function<bool()>& ready, Duration timeout) override {
    const TimePoint deadline = now() + timeout;
    while (!ready()) {
      if (now() >= deadline) return ready();
      std::this_thread::sleep_for(poll_);
    }
    return true;
  }

 private:
  RealClock real_;
  Duration poll_;
};

Result RunUpdate(Clock& clock, const std::vector<uint8_t>& payload, uint32_t wire) {
  sim::SimulatedConverter converter;
  VirtualPlatformConfig config;
  config.wireBytesPerSecond = wire;
  Result result;
  SilentPrompts prompts;
  {
    VirtualMidiPlatform platform(clock, config);
    platform.connectConverter(converter);
    MidiLayer midi(platform, prompts);
    FirmwareImage image;
    LoadPayload(image, payload, kKindDA);
    Engine engine(image, midi, clock, prompts);
    engine.DeviceId = 0x32;

    const double cpu0 = CpuSeconds(RUSAGE_SELF);
    const double thread0 = CpuSeconds(RUSAGE_THREAD);
    const Clock::TimePoint t0 = clock.now();

    // The session's start: ports, input capture, handshake, header; then the worker's stream.
    if (OpenMidiInput(midi) != 0 || OpenMidiOutput(midi) != 0) {
      result.problem = "ports did not open";
      return result;
    }
    midi.ports.inputOpen = 1;
    midi.ports.outputOpen = 1;
    SetInputRequeue(midi, 1);
    PrepareInputBuffers(midi);
    StartMidiInput(midi);
    QueueInputBuffers(midi);
    if (IdentifyDevice(engine) != 1) {
      result.problem = "identification failed";
      return result;
    }
    image.sentLogCount = 0;
    image.echoVerifiedCount = 0;
    SendStartUpdateHeader(engine);
    engine.SessionState = Running;
    StreamPayload(engine);
    const bool streamOk = engine.aborted.load() == 0;
    SendEndOfExclusive(engine);
    // The end byte's own piece has been waited for (10 ms and its completion) inside SendBytes.

    result.seconds = std::chrono::duration_cast<Seconds>(clock.now() - t0).count();
    result.cpuProcess = CpuSeconds(RUSAGE_SELF) - cpu0;
    result.cpuThread = CpuSeconds(RUSAGE_THREAD) - thread0;
    result.bytesOnWire = platform.sentBytes(0).size();

    SetInputRequeue(midi, 0);
    StopMidiInput(midi);
    UnprepareInputBuffers(midi);
    CloseMidiInput(midi);
    UnprepareOutputMessage(midi);
    CloseMidiOutput(midi);

    const std::string difference = CompareStream(sim::ExpectStream(payload), converter.decoded());
    result.ok =
        streamOk && engine.aborted.load() == 0 && difference.empty() && converter.decoded().ended;
    if (!streamOk) result.problem = "the echo check failed the stream";
    if (!difference.empty()) result.problem = "device decoded: " + difference;
  }
  return result;
}

}  // namespace

int main(int argc, char** argv) {
  const double target = argc > 1 ? std::atof(argv[1]) : 30.0;
  const uint32_t wire = argc > 2 ? uint32_t(std::atoi(argv[2])) : 3125;
  const int pollUs = argc > 3 ? std::atoi(argv[3]) : 0;

  // About `target` seconds: each payload byte gives one symbol and three symbols make a stream
  // byte, so 96 payload bytes are one 32-byte piece (10 ms); one 20 ms pause per 2700 bytes; and
  // 0.62 s of fixed waits (handshake and header).
  const auto length = uint32_t((target - 0.62) / (0.010 / 96 + 0.020 / 2700));
  const std::vector<uint8_t> payload = MakePayload(length, 2700);

  VirtualClock virtualClock;
  const Result ideal = RunUpdate(virtualClock, payload, wire);
  VirtualClock instantClock;
  const Result ideal0 = RunUpdate(instantClock, payload, 0);
  RealClock realClock;
  PollingClock pollingClock{std::chrono::microseconds(pollUs)};
  const Result real =
      pollUs > 0 ? RunUpdate(pollingClock, payload, wire) : RunUpdate(realClock, payload, wire);

  std::printf("payload_bytes %u\n", length);
  std::printf("wire_bytes_per_s %u\n", wire);
  std::printf("completion_poll_us %d\n", pollUs > 0 ? pollUs : 500);
  std::printf("bytes_on_wire %llu\n", static_cast<unsigned long long>(real.bytesOnWire));
  std::printf("ideal_10ms_schedule_s %.4f\n", ideal0.seconds);
  std::printf("ideal_with_wire_s %.4f\n", ideal.seconds);
  std::printf("real_s %.4f\n", real.seconds);
  std::printf("ratio_real_to_ideal_with_wire %.5f\n", real.seconds / ideal.seconds);
  std::printf("ratio_real_to_10ms_schedule %.5f\n", real.seconds / ideal0.seconds);
  std::printf("cpu_process_percent_of_core %.3f\n", 100.0 * real.cpuProcess / real.seconds);
  std::printf("cpu_sender_thread_percent_of_core %.3f\n", 100.0 * real.cpuThread / real.seconds);
  std::printf("stream_verified %s\n", real.ok ? "yes" : ("NO: " + real.problem).c_str());
  return real.ok && ideal.ok ? 0 : 1;
}
