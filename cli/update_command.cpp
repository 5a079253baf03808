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
#include <array>
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
#include "cli/detect_command.h"
#include "cli/firmware_loading.h"
#include "cli/json_output.h"
#include "cli/names.h"
#include "cli/ports.h"
#include "cli/terminal.h"
#include "engine/echo_cause.h"
#include "engine/session.h"
#include "engine/session_log.h"
#include "engine/stream_estimate.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/counting_platform.h"
#include "midi/midi_ports.h"
#include "midi/port_locks.h"
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
  bool json = false;    // --json: the summary as JSON on standard output, the rest on error
  bool detect = false;  // --detect: the ports of the one converter that answers
  bool allowOtherSenders = false;  // --allow-other-senders
  bool slow = false;               // --slow: the slower transfer (smaller pieces, same pauses)
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

uint64_t WallMs() {
  return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                   std::chrono::steady_clock::now().time_since_epoch())
                                   .count());
}

struct PortChoice {
  int32_t input = 0;
  int32_t output = 0;
  bool fromSettings = false;  // the indices not given as options came from ini.upd
  StoredPorts stored;         // the ports' identities stored beside the indices, if any
};

// The ports the window would use: those stored in ini.upd, else 0; the options override. The
// simulated converter has ports of its own: indices stored for a real device mean nothing there.
PortChoice ChoosePorts(const UpdateOptions& options, Console& console) {
  PortChoice choice;
  if (!options.simulate && !options.detect) {
    FileBuffer settingsBuffer;
    uint8_t deviceType = 0;
    std::error_code ignored;
    const std::string directory = std::filesystem::current_path(ignored).string();
    std::string why;
    choice.fromSettings = LoadSettingsOrDefaults(
        directory, settingsBuffer, {choice.input, choice.output, deviceType, &choice.stored, &why});
    if (!why.empty() && !(options.input && options.output)) {
      console.err << "Warning: " << kSettingsFileName << " is ignored (" << why
                  << "); ports not given with --in and --out are 0\n";
    }
  }
  if (options.input) choice.input = *options.input;
  if (options.output) choice.output = *options.output;
  return choice;
}

// An index stored by another machine or for a device since unplugged: say where it came from
// rather than let the port layer fail with a bare "device ID out of range". True when every
// stored index names a port.
bool StoredPortsExist(const UpdateOptions& options, const PortChoice& choice,
                      MidiPlatform& platform, Console& console) {
  if (!choice.fromSettings) return true;
  bool exist = true;
  auto check = [&](PortSide side, bool overridden, int32_t index) {
    if (overridden || PortExists(platform, side, index)) return;
    const char* word = side == PortSide::In ? "input" : "output";
    console.err << "Error!: " << kSettingsFileName << " names " << word << " port " << index
                << ", which does not exist (" << PortCount(platform, side) << " " << word
                << " ports); see `varnet-flash list` and choose one with --" << SideWord(side)
                << "\n";
    exist = false;
  };
  check(PortSide::In, options.input.has_value(), choice.input);
  check(PortSide::Out, options.output.has_value(), choice.output);
  return exist;
}

// The device to update: a simulated converter on a virtual port, or the system's MIDI ports.
struct UpdateTarget {
  std::unique_ptr<sim::SimulatedConverter> converter;
  std::unique_ptr<MidiPlatform> platform;
  // The system's ports are opened only under their locks (midi/port_locks.h): another update or
  // a `detect` on them is refused instead of breaking this one, and this one is refused while
  // another holds them.
  std::unique_ptr<PortLocks> locks;
  std::unique_ptr<LockingMidiPlatform> locking;
  MidiPlatform& ports() { return locking ? *locking : *platform; }
};

// nullopt once `target` is set up; otherwise the exit code, after saying why.
std::optional<int> OpenTarget(const UpdateOptions& options, const FirmwareImage& image,
                              Clock& clock, Console& console, UpdateTarget& target) {
  if (!options.simulate) {
    target.platform = CreateSystemMidiPlatform();
    target.locks = std::make_unique<FilePortLocks>("varnet-flash update");
    target.locking = std::make_unique<LockingMidiPlatform>(*target.platform, *target.locks);
    return std::nullopt;
  }
  sim::ConverterConfig config;
  // Without a kind of its own the simulated converter is the one the firmware is for.
  config.kind = sim::ParseKind(options.simulateKind)
                    .value_or(image.converterKind == kKindDA ? sim::kKindDA : sim::kKindAD);
  for (const std::string& fault : options.faults) {
    std::string error;
    if (!sim::ParseFault(fault, config.faults, error)) {
      console.err << "--fault " << fault << ": " << error << "\n";
      return kExitUsage;
    }
  }
  target.converter = std::make_unique<sim::SimulatedConverter>(config);
  if (options.detect) {
    target.platform = SimulatedAmongSilentPorts(clock, *target.converter);
    return std::nullopt;
  }
  auto virtualPlatform = std::make_unique<VirtualMidiPlatform>(clock);
  virtualPlatform->connectConverter(*target.converter);
  target.platform = std::move(virtualPlatform);
  return std::nullopt;
}

// The window's choice follows its ports by identity when another device has moved their
// indices. A stored port that no port present is, or that several could be, is never guessed
// at: the update is refused with the ports to choose from. True when both sides are settled.
bool FollowStoredPorts(const UpdateOptions& options, MidiPlatform& platform, PortChoice& choice,
                       Console& console) {
  if (!choice.fromSettings) return true;
  bool settled = true;
  if (!options.input.has_value()) {
    settled &=
        FollowStoredPort(platform, PortSide::In, choice.stored.input, choice.input, console.err);
  }
  if (!options.output.has_value()) {
    settled &=
        FollowStoredPort(platform, PortSide::Out, choice.stored.output, choice.output, console.err);
  }
  return settled;
}

// --detect: only a single answer says which device is meant; with none or several the user
// chooses. True with `choice` set to the one converter found.
bool DetectOneConverter(MidiPlatform& platform, Clock& clock, Console& console, PortChoice& choice,
                        bool simulated) {
  const DetectReport report = DetectConverters(platform, clock);
  WriteUnusablePorts(platform, report, console.err);
  if (report.found.size() != 1) {
    if (report.found.empty()) {
      console.err << "Error!: " << NoneAnsweredLine(report) << "\n";
      if (!simulated) WriteMidiSystemHints(console.err);
    } else {
      console.err << "Error!: " << report.found.size()
                  << " converters answered; choose one with --in and --out:\n";
      for (const FoundConverter& found : report.found) {
        console.err << FoundLine(platform, found) << "\n";
      }
    }
    return false;
  }
  choice.input = static_cast<int32_t>(report.found.front().input);
  choice.output = static_cast<int32_t>(report.found.front().output);
  return true;
}

// The record names the ports as the window does, from the layer's name areas.
void NamePortsForLog(MidiLayer& midi, MidiPlatform& platform, const PortChoice& choice) {
  auto copy = [](const std::string& name, std::array<char, kNameAreaSize>& area) {
    std::copy_n(name.c_str(), std::min(name.size() + 1, kMidiNameLength), area.begin());
    area[kMidiNameLength - 1] = '\0';
  };
  copy(PortName(platform, PortSide::In, choice.input), midi.ports.inputDeviceName);
  copy(PortName(platform, PortSide::Out, choice.output), midi.ports.outputDeviceName);
}

// The window's message loop on a terminal: the session runs from Run Update to its outcome box,
// with the progress bar for the progress area and Ctrl-C for the cancel button.
void RunSessionOnTerminal(UpdateSession& session, CliSessionView& view, CliPrompts& prompts,
                          InterruptCounter& interrupts, Console& console, bool fast,
                          bool terminal) {
  Engine& engine = session.engine;
  FirmwareImage& image = engine.image;
  Clock& clock = engine.clock;
  const StreamEstimate estimate =
      EstimateStream(image.PayloadBuffer, image.payloadLength, engine.pieceSize);
  // The window's painting counts against payloadLength / 3; the terminal shows the stream's
  // real length, so the bar ends at 100 % and the time left at 0.
  ProgressPrinter progress(console, terminal, estimate.encodedBytes,
                           estimate.sendingMs + estimate.pausingMs);

  Clock::TimePoint streamStart = clock.now();
  uint64_t nextTickWall = 0;
  uint64_t lastDrawWall = 0;

  // One turn of the window's message loop: the 200 ms timer (on the virtual clock the worker
  // runs without real waiting, so every turn is a tick) and the repaint it asks for.
  auto draw = [&](uint64_t wall) {
    view.progressDirty = false;
    lastDrawWall = wall;
    // Before the stream, bytesSent counts the identify request; from the stream on (the session
    // starts it from 0 after the header) it is the stream's.
    const uint32_t streamBytes = SessionStreamLive(session.phase) ? image.bytesSent.load() : 0;
    const ProgressSample sample{streamBytes, engine.SessionState.load(), engine.aborted.load()};
    progress.show(sample, clock.now() - streamStart, wall);
  };
  auto turn = [&] {
    const uint64_t wall = WallMs();
    if (view.timerRunning && (fast || wall >= nextTickWall)) {
      nextTickWall = wall + kProgressTimerMs;
      // The tick that finishes shows its boxes at once: draw the stream's last state first.
      if (session.workerEnded.load()) draw(wall);
      SessionTimerProc(session);
    }
    if (view.progressDirty && session.phase == SessionPhase::Streaming &&
        (!fast || wall >= lastDrawWall + 100)) {
      draw(wall);
    }
  };
  prompts.pump = [&] {
    turn();
    return session.phase != SessionPhase::Idle;
  };

  OnRunUpdate(session);
  streamStart = clock.now();
  nextTickWall = WallMs() + kProgressTimerMs;

  while (SessionStreamLive(session.phase)) {
    // Ctrl-C is the Run Update button of the terminal: it asks the cancel question, and a
    // second Ctrl-C answers it with OK. The stream then ends as any cancel does.
    if (interrupts.takeNew()) {
      OnRunUpdate(session);
      continue;
    }
    turn();
    std::this_thread::sleep_for(std::chrono::milliseconds(fast ? 1 : 10));
  }
  // The turns above end with this function; a question asked after the session has lost its
  // object, as it had with the session's timer stopped.
  prompts.pump = [] { return false; };
  console.endBarLine();
}

// The four words README names: a press that never became a session (a file without payload) was
// refused, and a stream stopped from outside ended as a cancel does.
const char* OutcomeWord(SessionOutcome outcome) {
  switch (outcome) {
    case SessionOutcome::None:
    case SessionOutcome::Refused:
      return "refused";
    case SessionOutcome::Done:
      return "done";
    case SessionOutcome::Aborted:
    case SessionOutcome::Stopped:
      return "aborted";
    case SessionOutcome::Failed:
      return "failed";
  }
  return "refused";
}

// A byte of a difference, or null where there was none.
void SetByte(JsonObject& json, const char* key, int byte) {
  if (byte < 0) {
    json.setNull(key);
  } else {
    json.set(key, byte);
  }
}

JsonObject SummaryJson(const UpdateSession& session, const CountingPlatform& counting,
                       bool verified, Clock::Duration elapsed) {
  const Engine& engine = session.engine;
  JsonObject json;
  json.set("outcome", OutcomeWord(session.lastOutcome))
      .set("verified", verified)
      .set("bytes_sent", counting.bytesSent())
      .set("messages_sent", counting.messagesSent())
      .set("echo_verified_bytes", engine.image.echoVerifiedCount);
  const EchoDifference& difference = engine.firstDifference;
  if (difference.kind == EchoDifference::Kind::None) {
    json.setNull("first_difference");
  } else {
    JsonObject first;
    first.set("kind", DifferenceKindName(difference.kind))
        .set("offset", difference.offset)
        .set("piece", difference.piece);
    SetByte(first, "sent", difference.sent);
    SetByte(first, "echoed", difference.echoed);
    first.set("text", DescribeDifference(difference));
    first.set("cause", CauseName(difference.cause));
    json.set("first_difference", first);
  }
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count();
  json.set("elapsed_seconds", JsonSeconds(static_cast<uint64_t>(ms)));
  return json;
}

// Where the echo went wrong, an update that could not be verified and the summary, in words a
// technician can act on; the summary also ends the session's record.
void ReportEnd(UpdateSession& session, const CountingPlatform& counting,
               const sim::SimulatedConverter* converter, Clock::TimePoint sessionStart,
               Console& console, SessionLog& log, std::ostream* json) {
  const Engine& engine = session.engine;
  const std::string difference = DescribeDifference(engine.firstDifference);
  if (!difference.empty()) {
    console.err << difference << "\n"
                << DescribeCause(engine.firstDifference) << " "
                << CauseAdvice(engine.firstDifference.cause) << "\n";
  }
  const bool unverified = session.lastOutcome == SessionOutcome::Done && engine.echoMissing;
  if (unverified) console.err << kUnverifiedWarning << "\n";
  const bool verified = session.lastOutcome == SessionOutcome::Done && !unverified;

  const Clock::Duration elapsed = engine.clock.now() - sessionStart;
  std::string summary = SummaryLine(counting.bytesSent(), counting.messagesSent(),
                                    engine.image.echoVerifiedCount, elapsed);
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
  log.write("summary", "\"text\":" + SessionLog::Quote(summary) +
                           ",\"bytes\":" + std::to_string(counting.bytesSent()) +
                           ",\"messages\":" + std::to_string(counting.messagesSent()) +
                           ",\"echo_verified\":" + std::to_string(engine.image.echoVerifiedCount) +
                           ",\"verified\":" + (verified ? "true" : "false"));
  if (json) {
    PrintJson(*json, SummaryJson(session, counting, verified, elapsed));
    json->flush();
  }
}

int RunUpdate(const UpdateOptions& options, CliContext& context) {
  // With --json standard output carries the summary object alone; what a person reads goes to
  // standard error.
  Console console{options.json ? context.err : context.out, context.err};
  if (const std::optional<int> failed =
          LoadFirmwareOrSayWhy(options.path, context, FirmwareBlocks::ForUpdate,
                               {"Error!: ", "Filetype mismatch!: ", kExitUsage})) {
    return *failed;
  }
  FirmwareImage& image = context.image;
  PortChoice ports = ChoosePorts(options, console);

  std::unique_ptr<Clock> clock;
  if (options.fast) {
    clock = std::make_unique<VirtualClock>();
  } else {
    clock = std::make_unique<RealClock>();
  }
  UpdateTarget target;
  if (const std::optional<int> failed = OpenTarget(options, image, *clock, console, target)) {
    return *failed;
  }
  CountingPlatform counting(target.ports());
  if (!FollowStoredPorts(options, counting, ports, console)) return kExitNotDone;
  if (options.detect &&
      !DetectOneConverter(target.ports(), *clock, console, ports, options.simulate)) {
    return kExitNotDone;
  }
  if (!StoredPortsExist(options, ports, counting, console)) return kExitNotDone;

  InterruptGuard interruptGuard;
  InterruptCounter interrupts{RaisedInterrupts(), RaisedInterrupts().load()};
  CliPrompts prompts(console, STDIN_FILENO, interrupts, options.yes);
  prompts.terminations = &RaisedTerminations();
  if (options.allowOtherSenders) prompts.agreedOptions.push_back(kOtherSendersOption);
  MidiLayer midi(counting, prompts);
  InitMidiPorts(midi);
  midi.ports.inputDeviceIndex = ports.input;
  midi.ports.outputDeviceIndex = ports.output;

  console.out << FirmwareViaLine(options.path, image.payloadLength, ports.input,
                                 PortName(counting, PortSide::In, ports.input), ports.output,
                                 PortName(counting, PortSide::Out, ports.output))
              << "\n";
  console.out.flush();

  Engine engine(image, midi, *clock, prompts);
  if (options.slow) {
    engine.pieceSize = kSlowPieceSize;
    console.out << "Slow transfer: " << kSlowPieceSize << "-byte pieces 10 ms apart\n";
  }
  SessionLog log;
  if (!options.logPath.empty()) {
    std::string error;
    if (!log.open(options.logPath, engine, error)) {
      console.err << "Error!: --log " << PrintableName(options.logPath) << ": " << error << "\n";
      return kExitUsage;
    }
    NamePortsForLog(midi, counting, ports);
  }
  CliSessionView view;
  const std::string firmwarePath = options.path;
  UpdateSession session(engine, view, firmwarePath);

  const Clock::TimePoint sessionStart = clock->now();
  const bool terminal = isatty(options.json ? STDERR_FILENO : STDOUT_FILENO) == 1;
  RunSessionOnTerminal(session, view, prompts, interrupts, console, options.fast, terminal);
  ReportEnd(session, counting, target.converter.get(), sessionStart, console, log,
            options.json ? &context.out : nullptr);
  log.detach();
  // The update's result stands; the record that could not be kept is only reported.
  if (const std::string why = log.takeIncomplete(); !why.empty()) {
    console.err << "Warning: the session record " << PrintableName(options.logPath)
                << " is incomplete: " << why << "\n";
  }
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

}  // namespace

CLI::Option* AddSimulateFlag(CLI::App& command, std::string& kind, const std::string& help) {
  return command.add_flag("--simulate", kind, help)
      ->check(CLI::Validator(
          [](std::string& value) -> std::string {
            if (value == "true" || value == "ad" || value == "da") return "";
            return "expected --simulate, --simulate=ad or --simulate=da";
          },
          ""))
      ->type_name("[=ad|da]");
}

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
  update->add_flag(kOtherSendersOption, options->allowOtherSenders,
                   "Update even when other programs send into the device's MIDI input (their "
                   "ports are named first; without this option such an update is refused)");
  CLI::Option* simulate =
      AddSimulateFlag(*update, options->simulateKind,
                      "Update a simulated converter on a virtual port instead of a device; "
                      "its kind is the firmware file's unless given as --simulate=ad or =da");
  update
      ->add_option("--fault", options->faults,
                   sim::FaultHelp("Inject a fault of the simulated converter (repeatable):", ": "))
      ->needs(simulate);
  update
      ->add_flag("--detect", options->detect,
                 "Find the converter as `detect` does and update it when exactly one answers "
                 "(with --simulate: the simulated one among silent virtual ports)")
      ->excludes(inOption)
      ->excludes(outOption);
  update->add_option("--log", options->logPath,
                     "Write a record of the session to FILE as JSON Lines (ports, identify "
                     "request and reply, every send and pause, echo progress, the first "
                     "difference, outcome, summary), flushed as it goes; appended to, never the "
                     "firmware file, '-' or a FIFO without reader; one that cannot be written is "
                     "reported and the update goes on");
  update->add_flag("--json", options->json,
                   "At the end print the summary as one JSON object on standard output (keys in "
                   "README); the progress and the other lines go to standard error");
  update->add_flag("--slow", options->slow,
                   "Slow transfer, for MIDI interfaces that lose bytes at the full rate: the same "
                   "bytes and pauses in 16-byte pieces 10 ms apart (half the rate; the update "
                   "takes longer, see inspect)");
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
