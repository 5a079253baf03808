// The MIDI platform of the machine the program runs on: winmm on Windows; on Linux every backend
// that is available (the ALSA sequencer when it can be opened, a JACK server when one runs),
// merged into one list in which each name shows its backend.
#pragma once

#include <memory>

#include "midi/platform.h"

namespace varnet {

std::unique_ptr<MidiPlatform> CreateSystemMidiPlatform();

}  // namespace varnet
