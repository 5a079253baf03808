// A whole update in real time on the simulated converter behind the in-process MIDI port: the
// identification, the stream header with its settle wait, the body with its pauses and echo check,
// and the end byte, run as the session's start and worker run them.
//
// The ideal schedule is the same update on a virtual clock: there every piece leaves exactly on
// its deadline, so its elapsed time is 10 ms per piece plus the pauses plus the fixed waits (and,
// on a wire-timed port, whatever the wire adds). The ratio real / ideal is the scheduling overhead
// of the real clock; the processor time per second of stream comes from getrusage.
//
//   bench_realtime [seconds=30] [wire bytes/s=3125]
// The real run uses what ships: RealClock, woken by the port's completion, and the calling thread
// set up as the session's worker sets up its own. Where the time goes is printed per piece: how
// late a piece left after its deadline when the schedule held it back, and after the wire was
// free when the wire did (the port's completion and the sender's wake-up together).
#include <sys/resource.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>

#include "bench/bench_support.h"
#include "core/thread_priority.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "sim/converter.h"

namespace {

using namespace varnet;
using namespace varnet::bench;
using Seconds = std::chrono::duration<double>;

// Each piece's lateness: after its deadline (10 ms after the previous piece left, when the wire
// was free by then) or after the wire was free (when the previous piece was still on it).
struct Lateness {
  double afterDeadlineUs = 0;
  uint64_t afterDeadline = 0;
  double afterWireUs = 0;
  uint64_t afterWire = 0;
};

Lateness MeasureLateness(const std::vector<EngineEvent>& pieces, uint32_t wire) {
  using std::chrono::microseconds;
  Lateness late;
  Clock::TimePoint previous{};
  Clock::TimePoint wireFree{};
  for (const EngineEvent& piece : pieces) {
    if (previous != Clock::TimePoint{}) {
      const Clock::TimePoint deadline = previous + std::chrono::milliseconds(10);
      // A gap of 5 ms or more over either bound is a pause, not lateness.
      if (wireFree > deadline && piece.at - wireFree < std::chrono::milliseconds(5)) {
        late.afterWireUs += double((piece.at - wireFree).count());
        ++late.afterWire;
      } else if (piece.at - deadline < std::chrono::milliseconds(5)) {
        late.afterDeadlineUs += double((piece.at - deadline).count());
        ++late.afterDeadline;
      }
    }
    const Clock::Duration onWire =
        wire > 0 ? microseconds(1'000'000 / wire) * piece.length : Clock::Duration{};
    wireFree = std::max(wireFree, piece.at) + onWire;
    previous = piece.at;
  }
  return late;
}

struct Result {
  double seconds = 0;  // identification to the end byte's completion
  double cpuProcess = 0;
  double cpuThread = 0;
  uint64_t bytesOnWire = 0;
  Lateness lateness;
  bool ok = false;
  std::string problem;
};

double CpuSeconds(int who) {
  rusage usage{};
  getrusage(who, &usage);
  auto s = [](const timeval& t) { return double(t.tv_sec) + double(t.tv_usec) / 1e6; };
  return s(usage.ru_utime) + s(usage.ru_stime);
}

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
    std::vector<EngineEvent> pieces;
    pieces.reserve(payload.size() / 90);
    engine.observer = [&pieces](const EngineEvent& event) {
      if (event.kind == EngineEvent::Kind::Piece) pieces.push_back(event);
    };

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
    result.lateness = MeasureLateness(pieces, wire);

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
  RaiseCurrentThreadPriority();  // as the session's worker does
  const Result real = RunUpdate(realClock, payload, wire);
  const Lateness& late = real.lateness;

  std::printf("payload_bytes %u\n", length);
  std::printf("wire_bytes_per_s %u\n", wire);
  std::printf("completion_wake notify\n");
  std::printf("bytes_on_wire %llu\n", static_cast<unsigned long long>(real.bytesOnWire));
  std::printf("ideal_10ms_schedule_s %.4f\n", ideal0.seconds);
  std::printf("ideal_with_wire_s %.4f\n", ideal.seconds);
  std::printf("real_s %.4f\n", real.seconds);
  std::printf("ratio_real_to_ideal_with_wire %.5f\n", real.seconds / ideal.seconds);
  std::printf("ratio_real_to_10ms_schedule %.5f\n", real.seconds / ideal0.seconds);
  std::printf("pieces_late_after_deadline %llu mean_us %.1f\n",
              static_cast<unsigned long long>(late.afterDeadline),
              late.afterDeadline ? late.afterDeadlineUs / double(late.afterDeadline) : 0.0);
  std::printf("pieces_late_after_wire_free %llu mean_us %.1f\n",
              static_cast<unsigned long long>(late.afterWire),
              late.afterWire ? late.afterWireUs / double(late.afterWire) : 0.0);
  std::printf("cpu_process_percent_of_core %.3f\n", 100.0 * real.cpuProcess / real.seconds);
  std::printf("cpu_sender_thread_percent_of_core %.3f\n", 100.0 * real.cpuThread / real.seconds);
  std::printf("stream_verified %s\n", real.ok ? "yes" : ("NO: " + real.problem).c_str());
  return real.ok && ideal.ok ? 0 : 1;
}
