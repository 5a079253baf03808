// The MIDI platform of the machine the program runs on: winmm on Windows; on Linux every backend
// that is available (the ALSA sequencer when it can be opened, a JACK server when one runs),
// merged into one list in which each name shows its backend.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "midi/platform.h"

namespace varnet {

std::unique_ptr<MidiPlatform> CreateSystemMidiPlatform();

// One line for each MIDI system of this machine that offers no ports, saying which and why, so
// that a user knows what to start: "JACK: no server running", "ALSA sequencer: not available
// (/dev/snd/seq: No such file or directory)", "JACK: no MIDI ports". Empty when every system
// has ports.
std::vector<std::string> MidiSystemsWithoutPorts();

}  // namespace varnet
