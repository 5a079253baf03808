// varnet-flash list: the MIDI ports the program sees, with the indices that --in / --out and
// "ini.upd" use.
#include <memory>
#include <ostream>
#include <string>

#include "cli/commands.h"
#include "midi/system_platform.h"

namespace varnet {

int ListMidiPorts(MidiPlatform& platform, std::ostream& out) {
  const uint32_t inputs = platform.inGetNumDevs();
  for (uint32_t index = 0; index < inputs; ++index) {
    char name[kMidiNameLength] = {};
    out << "in " << index << ": "
        << (platform.inGetDevCaps(index, name) == 0 ? name : "(name unavailable)") << "\n";
  }
  const uint32_t outputs = platform.outGetNumDevs();
  for (uint32_t index = 0; index < outputs; ++index) {
    char name[kMidiNameLength] = {};
    out << "out " << index << ": "
        << (platform.outGetDevCaps(index, name) == 0 ? name : "(name unavailable)") << "\n";
  }
  return 0;
}

void AddListCommand(CLI::App& app, CliContext& context) {
  CLI::App* list = app.add_subcommand("list", "Show the MIDI input and output ports");
  list->callback([&context] {
    std::unique_ptr<MidiPlatform> platform = CreateSystemMidiPlatform();
    context.exitCode = ListMidiPorts(*platform, context.out);
    // An empty list alone does not tell a user what to start.
    for (const std::string& line : MidiSystemsWithoutPorts()) context.err << line << "\n";
  });
}

}  // namespace varnet
