// varnet-flash update FILE: one update session, as the window's Run Update button runs it, on a
// terminal. Exit status: 0 after "Update done!", 1 after a failed, aborted or refused update, 2
// for a usage error or a file that cannot be read as firmware.
#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN  // also keeps out the MIDI service's macros (see midi/platform.h)
#endif
#include <windows.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "cli/commands.h"
#include "cli/counting_platform.h"
#include "cli/detect_command.h"
#include "cli/firmware_memory.h"
#include "cli/names.h"
#include "cli/terminal.h"
#include "engine/session.h"
#include "engine/session_log.h"
#include "engine/stream_estimate.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/midi_ports.h"
#include "midi/port_scan.h"
#include "midi/system_platform.h"
#include "settings/settings.h"
#include "sim/converter.h"

namespace varnet {

namespace {

constexpr int kExitDone = 0;
constexpr int kExitNotDone = 1;
constexpr int kExitUsage = 2;

constexpr const char* kUnverifiedWarning =
    "Warning: the device echoed nothing, so the update could not be verified. Check that the "
    "MIDI input is connected to the device's output before relying on it.";

struct UpdateOptions {
  std::string path;
  std::optional<int32_t> input;
  std::optional<int32_t> output;
  bool yes = false;
  bool simulate = false;
  std::string simulateKind;  // "", "ad" or "da"
  std::vector<std::string> faults;
  bool fast = false;
  std::string logPath;  // --log FILE: the session's record as JSON Lines
  bool detect = false;  // --detect: the ports of the one converter that answers
};

// The signal handler can reach nothing but a static object; it only counts, and the program
// decides what a Ctrl-C means where it can do so safely (ask, then stop the stream with F7).
std::atomic<int>& RaisedInterrupts() {
  static std::atomic<int> raised{0};
  return raised;
}

// SIGTERM and SIGHUP (the terminal went away, the system shuts down) cannot be asked about: they
// cancel at once, and the stream still ends with its tail, F7 and closed ports. SIGQUIT (Ctrl-\)
// and SIGPIPE (the reader of our output went away, as `| head -1` does) would otherwise kill the
// program mid-stream and leave the device inside an unterminated message: they cancel the same
// way. A failed write to standard output or error is then only a lost line.
std::atomic<int>& RaisedTerminations() {
  static std::atomic<int> raised{0};
  return raised;
}

#ifdef _WIN32
// Windows has no sigaction, and its C run-time disarms a SIGINT handler each time it runs (a
// second Ctrl-C would then kill the program mid-stream). A console control handler stays.
BOOL WINAPI CountInterrupt(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT) return FALSE;
  RaisedInterrupts().fetch_add(1);
  return TRUE;
}

static_assert(std::atomic<int>::is_always_lock_free, "the control handler needs a lock-free word");

class InterruptGuard {
 public:
  InterruptGuard() { SetConsoleCtrlHandler(CountInterrupt, TRUE); }
  ~InterruptGuard() { SetConsoleCtrlHandler(CountInterrupt, FALSE); }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;
};
#else
extern "C" void CountInterrupt(int signal) {
  if (signal != SIGINT) RaisedTerminations().fetch_add(1);
  RaisedInterrupts().fetch_add(1);
}

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free word");

// Installs the counting handler for the lifetime of the object.
class InterruptGuard {
 public:
  InterruptGuard() {
    struct sigaction action {};
    action.sa_handler = CountInterrupt;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, &previousInt_);
    sigaction(SIGTERM, &action, &previousTerm_);
    sigaction(SIGHUP, &action, &previousHup_);
    sigaction(SIGQUIT, &action, &previousQuit_);
    sigaction(SIGPIPE, &action, &previousPipe_);
  }
  ~InterruptGuard() {
    sigaction(SIGINT, &previousInt_, nullptr);
    sigaction(SIGTERM, &previousTerm_, nullptr);
    sigaction(SIGHUP, &previousHup_, nullptr);
    sigaction(SIGQUIT, &previousQuit_, nullptr);
    sigaction(SIGPIPE, &previousPipe_, nullptr);
  }
  InterruptGuard(const InterruptGuard&) = delete;
  InterruptGuard& operator=(const InterruptGuard&) = delete;

 private:
  struct sigaction previousInt_ {};
  struct sigaction previousTerm_ {};
  struct sigaction previousHup_ {};
  struct sigaction previousQuit_ {};
  struct sigaction previousPipe_ {};
};

#endif

std::string NotValidLine() {
  std::string text = kFirmwareNotValidText;
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ')) text.pop_back();
  return text;
}

uint64_t WallMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

bool PortExists(MidiPlatform& platform, bool input, int32_t index) {
  const uint32_t count = input ? platform.inGetNumDevs() : platform.outGetNumDevs();
  return index >= 0 && static_cast<uint32_t>(index) < count;
}

std::string PortName(MidiPlatform& platform, bool input, int32_t index) {
  char name[kMidiNameLength] = {};
  const uint32_t count = input ? platform.inGetNumDevs() : platform.outGetNumDevs();
  if (index < 0 || static_cast<uint32_t>(index) >= count) return "(no such port)";
  const uint32_t result = input ? platform.inGetDevCaps(static_cast<uint32_t>(index), name)
                                : platform.outGetDevCaps(static_cast<uint32_t>(index), name);
  if (result != 0) return "(name unavailable)";
  return name;
}

int RunUpdate(const UpdateOptions& options, CliContext& context) {
  Console console{context.out, context.err};

  std::string reason;
  if (!ReadWholeFile(options.path, context.fileBuffer, &reason)) {
    console.err << "Error!: " << PrintableName(options.path) << ": " << reason << "\n";
    return kExitUsage;
  }
  if (ParseFirmwareImage(context.fileBuffer, context.image) != 0) {
    if (RefusedForWantOfMemory(context.fileBuffer)) {
      console.err << "Error!: " << PrintableName(options.path) << ": "
                  << std::generic_category().message(ENOMEM) << "\n";
      return kExitUsage;
    }
    console.err << "Filetype mismatch!: " << NotValidLine() << "\n";
    return kExitUsage;
  }
  FirmwareImage& image = context.image;

  // The ports the window would use: those stored in ini.upd, else 0; the options override. The
  // simulated converter has ports of its own: indices stored for a real device mean nothing there.
  int32_t inputIndex = 0;
  int32_t outputIndex = 0;
  uint8_t deviceType = 0;
  bool fromSettings = false;
  StoredPortNames storedNames;
  if (!options.simulate && !options.detect) {
    FileBuffer settingsBuffer;
    std::error_code ignored;
    const std::string directory = std::filesystem::current_path(ignored).string();
    if (LoadSettings(directory, settingsBuffer,
                     {inputIndex, outputIndex, deviceType, &storedNames}) == 0) {
      inputIndex = 0;
      outputIndex = 0;
    } else {
      fromSettings = true;
    }
  }
  if (options.input) inputIndex = *options.input;
  if (options.output) outputIndex = *options.output;

  std::unique_ptr<Clock> clock;
  if (options.fast) {
    clock = std::make_unique<VirtualClock>();
  } else {
    clock = std::make_unique<RealClock>();
  }

  std::unique_ptr<sim::SimulatedConverter> converter;
  std::unique_ptr<MidiPlatform> platform;
  if (options.simulate) {
    sim::ConverterConfig config;
    if (options.simulateKind == "ad") {
      config.kind = sim::kKindAD;
    } else if (options.simulateKind == "da") {
      config.kind = sim::kKindDA;
    } else {
      config.kind = image.converterKind == kKindDA ? sim::kKindDA : sim::kKindAD;
    }
    for (const std::string& fault : options.faults) {
      std::string error;
      if (!sim::ParseFault(fault, config.faults, error)) {
        console.err << "--fault " << fault << ": " << error << "\n";
        return kExitUsage;
      }
    }
    converter = std::make_unique<sim::SimulatedConverter>(config);
    if (options.detect) {
      platform = SimulatedAmongSilentPorts(*clock, *converter);
    } else {
      auto virtualPlatform = std::make_unique<VirtualMidiPlatform>(*clock);
      virtualPlatform->connectConverter(*converter);
      platform = std::move(virtualPlatform);
    }
  } else {
    platform = CreateSystemMidiPlatform();
  }
  CountingPlatform counting(*platform);
  // The window's choice follows its ports by name when another device has moved their indices.
  if (fromSettings && !options.input) {
    inputIndex = ChoosePort(inputIndex, storedNames.input, PortNames(counting, true));
  }
  if (fromSettings && !options.output) {
    outputIndex = ChoosePort(outputIndex, storedNames.output, PortNames(counting, false));
  }

  // Only a single answer says which device is meant; with none or several the user chooses.
  if (options.detect) {
    const DetectReport report = DetectConverters(*platform, *clock);
    WriteUnusablePorts(*platform, report, console.err);
    if (report.found.size() != 1) {
      if (report.found.empty()) {
        console.err << "Error!: " << NoneAnsweredLine(report) << "\n";
      } else {
        console.err << "Error!: " << report.found.size()
                    << " converters answered; choose one with --in and --out:\n";
        for (const FoundConverter& found : report.found) {
          console.err << FoundLine(*platform, found) << "\n";
        }
      }
      return kExitNotDone;
    }
    inputIndex = static_cast<int32_t>(report.found.front().input);
    outputIndex = static_cast<int32_t>(report.found.front().output);
  }

  // An index stored by another machine or for a device since unplugged: say where it came from
  // rather than let the port layer fail with a bare "device ID out of range".
  if (fromSettings) {
    const bool badInput = !options.input && !PortExists(counting, true, inputIndex);
    const bool badOutput = !options.output && !PortExists(counting, false, outputIndex);
    if (badInput || badOutput) {
      if (badInput) {
        console.err << "Error!: " << kSettingsFileName << " names input port " << inputIndex
                    << ", which does not exist (" << counting.inGetNumDevs()
                    << " input ports); see `varnet-flash list` and choose one with --in\n";
      }
      if (badOutput) {
        console.err << "Error!: " << kSettingsFileName << " names output port " << outputIndex
                    << ", which does not exist (" << counting.outGetNumDevs()
                    << " output ports); see `varnet-flash list` and choose one with --out\n";
      }
      return kExitNotDone;
    }
  }

  InterruptGuard interruptGuard;
  InterruptCounter interrupts{RaisedInterrupts(), RaisedInterrupts().load()};
  CliPrompts prompts(console, STDIN_FILENO, interrupts, options.yes);
  prompts.terminations = &RaisedTerminations();
  MidiLayer midi(counting, prompts);
  InitMidiPorts(midi);
  midi.ports.inputDeviceIndex = inputIndex;
  midi.ports.outputDeviceIndex = outputIndex;

  console.out << "Firmware " << PrintableName(options.path) << " (" << image.payloadLength
              << " payload bytes) via in " << inputIndex << ": "
              << PortName(counting, true, inputIndex) << ", out " << outputIndex << ": "
              << PortName(counting, false, outputIndex) << "\n";
  console.out.flush();

  Engine engine(image, midi, *clock, prompts);
  SessionLog log;
  if (!options.logPath.empty()) {
    std::string error;
    if (!log.open(options.logPath, engine, error)) {
      console.err << "Error!: " << options.logPath << ": " << error << "\n";
      return kExitUsage;
    }
    // The record names the ports as the window does, from the layer's name areas.
    const std::string inName = PortName(counting, true, inputIndex);
    const std::string outName = PortName(counting, false, outputIndex);
    std::copy_n(inName.c_str(), std::min(inName.size() + 1, kMidiNameLength),
                midi.ports.inputDeviceName.begin());
    std::copy_n(outName.c_str(), std::min(outName.size() + 1, kMidiNameLength),
                midi.ports.outputDeviceName.begin());
    midi.ports.inputDeviceName[kMidiNameLength - 1] = '\0';
    midi.ports.outputDeviceName[kMidiNameLength - 1] = '\0';
  }
  CliSessionView view;
  const std::string firmwarePath = options.path;
  UpdateSession session(engine, view, firmwarePath);

  const StreamEstimate estimate = EstimateStream(image.PayloadBuffer, image.payloadLength);
  // Until the worker has begun the stream, bytesSent still counts the identify request and the
  // header; the encoder resets it before it sets progressTotal, so a progressTotal other than
  // this mark means the count is the stream's.
  constexpr uint32_t kStreamNotBegun = 0xFFFFFFFF;
  image.progressTotal.store(kStreamNotBegun);
  // The window's painting counts against payloadLength / 3; the terminal shows the stream's
  // real length, so the bar ends at 100 % and the time left at 0.
  ProgressPrinter progress(console, isatty(STDOUT_FILENO) == 1, estimate.encodedBytes,
                           estimate.sendingMs + estimate.pausingMs);

  const Clock::TimePoint sessionStart = clock->now();
  Clock::TimePoint streamStart = sessionStart;
  uint64_t nextTickWall = 0;
  uint64_t lastDrawWall = 0;

  // One turn of the window's message loop: the 200 ms timer (on the virtual clock the worker
  // runs without real waiting, so every turn is a tick) and the repaint it asks for.
  auto draw = [&](uint64_t wall) {
    view.progressDirty = false;
    lastDrawWall = wall;
    const uint32_t streamBytes =
        image.progressTotal.load() == kStreamNotBegun ? 0 : image.bytesSent.load();
    const ProgressSample sample{streamBytes, engine.SessionState.load(), engine.aborted.load()};
    progress.show(sample, clock->now() - streamStart, wall);
  };
  auto turn = [&] {
    const uint64_t wall = WallMs();
    if (view.timerRunning && (options.fast || wall >= nextTickWall)) {
      nextTickWall = wall + kProgressTimerMs;
      // The tick that finishes shows its boxes at once: draw the stream's last state first.
      if (session.workerEnded.load()) draw(wall);
      SessionTimerProc(session);
    }
    if (view.progressDirty && session.phase == SessionPhase::Streaming &&
        (!options.fast || wall >= lastDrawWall + 100)) {
      draw(wall);
    }
  };
  prompts.pump = [&] {
    turn();
    return session.phase == SessionPhase::Starting || session.phase == SessionPhase::Streaming;
  };

  OnRunUpdate(session);
  streamStart = clock->now();
  nextTickWall = WallMs() + kProgressTimerMs;

  while (session.phase == SessionPhase::Streaming) {
    // Ctrl-C is the Run Update button of the terminal: it asks the cancel question, and a
    // second Ctrl-C answers it with OK. The stream then ends as any cancel does.
    if (interrupts.takeNew()) {
      OnRunUpdate(session);
      continue;
    }
    turn();
    std::this_thread::sleep_for(std::chrono::milliseconds(options.fast ? 1 : 10));
  }
  console.endBarLine();

  // Where the echo went wrong, and an update that could not be verified, in words a technician
  // can act on.
  const std::string difference = DescribeDifference(engine.firstDifference);
  if (!difference.empty()) console.err << difference << "\n";
  const bool unverified = session.lastOutcome == SessionOutcome::Done && engine.echoMissing;
  if (unverified) console.err << kUnverifiedWarning << "\n";

  std::string summary = SummaryLine(counting.bytesSent(), counting.messagesSent(),
                                    image.echoVerifiedCount, clock->now() - sessionStart);
  if (unverified) summary += " (not verified: the device echoed nothing)";
  console.out << summary << "\n";
  console.out.flush();
  if (converter) {
    // What the simulated device itself saw, so that a run whose output was cut short (a closed
    // pipe, a full disk) still shows on standard error whether the stream was closed.
    const sim::StreamDecode decoded = converter->decoded();
    console.err << "Simulated converter: received " << converter->received().size() << " bytes, "
                << (!decoded.headerSeen ? "no stream"
                    : decoded.ended     ? "the stream ended with F7"
                                        : "the stream was left open")
                << "\n";
    console.err.flush();
  }
  log.write("summary",
            "\"text\":" + SessionLog::Quote(summary) +
                ",\"bytes\":" + std::to_string(counting.bytesSent()) +
                ",\"messages\":" + std::to_string(counting.messagesSent()) +
                ",\"echo_verified\":" + std::to_string(image.echoVerifiedCount) + ",\"verified\":" +
                (session.lastOutcome == SessionOutcome::Done && !unverified ? "true" : "false"));
  log.detach();
  // The session must end (its worker joined) before the layer and the platform go away.
  return session.lastOutcome == SessionOutcome::Done ? kExitDone : kExitNotDone;
}

// Port indices are small non-negative numbers; anything else gets one plain sentence rather than
// the option parser's range of a double.
CLI::Validator PortIndex() {
  return CLI::Validator(
      [](std::string& text) -> std::string {
        const bool digits = !text.empty() && text.size() <= 9 &&
                            text.find_first_not_of("0123456789") == std::string::npos;
        return digits ? "" : "expected a port index (0 or more)";
      },
      "");
}

std::string FaultHelp() {
  std::string text = "Inject a fault of the simulated converter (repeatable):";
  for (const sim::FaultInfo& fault : sim::FaultList()) {
    text += "\n  ";
    text += fault.name;
    text += ": ";
    text += fault.description;
  }
  return text;
}

}  // namespace

void AddUpdateCommand(CLI::App& app, CliContext& context) {
  CLI::App* update = app.add_subcommand(
      "update", "Update a converter with a firmware file, as the window's Run Update does");
  auto options = std::make_shared<UpdateOptions>();
  update->add_option("file", options->path, "Firmware file (.jtg)")->required();
  CLI::Option* inOption =
      update
          ->add_option("--in", options->input,
                       "MIDI input port index (default: the one stored in ini.upd, else 0)")
          ->check(PortIndex());
  CLI::Option* outOption =
      update
          ->add_option("--out", options->output,
                       "MIDI output port index (default: the one stored in ini.upd, else 0)")
          ->check(PortIndex());
  update->add_flag("-y,--yes", options->yes, "Answer Yes to the warning before the update");
  // A flag, so that `--simulate FILE` never takes the file for the kind: the kind is given only
  // as --simulate=ad or --simulate=da (a bare flag reads as "true").
  CLI::Option* simulate =
      update
          ->add_flag("--simulate", options->simulateKind,
                     "Update a simulated converter on a virtual port instead of a device; "
                     "its kind is the firmware file's unless given as --simulate=ad or =da")
          ->check(CLI::Validator(
              [](std::string& kind) -> std::string {
                if (kind == "true" || kind == "ad" || kind == "da") return "";
                return "expected --simulate, --simulate=ad or --simulate=da";
              },
              ""))
          ->type_name("[=ad|da]");
  update->add_option("--fault", options->faults, FaultHelp())->needs(simulate);
  update
      ->add_flag("--detect", options->detect,
                 "Find the converter as `detect` does and update it when exactly one answers "
                 "(with --simulate: the simulated one among silent virtual ports)")
      ->excludes(inOption)
      ->excludes(outOption);
  update->add_option("--log", options->logPath,
                     "Write a record of the session to FILE as JSON Lines (ports, identify "
                     "request and reply, every send and pause, echo progress, the first "
                     "difference, outcome, summary), flushed as it goes");
  update
      ->add_flag("--fast", options->fast,
                 "Run the simulated update on virtual time, without real waiting")
      ->needs(simulate);
  update->callback([options, simulate, &context] {
    options->simulate = simulate->count() > 0;
    context.exitCode = RunUpdate(*options, context);
  });
}

}  // namespace varnet
