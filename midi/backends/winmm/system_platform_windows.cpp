#include "midi/backends/winmm/winmm_platform.h"
#include "midi/system_platform.h"

namespace varnet {

std::unique_ptr<MidiPlatform> CreateSystemMidiPlatform() {
  return CreateWinmmMidiPlatform();
}

std::vector<std::string> MidiSystemsWithoutPorts() {
  auto platform = CreateWinmmMidiPlatform();
  if (platform->inGetNumDevs() == 0 && platform->outGetNumDevs() == 0)
    return {"Windows MIDI: no devices"};
  return {};
}

}  // namespace varnet
