// varnet-flash: the command-line twin of the updater's window.
#include <CLI/CLI.hpp>
#include <cerrno>
#include <cstdio>
#include <iostream>
#include <string>
#include <system_error>

#include "cli/commands.h"
#include "cli/names.h"
#include "varnet_version.h"

namespace {

constexpr int kExitCannotWrite = 2;

// Flushes standard output and says on standard error (if it can) why it could not be written.
bool OutputWritten() {
  errno = 0;
  std::cout.flush();
  const bool flushed = std::fflush(stdout) == 0;
  const int error = errno;
  if (flushed && std::cout && std::ferror(stdout) == 0) return true;
  std::cerr << "varnet-flash: standard output: "
            << std::generic_category().message(error != 0 ? error : EIO) << "\n";
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  varnet::CliContext context;
  CLI::App app{"varnet-flash: update the firmware of Varnet converters over MIDI"};
  app.set_version_flag("--version", "varnet-flash " VARNET_VERSION);
  app.require_subcommand(1);
  // The same options everywhere: on Windows CLI11 would also read "/x" as an option, and so take
  // a path such as /c/firmware/ad.jtg (MSYS, Wine) for one. Set before the verbs, which inherit it.
  app.allow_windows_style_options(false);

  varnet::AddInspectCommand(app, context);
  varnet::AddUpdateCommand(app, context);
  varnet::AddListCommand(app, context);
  varnet::AddExportCommand(app, context);
  varnet::AddDetectCommand(app, context);
  varnet::AddCheckLinkCommand(app, context);

  // The parser would only say "A subcommand is required" for a mistyped verb.
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.empty() || word[0] == '-') continue;
    bool known = false;
    std::string verbs;
    for (const CLI::App* verb : app.get_subcommands({})) {
      known = known || verb->get_name() == word;
      verbs += (verbs.empty() ? "" : ", ") + verb->get_name();
    }
    if (known) break;
    std::cerr << "varnet-flash: unknown command '" << varnet::PrintableName(word)
              << "'; the commands are " << verbs << " (see varnet-flash --help)\n";
    return 2;
  }

  int exitCode = 0;
  try {
    app.parse(argc, argv);
    exitCode = context.exitCode;
  } catch (const CLI::ParseError& error) {
    // Usage errors leave with 2, as every verb's documented exit status says.
    exitCode = app.exit(error) == 0 ? 0 : 2;
  }
  // A report that never reached its reader must not pass for a success (`inspect FILE >/dev/full`
  // would say nothing and exit 0). An update's status is the update's outcome: the device was
  // updated or not, whatever became of the progress lines.
  if (app.get_subcommand("update")->parsed()) return exitCode;
  if (!OutputWritten()) return kExitCannotWrite;
  return exitCode;
}
