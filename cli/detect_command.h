// What `varnet-flash detect` and `update --detect` share: the simulated converter's ports among
// silent ones, and the report of what was found.
#pragma once

#include <memory>
#include <ostream>
#include <string>

#include "cli/json_output.h"
#include "core/clock.h"
#include "engine/detect.h"
#include "midi/backends/virtual/virtual_platform.h"

namespace varnet {

// Three inputs and three outputs, the simulated converter behind input 1 and output 2 and the
// others silent, so that finding it takes the same search as on a studio's ports.
std::unique_ptr<VirtualMidiPlatform> SimulatedAmongSilentPorts(Clock& clock, VirtualPeer& device);

// "found: in N (IN-NAME) out M (OUT-NAME): AD converter", the names as PrintableName gives them
std::string FoundLine(MidiPlatform& platform, const FoundConverter& converter);
// "No converter answered on K outputs." ("1 output.")
std::string NoneAnsweredLine(const DetectReport& report);
// One line per port that could not be used, for standard error.
void WriteUnusablePorts(MidiPlatform& platform, const DetectReport& report, std::ostream& err);
// What to start when a MIDI system offers no ports, for standard error after "No converter".
void WriteMidiSystemHints(std::ostream& err);
// The --json object: found, outputs_asked, skipped.
JsonObject DetectJson(MidiPlatform& platform, const DetectReport& report);

}  // namespace varnet
