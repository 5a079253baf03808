// The update engine's port pair on the MIDI layer: every call is one of the layer's documented
// operations (midi_ports.h), which keep their names and behaviour for the front ends.
#pragma once

#include <memory>

#include "midi/update_port.h"

namespace varnet {

struct MidiLayer;

// While it exists, the layer's callbacks wake `clock` (a waitSent sees a completion at once).
// One per MidiLayer at a time.
std::unique_ptr<UpdatePort> MakeLayerPort(MidiLayer& midi, Clock& clock);

}  // namespace varnet
