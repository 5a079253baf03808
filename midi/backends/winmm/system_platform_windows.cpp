#include "midi/backends/winmm/winmm_platform.h"
#include "midi/system_platform.h"

namespace varnet {

std::unique_ptr<MidiPlatform> CreateSystemMidiPlatform() {
  return CreateWinmmMidiPlatform();
}

}  // namespace varnet
