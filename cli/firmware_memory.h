// Telling a firmware file the loader refused for want of memory from one that is not valid.
#pragma once

#include "engine/firmware.h"

namespace varnet {

// True when ParseFirmwareImage refused `buffer` although its header is valid and the payload it
// declares is all there: the loader could not allocate the blocks for it. Such a file must be
// reported as too large for this machine, not as "not valid".
bool RefusedForWantOfMemory(const FileBuffer& buffer);

}  // namespace varnet
