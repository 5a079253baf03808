#include "cli/firmware_loading.h"

#include "cli/names.h"

namespace varnet {

std::optional<int> LoadFirmwareOrSayWhy(const std::string& path, CliContext& context,
                                        FirmwareBlocks blocks, const LoadFailureWords& words) {
  constexpr int kExitCannotRead = 2;
  const FirmwareLoad load = LoadFirmwareFile(path, context.fileBuffer, context.image, blocks);
  switch (load.status) {
    case FirmwareLoadStatus::Loaded:
      return std::nullopt;
    case FirmwareLoadStatus::Unreadable:
    case FirmwareLoadStatus::TooLarge:
      context.err << words.errorPrefix << PrintableName(path) << ": " << load.reason << "\n";
      return kExitCannotRead;
    case FirmwareLoadStatus::NotValid:
      context.err << words.notValidPrefix << load.reason << "\n";
      return words.notValidExit;
  }
  return kExitCannotRead;
}

}  // namespace varnet
