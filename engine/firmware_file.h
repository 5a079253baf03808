// Loading a firmware file from disk, with the reason a load failed in words a front end can show.
// Every program loads through here so that an unreadable file, one too large for this machine and
// one that is not firmware are told apart the same way everywhere.
#pragma once

#include <string>

#include "engine/firmware.h"

namespace varnet {

enum class FirmwareLoadStatus {
  Loaded,
  Unreadable,  // the file could not be read (missing, a folder, no permission, ...)
  TooLarge,    // a valid file whose blocks this machine could not allocate
  NotValid,    // not a firmware file
};

struct FirmwareLoad {
  FirmwareLoadStatus status = FirmwareLoadStatus::Loaded;
  // Why it failed, one line without a line feed: the system's words for Unreadable and TooLarge,
  // the loader's message for NotValid.
  std::string reason;

  bool loaded() const { return status == FirmwareLoadStatus::Loaded; }
};

// Reads `path` into `buffer` and takes it into `image`. On failure the image is untouched.
FirmwareLoad LoadFirmwareFile(const std::string& path, FileBuffer& buffer, FirmwareImage& image,
                              FirmwareBlocks blocks = FirmwareBlocks::ForUpdate);

// The loader's "not valid" message without the trailing blank and line feed, which only suit a
// message box.
std::string FirmwareNotValidLine();

// True when ParseFirmwareImage refused `buffer` although its header is valid and the payload it
// declares is all there: the loader could not allocate the blocks for it. Such a file must be
// reported as too large for this machine, not as "not valid".
bool RefusedForWantOfMemory(const FileBuffer& buffer);

}  // namespace varnet
