// varnet-flash list: the MIDI ports the program sees, with the indices that --in / --out and
// "ini.upd" use.
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/json_output.h"
#include "cli/names.h"
#include "cli/ports.h"
#include "midi/system_platform.h"

namespace varnet {

int ListMidiPorts(MidiPlatform& platform, std::ostream& out) {
  for (const PortSide side : {PortSide::In, PortSide::Out}) {
    for (const PortEntry& port : ListPorts(platform, side)) {
      out << SideWord(side) << " " << port.index << ": " << PrintableName(port.name) << "\n";
    }
  }
  return 0;
}

int ListMidiPortsJson(MidiPlatform& platform, std::ostream& out) {
  JsonObject json;
  for (const PortSide side : {PortSide::In, PortSide::Out}) {
    std::vector<JsonObject> ports;
    for (const PortEntry& port : ListPorts(platform, side)) {
      JsonObject entry;
      entry.set("index", port.index);
      if (port.nameKnown) {
        entry.set("name", port.name);
      } else {
        entry.setNull("name");
      }
      ports.push_back(entry);
    }
    json.set(side == PortSide::In ? "inputs" : "outputs", ports);
  }
  PrintJson(out, json);
  return 0;
}

void AddListCommand(CLI::App& app, CliContext& context) {
  CLI::App* list = app.add_subcommand("list", "Show the MIDI input and output ports");
  auto json = std::make_shared<bool>(false);
  list->add_flag("--json", *json, "Print the ports as one JSON object (keys in README)");
  list->callback([json, &context] {
    std::unique_ptr<MidiPlatform> platform = CreateSystemMidiPlatform();
    context.exitCode =
        *json ? ListMidiPortsJson(*platform, context.out) : ListMidiPorts(*platform, context.out);
    // An empty list alone does not tell a user what to start.
    for (const std::string& line : MidiSystemsWithoutPorts()) context.err << line << "\n";
  });
}

}  // namespace varnet
