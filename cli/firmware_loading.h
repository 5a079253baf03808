// Loading the firmware file a verb is given, and saying on standard error why it failed.
#pragma once

#include <optional>
#include <string>

#include "cli/commands.h"
#include "engine/firmware_file.h"

namespace varnet {

// How a verb words a file it could not load: `errorPrefix` goes before "FILE: reason" (a file
// that cannot be read or is too large for this machine), `notValidPrefix` before the loader's
// message, and a file that is not firmware leaves with `notValidExit`; the others with 2.
struct LoadFailureWords {
  const char* errorPrefix = "";
  const char* notValidPrefix = "";
  int notValidExit = 1;
};

// Loads `path` into context.image. nullopt once loaded; otherwise the verb's exit code, after
// the reason went to context.err.
std::optional<int> LoadFirmwareOrSayWhy(const std::string& path, CliContext& context,
                                        FirmwareBlocks blocks, const LoadFailureWords& words);

}  // namespace varnet
