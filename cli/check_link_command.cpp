// varnet-flash check-link: tries the link to a converter with the identify request alone, which
// changes nothing on the device, and says whether an update can be expected to get through.
// Exit status: 0 when the link looks fit, 1 when it does not (or the ports cannot be used), 2 for
// a usage error.
#include <chrono>
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/detect_command.h"
#include "cli/json_output.h"
#include "cli/ports.h"
#include "engine/link_check.h"
#include "midi/layer_port.h"
#include "midi/midi_ports.h"
#include "midi/port_locks.h"
#include "midi/port_scan.h"
#include "midi/system_platform.h"
#include "settings/settings.h"
#include "sim/converter.h"

namespace varnet {

namespace {

constexpr int kExitFit = 0;
constexpr int kExitNotFit = 1;
constexpr int kExitUsage = 2;

struct CheckLinkOptions {
  std::optional<int32_t> input;
  std::optional<int32_t> output;
  uint32_t count = 20;
  bool detect = false;
  std::string simulateKind;  // "", "true", "ad" or "da"
  std::vector<std::string> faults;
  bool fast = false;
  bool json = false;
};

// A box the port layer shows (a port that cannot be opened) as a line on standard error.
class LinePrompts final : public Prompts {
 public:
  explicit LinePrompts(std::ostream& err) : err_(err) {}
  BoxAnswer showBox(const BoxRequest& request) override {
    err_ << request.caption << ": " << request.text << "\n";
    return NegativeAnswer(request.buttons);
  }

 private:
  std::ostream& err_;
};

double Ms(Clock::Duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

std::string MsText(Clock::Duration d) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f ms", Ms(d));
  return text;
}

// Why the link is not fit, in one sentence a user can act on.
std::string Verdict(const LinkCheckResult& r) {
  if (r.fit()) return "The link looks fit for an update.";
  std::string why;
  if (r.undelivered) {
    why = "the MIDI service did not send request " + std::to_string(r.sent) +
          ", so nothing more could go out";
  } else if (r.lost == r.sent) {
    why = "the converter never answered (check both cables, the ports and that it is on)";
  } else if (r.lost > 0) {
    why = std::to_string(r.lost) + " of " + std::to_string(r.sent) +
          " replies were lost: this link drops messages";
  } else if (r.late > 0) {
    why = std::to_string(r.late) + " of " + std::to_string(r.sent) +
          " replies came after the update's 500 ms wait: the MIDI system is too slow or busy";
  } else {
    why = std::to_string(r.malformed) +
          " messages arrived that were not valid replies: the link garbles data or another "
          "device sends on it";
  }
  return "The link does not look fit for an update: " + why + ".";
}

JsonObject ResultJson(const LinkCheckResult& r, MidiPlatform& platform, int32_t in, int32_t out) {
  JsonObject json;
  JsonObject inPort;
  inPort.set("index", in).set("name", PortName(platform, PortSide::In, in));
  JsonObject outPort;
  outPort.set("index", out).set("name", PortName(platform, PortSide::Out, out));
  json.set("in", inPort)
      .set("out", outPort)
      .set("fit", r.fit())
      .set("sent", r.sent)
      .set("received", r.received)
      .set("lost", r.lost)
      .set("late", r.late)
      .set("malformed", r.malformed)
      .set("undelivered", r.undelivered);
  if (r.roundTrips.empty()) {
    json.setNull("round_trip_ms");
  } else {
    JsonObject trip;
    trip.set("min", Ms(r.minimum())).set("median", Ms(r.median())).set("max", Ms(r.maximum()));
    json.set("round_trip_ms", trip);
  }
  json.set("verdict", Verdict(r));
  return json;
}

int RunCheckLink(const CheckLinkOptions& options, CliContext& context) {
  std::ostream& report = options.json ? context.err : context.out;
  const bool simulate = !options.simulateKind.empty();
  std::unique_ptr<Clock> clock;
  if (options.fast) {
    clock = std::make_unique<VirtualClock>();
  } else {
    clock = std::make_unique<RealClock>();
  }

  std::unique_ptr<sim::SimulatedConverter> converter;
  std::unique_ptr<MidiPlatform> systemPorts;
  std::unique_ptr<PortLocks> locks;
  std::unique_ptr<MidiPlatform> platform;
  if (simulate) {
    sim::ConverterConfig config;
    config.kind = sim::ParseKind(options.simulateKind).value_or(sim::kKindAD);
    for (const std::string& fault : options.faults) {
      std::string error;
      if (!sim::ParseFault(fault, config.faults, error)) {
        context.err << "--fault " << fault << ": " << error << "\n";
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
    // Its requests would land in the middle of an update's stream: ports that an update holds
    // are refused, as they are to a second update.
    systemPorts = CreateSystemMidiPlatform();
    locks = std::make_unique<FilePortLocks>("varnet-flash check-link");
    platform = std::make_unique<LockingMidiPlatform>(*systemPorts, *locks);
  }

  // The ports the update would use: given, found, or stored in ini.upd (followed by name when
  // another device has moved their indices), else 0.
  int32_t in = 0;
  int32_t out = 0;
  if (options.detect) {
    const DetectReport found = DetectConverters(*platform, *clock);
    WriteUnusablePorts(*platform, found, context.err);
    if (found.found.size() != 1) {
      context.err << "Error!: "
                  << (found.found.empty() ? NoneAnsweredLine(found)
                                          : std::to_string(found.found.size()) +
                                                " converters answered; choose one with --in "
                                                "and --out")
                  << "\n";
      return kExitNotFit;
    }
    in = static_cast<int32_t>(found.found.front().input);
    out = static_cast<int32_t>(found.found.front().output);
  } else if (!simulate) {
    FileBuffer buffer;
    uint8_t deviceType = 0;
    StoredPorts stored;
    std::error_code ignored;
    const std::string directory = std::filesystem::current_path(ignored).string();
    if (LoadSettingsOrDefaults(directory, buffer, {in, out, deviceType, &stored})) {
      // A kept port is found again only where its identity names exactly one port.
      bool found = true;
      if (!options.input)
        found &= FollowStoredPort(*platform, PortSide::In, stored.input, in, context.err);
      if (!options.output) {
        found &= FollowStoredPort(*platform, PortSide::Out, stored.output, out, context.err);
      }
      if (!found) return kExitNotFit;
    }
  }
  if (options.input) in = *options.input;
  if (options.output) out = *options.output;
  for (const auto& [side, index] : {std::pair{PortSide::In, in}, std::pair{PortSide::Out, out}}) {
    if (PortExists(*platform, side, index)) continue;
    context.err << "Error!: there is no " << SideWord(side) << " port " << index << " ("
                << PortCount(*platform, side) << " " << SideWord(side)
                << " ports); see `varnet-flash list`\n";
    return kExitNotFit;
  }

  LinePrompts prompts(context.err);
  MidiLayer midi(*platform, prompts);
  InitMidiPorts(midi);
  midi.ports.inputDeviceIndex = in;
  midi.ports.outputDeviceIndex = out;
  report << "Checking the link via in " << in << ": " << PortName(*platform, PortSide::In, in)
         << ", out " << out << ": " << PortName(*platform, PortSide::Out, out) << " with "
         << options.count << " identify requests\n";
  report.flush();

  LinkCheckResult result;
  {
    std::unique_ptr<UpdatePort> port = MakeLayerPort(midi, *clock);
    if (!CheckLink(*port, *clock, options.count, result)) {
      context.err << "Error!: the ports could not be opened\n";
      return kExitNotFit;
    }
  }
  report << "Replies: " << result.received << " received, " << result.lost << " lost, "
         << result.late << " late, " << result.malformed << " malformed (of " << result.sent
         << " requests)\n";
  if (!result.roundTrips.empty()) {
    report << "Round trip: min " << MsText(result.minimum()) << ", median "
           << MsText(result.median()) << ", max " << MsText(result.maximum()) << "\n";
  }
  report << Verdict(result) << "\n";
  if (options.json) PrintJson(context.out, ResultJson(result, *platform, in, out));
  return result.fit() ? kExitFit : kExitNotFit;
}

}  // namespace

void AddCheckLinkCommand(CLI::App& app, CliContext& context) {
  CLI::App* check = app.add_subcommand(
      "check-link",
      "Test the link to a converter without changing anything on it: send the identify request "
      "a number of times (paced as an update paces its messages) and report replies received, "
      "lost, late and malformed and the round-trip times; exit 0 when the link looks fit for an "
      "update, 1 when it does not");
  auto options = std::make_shared<CheckLinkOptions>();
  auto portIndex = CLI::Range(0, 999999999);
  CLI::Option* inOption =
      check
          ->add_option("--in", options->input,
                       "MIDI input port index (default: the one stored in ini.upd, else 0)")
          ->check(portIndex);
  CLI::Option* outOption =
      check
          ->add_option("--out", options->output,
                       "MIDI output port index (default: the one stored in ini.upd, else 0)")
          ->check(portIndex);
  check
      ->add_flag("--detect", options->detect,
                 "Find the converter as `detect` does and check the link when exactly one "
                 "answers")
      ->excludes(inOption)
      ->excludes(outOption);
  check
      ->add_option("--count", options->count,
                   "How many identify requests to send (1 to 1000, default 20)")
      ->check(CLI::Range(1, 1000));
  CLI::Option* simulate =
      AddSimulateFlag(*check, options->simulateKind,
                      "Check the link to a simulated converter on a virtual port instead");
  check
      ->add_option("--fault", options->faults,
                   sim::FaultHelp("Inject a fault of the simulated converter (repeatable):", ": "))
      ->needs(simulate);
  check->add_flag("--fast", options->fast, "Run the simulated check on virtual time")
      ->needs(simulate);
  check->add_flag("--json", options->json,
                  "Print one JSON object on standard output: in, out (index, name), fit, sent, "
                  "received, lost, late, malformed, undelivered, round_trip_ms (min, median, "
                  "max, or null), verdict; the other lines go to standard error");
  check->callback([options, &context] { context.exitCode = RunCheckLink(*options, context); });
}

}  // namespace varnet
