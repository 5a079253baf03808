// The stream encoder and the chunked sender on a virtual clock: how much processor time the engine
// spends per payload byte and per pause, without the wire's own time.
#include <benchmark/benchmark.h>

#include "bench/bench_support.h"

namespace {

using namespace varnet;
using namespace varnet::bench;

constexpr uint32_t kMiB = 1024 * 1024;

// One whole stream body: the encoder with every SendBytes it makes, the pacing sleeps on the
// virtual clock and an echo check after each piece (nothing is echoed back here).
void RunStream(benchmark::State& state, uint32_t length, uint32_t pauseEvery) {
  const std::vector<uint8_t> payload = MakePayload(length, pauseEvery);
  uint64_t pauses = 0;
  uint64_t pieces = 0;
  Clock::Duration virtualTime{};
  for (auto _ : state) {
    state.PauseTiming();
    VirtualClock clock;
    SilentPrompts prompts;
    InstantOutput output;
    MidiLayer midi(output, prompts);
    FirmwareImage image;
    if (!LoadPayload(image, payload)) {
      state.SkipWithError("payload not loaded");
      return;
    }
    Engine engine(image, midi, clock, prompts);
    OpenMidiOutput(midi);
    state.ResumeTiming();

    StreamPayload(engine);

    state.PauseTiming();
    if (engine.aborted.load() != 0 || image.bytesSent.load() == 0) {
      state.SkipWithError("stream failed");
      return;
    }
    pieces = output.messages;
    virtualTime = clock.now().time_since_epoch();
    state.ResumeTiming();
  }
  if (pauseEvery != 0) pauses = length / pauseEvery;
  state.SetBytesProcessed(int64_t(state.iterations()) * length);
  state.counters["pieces"] = double(pieces);
  state.counters["pauses"] = double(pauses);
  state.counters["stream_s"] =
      std::chrono::duration_cast<std::chrono::duration<double>>(virtualTime).count();
}

// Throughput at the two sizes that matter, with and without a pause every 3 bytes.
void BM_Stream(benchmark::State& state) {
  RunStream(state, uint32_t(state.range(0)) * kMiB, uint32_t(state.range(1)));
}
BENCHMARK(BM_Stream)
    ->ArgNames({"MiB", "pauseEvery"})
    ->Args({1, 0})
    ->Args({16, 0})
    ->Args({1, 3})
    ->Args({16, 3})
    ->Unit(benchmark::kMillisecond);

// Linear in the payload: no pauses, 256 KiB to 16 MiB.
void BM_StreamByPayload(benchmark::State& state) {
  RunStream(state, uint32_t(state.range(0)), 0);
  state.SetComplexityN(state.range(0));
}
BENCHMARK(BM_StreamByPayload)
    ->RangeMultiplier(4)
    ->Range(256 * 1024, 16 * kMiB)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// Linear in the pause count: a fixed 1 MiB payload with 1 pause per 1024 bytes up to 1 per 3.
void BM_StreamByPauses(benchmark::State& state) {
  const uint32_t pauseEvery = uint32_t(state.range(0));
  RunStream(state, kMiB, pauseEvery);
  state.SetComplexityN(kMiB / pauseEvery);
}
BENCHMARK(BM_StreamByPauses)
    ->Arg(1024)
    ->Arg(256)
    ->Arg(64)
    ->Arg(16)
    ->Arg(6)
    ->Arg(3)
    ->Complexity(benchmark::oN)
    ->Unit(benchmark::kMillisecond);

// SendBytes alone: the chunked sender with its log and echo check, for one run of n bytes.
void BM_SendBytes(benchmark::State& state) {
  const auto count = uint32_t(state.range(0));
  VirtualClock clock;
  SilentPrompts prompts;
  InstantOutput output;
  MidiLayer midi(output, prompts);
  FirmwareImage image;
  LoadPayload(image, std::vector<uint8_t>(count, 0));
  Engine engine(image, midi, clock, prompts);
  OpenMidiOutput(midi);
  engine.SessionState = Running;
  for (auto _ : state) {
    image.sentLogCount = 0;
    image.echoVerifiedCount = 0;
    SendBytes(engine, count);
  }
  if (engine.aborted.load() != 0) state.SkipWithError("send failed");
  state.SetBytesProcessed(int64_t(state.iterations()) * count);
  state.SetComplexityN(count);
}
BENCHMARK(BM_SendBytes)->RangeMultiplier(8)->Range(32, 2 * kMiB)->Complexity(benchmark::oN);

}  // namespace

BENCHMARK_MAIN();
