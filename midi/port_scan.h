// Every port at once, for finding a device without knowing its ports: the names of all inputs or
// outputs, and a probe that opens every input, sends one message on each output in turn and
// collects what each input received while that output's message was the last one sent.
//
// This works on the platform directly, beside the one-input/one-output MidiLayer of an update:
// no update session may hold the ports while a probe runs.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/clock.h"
#include "midi/platform.h"

namespace varnet {

// The device names, in device order; a port whose name cannot be read has an empty name.
std::vector<std::string> PortNames(MidiPlatform& platform, bool input);

// The devices' identities, in device order; a port whose identity cannot be read has an empty one.
std::vector<PortIdentity> PortIdentities(MidiPlatform& platform, bool input);

// A port the probe could not use, and the service's reason.
struct UnusablePort {
  bool input = false;
  uint32_t index = 0;
  std::string reason;
  bool inUse = false;  // another session holds it (see midi/port_locks.h): nothing was sent to it
};

// One complete System Exclusive block (or a full buffer's worth of one), as an input buffer
// brought it back.
struct ReceivedBlock {
  uint32_t input = 0;
  std::vector<uint8_t> bytes;
};

struct OutputAnswers {
  uint32_t output = 0;
  std::vector<ReceivedBlock> blocks;  // input by input, each in arrival order
};

struct PortProbe {
  std::vector<uint32_t> openedInputs;
  std::vector<OutputAnswers> asked;  // every output the message went out on, in order
  std::vector<UnusablePort> unusable;
};

// Opens every input, then for each output (those in `outputs`, or all when it is empty): opens it,
// sends `message` as one long message, keeps what the inputs return until `listen` after the
// message was handed over (plus the 10 ms a piece is given to leave), and closes it again. Input
// that arrives between two outputs' windows is dropped rather than credited to the wrong output.
// A backend that opens one input at a time gets a round of outputs per input. An input that
// cannot be opened while no other is open, an output that cannot be opened or refuses the
// message, is listed in `unusable` and otherwise skipped. Every port opened is closed before it
// returns.
// `inputs`, when not empty, limits the inputs opened the same way.
PortProbe ProbeMidiPorts(MidiPlatform& platform, Clock& clock, std::span<const uint8_t> message,
                         Clock::Duration listen, std::span<const uint32_t> outputs = {},
                         std::span<const uint32_t> inputs = {});

}  // namespace varnet
