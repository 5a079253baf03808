// What kind of link fault an echo difference looks like, from the bytes the device returned at
// and after it compared with the log of everything sent. The classes name what a technician can
// do something about: a link that drops bytes, one that replays earlier data, noise on a cable,
// a driver that cuts the stream into separate messages.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "engine/engine.h"

namespace varnet {

struct CauseFinding {
  DifferenceCause cause = DifferenceCause::Unknown;
  // Lost: bytes dropped; Repeated: how many bytes back the echo resumed; Changed: bits changed.
  uint32_t amount = 0;
};

// The echo returned `echo` from log position `offset` on, and echo[0] is not log[offset] (or
// `offset` is past the log). Only a Differs or Beyond difference is classified here; the other
// kinds have their cause by what they are.
CauseFinding ClassifyEcho(std::span<const uint8_t> log, uint32_t offset,
                          std::span<const uint8_t> echo);

// As --json and the session log name it: "lost", "repeated", "changed", "split", "stopped",
// "other_input", "undelivered", "unknown".
const char* CauseName(DifferenceCause cause);
// One line for the terminal: the class and what it means in this update.
std::string DescribeCause(const EchoDifference& difference);
// One sentence of advice for the class.
const char* CauseAdvice(DifferenceCause cause);
// The kind of MIDI message a status byte starts ("note", "controller", "clock"...).
const char* MessageName(uint8_t status);

// The sentence for a split stream, shown as it is.
extern const char* const kSplitStreamText;

}  // namespace varnet
