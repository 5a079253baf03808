// varnet-flash detect: which ports a converter answers on. Exit status: 0 when at least one
// converter answered, 1 when none did, 2 for a usage error.
#include "cli/detect_command.h"

#include <memory>
#include <string>

#include "cli/commands.h"
#include "cli/names.h"
#include "engine/firmware.h"
#include "engine/session_log.h"
#include "midi/port_locks.h"
#include "midi/port_scan.h"
#include "midi/system_platform.h"
#include "sim/converter.h"

namespace varnet {

namespace {

constexpr int kExitFound = 0;
constexpr int kExitNoneFound = 1;

struct DetectOptions {
  std::string simulateKind;  // "true", "ad" or "da" when --simulate was given
  bool fast = false;
  bool json = false;
};

std::string NameOf(const std::vector<std::string>& names, uint32_t index) {
  return index < names.size() ? names[index] : std::string();
}

const char* KindText(uint8_t kind) {
  return kind == kKindDA ? "DA" : "AD";
}

int RunDetect(const DetectOptions& options, CliContext& context) {
  std::unique_ptr<Clock> clock;
  if (options.fast) {
    clock = std::make_unique<VirtualClock>();
  } else {
    clock = std::make_unique<RealClock>();
  }
  std::unique_ptr<sim::SimulatedConverter> converter;
  std::unique_ptr<MidiPlatform> ports;
  std::unique_ptr<PortLocks> locks;
  std::unique_ptr<MidiPlatform> platform;
  if (!options.simulateKind.empty()) {
    sim::ConverterConfig config;
    config.kind = options.simulateKind == "da" ? sim::kKindDA : sim::kKindAD;
    converter = std::make_unique<sim::SimulatedConverter>(config);
    platform = SimulatedAmongSilentPorts(*clock, *converter);
  } else {
    // A port that an update holds is neither asked nor listened to: the request would land in
    // the middle of its firmware stream.
    ports = CreateSystemMidiPlatform();
    locks = std::make_unique<FilePortLocks>("varnet-flash detect");
    platform = std::make_unique<LockingMidiPlatform>(*ports, *locks);
  }

  const DetectReport report = DetectConverters(*platform, *clock);
  WriteUnusablePorts(*platform, report, context.err);
  if (options.json) {
    PrintJson(context.out, DetectJson(*platform, report));
  } else {
    for (const FoundConverter& found : report.found) {
      context.out << FoundLine(*platform, found) << "\n";
    }
  }
  if (!report.found.empty()) return kExitFound;
  context.err << NoneAnsweredLine(report) << "\n";
  if (options.simulateKind.empty()) WriteMidiSystemHints(context.err);
  return kExitNoneFound;
}

}  // namespace

std::unique_ptr<VirtualMidiPlatform> SimulatedAmongSilentPorts(Clock& clock, VirtualPeer& device) {
  VirtualPlatformConfig config = VirtualPorts(3, 3, false);
  config.inputs[1] = "Varnet Simulator In";
  config.outputs[2] = "Varnet Simulator Out";
  auto platform = std::make_unique<VirtualMidiPlatform>(clock, config);
  platform->connectConverter(device, 1, 2);
  return platform;
}

std::string FoundLine(MidiPlatform& platform, const FoundConverter& converter) {
  return "found: in " + std::to_string(converter.input) + " (" +
         PrintableName(NameOf(PortNames(platform, true), converter.input)) + ") out " +
         std::to_string(converter.output) + " (" +
         PrintableName(NameOf(PortNames(platform, false), converter.output)) +
         "): " + KindText(converter.kind) + " converter";
}

std::string NoneAnsweredLine(const DetectReport& report) {
  return "No converter answered on " + std::to_string(report.outputsAsked) +
         (report.outputsAsked == 1 ? " output." : " outputs.");
}

void WriteUnusablePorts(MidiPlatform& platform, const DetectReport& report, std::ostream& err) {
  const std::vector<std::string> inputs = PortNames(platform, true);
  const std::vector<std::string> outputs = PortNames(platform, false);
  for (const UnusablePort& port : report.unusable) {
    err << (port.input ? "in " : "out ") << port.index << " ("
        << PrintableName(NameOf(port.input ? inputs : outputs, port.index)) << "): skipped"
        << (port.inUse ? ": " : ", cannot be opened: ") << port.reason << "\n";
  }
}

void WriteMidiSystemHints(std::ostream& err) {
  // No ports at all is usually a MIDI system that is not running.
  for (const std::string& line : MidiSystemsWithoutPorts()) err << line << "\n";
}

JsonObject DetectJson(MidiPlatform& platform, const DetectReport& report) {
  const std::vector<std::string> inputs = PortNames(platform, true);
  const std::vector<std::string> outputs = PortNames(platform, false);
  std::vector<JsonObject> found;
  for (const FoundConverter& converter : report.found) {
    JsonObject entry;
    entry.set("in", converter.input)
        .set("in_name", NameOf(inputs, converter.input))
        .set("out", converter.output)
        .set("out_name", NameOf(outputs, converter.output))
        .set("kind", KindText(converter.kind));
    found.push_back(entry);
  }
  std::vector<JsonObject> skipped;
  for (const UnusablePort& port : report.unusable) {
    JsonObject entry;
    entry.set("port", port.input ? "in" : "out")
        .set("index", port.index)
        .set("name", NameOf(port.input ? inputs : outputs, port.index))
        .set("reason", port.reason);
    skipped.push_back(entry);
  }
  JsonObject json;
  json.set("found", found).set("outputs_asked", report.outputsAsked).set("skipped", skipped);
  return json;
}

void AddDetectCommand(CLI::App& app, CliContext& context) {
  CLI::App* detect = app.add_subcommand(
      "detect",
      "Find converters: send the identify request on every MIDI output in turn and listen on "
      "every input; prints the --in/--out indices of each converter that answers");
  auto options = std::make_shared<DetectOptions>();
  CLI::Option* simulate =
      AddSimulateFlag(*detect, options->simulateKind,
                      "Search virtual ports with a simulated converter among silent ones; an AD "
                      "converter unless given as --simulate=da");
  detect->add_flag("--fast", options->fast, "Run the simulated search on virtual time")
      ->needs(simulate);
  detect->add_flag("--json", options->json,
                   "Print one JSON object: found (in, in_name, out, out_name, kind), "
                   "outputs_asked, skipped (port, index, name, reason)");
  detect->callback([options, &context] { context.exitCode = RunDetect(*options, context); });
}

}  // namespace varnet
