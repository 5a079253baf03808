// varnet-flash: the command-line twin of the updater's window.
#include <CLI/CLI.hpp>

#include "cli/commands.h"

int main(int argc, char** argv) {
  varnet::CliContext context;
  CLI::App app{"varnet-flash: update the firmware of Varnet converters over MIDI"};
  app.set_version_flag("--version", "varnet-flash 1.0.0");
  app.require_subcommand(1);
  // The same options everywhere: on Windows CLI11 would also read "/x" as an option, and so take
  // a path such as /c/firmware/ad.jtg (MSYS, Wine) for one. Set before the verbs, which inherit it.
  app.allow_windows_style_options(false);

  varnet::AddInspectCommand(app, context);
  varnet::AddUpdateCommand(app, context);
  varnet::AddListCommand(app, context);
  varnet::AddExportCommand(app, context);

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    // Usage errors leave with 2, as every verb's documented exit status says.
    return app.exit(error) == 0 ? 0 : 2;
  }
  return context.exitCode;
}
