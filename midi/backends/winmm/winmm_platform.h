// The MIDI platform on Windows: a thin adapter onto the multimedia MIDI service (winmm).
//
// This header deliberately does not include <windows.h>: the service's headers define the result
// and message codes (MMSYSERR_NOERROR, MIM_LONGDATA, ...) as macros, which would collide with the
// enumerators of midi/platform.h in any file that includes both in the wrong order.
#pragma once

#include <memory>

#include "midi/platform.h"

namespace varnet {

std::unique_ptr<MidiPlatform> CreateWinmmMidiPlatform();

}  // namespace varnet
