// The system platform on Linux: every backend that was built, merged. A backend with nothing to
// offer (no kernel sequencer, no JACK server) simply adds no devices.
#include "midi/backends/system/merged_platform.h"
#include "midi/system_platform.h"

#ifdef VARNET_HAVE_ALSA
#include "midi/backends/alsa/alsa_platform.h"
#endif
#ifdef VARNET_HAVE_JACK
#include "midi/backends/jack/jack_platform.h"
#endif

namespace varnet {

std::unique_ptr<MidiPlatform> CreateSystemMidiPlatform() {
  std::vector<MergedMidiPlatform::Backend> backends;
  // Each backend fits its names in what the tag leaves, so that the cut never falls on the part
  // of a name that tells two ports apart.
  [[maybe_unused]] auto room = [](const std::string& tag) {
    return kMidiNameLength - 1 - tag.size();
  };
#ifdef VARNET_HAVE_ALSA
  backends.push_back({"A: ", CreateAlsaMidiPlatform("varnet-update", room("A: ")), IsAlsaResult});
#endif
#ifdef VARNET_HAVE_JACK
  backends.push_back({"J: ", CreateJackMidiPlatform("varnet-update", room("J: ")), IsJackResult});
#endif
  return std::make_unique<MergedMidiPlatform>(std::move(backends));
}

std::vector<std::string> MidiSystemsWithoutPorts() {
  std::vector<std::string> lines;
  [[maybe_unused]] auto portless = [](MidiPlatform& platform) {
    return platform.inGetNumDevs() == 0 && platform.outGetNumDevs() == 0;
  };
#ifdef VARNET_HAVE_ALSA
  if (const std::string why = AlsaSequencerUnavailableReason(); !why.empty()) {
    lines.push_back("ALSA sequencer: not available (" + why + ")");
  } else if (portless(*CreateAlsaMidiPlatform())) {
    lines.push_back("ALSA sequencer: no MIDI ports");
  }
#endif
#ifdef VARNET_HAVE_JACK
  if (const std::string why = JackUnavailableReason(); !why.empty()) {
    lines.push_back("JACK: " + why);
  } else if (portless(*CreateJackMidiPlatform())) {
    lines.push_back("JACK: no MIDI ports");
  }
#endif
  return lines;
}

}  // namespace varnet
