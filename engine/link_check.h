// A test of the link that risks nothing: the identify request, which every update sends first
// and which the converter answers without changing anything, sent a number of times, its replies
// counted and timed. A link that loses, delays or garbles short messages will not carry a long
// update stream.
#pragma once

#include <cstdint>
#include <vector>

#include "core/clock.h"
#include "midi/update_port.h"

namespace varnet {

struct LinkCheckResult {
  uint32_t sent = 0;
  uint32_t received = 0;     // valid replies within the handshake's 500 ms
  uint32_t late = 0;         // valid replies after it (an update would be refused)
  uint32_t lost = 0;         // no reply at all
  uint32_t malformed = 0;    // input that was neither a valid reply nor the request coming back
  bool undelivered = false;  // a request was refused or never reported sent; the check stopped
  std::vector<Clock::Duration> roundTrips;  // of every valid reply, late ones included
  // Whether an update can be expected to pass the handshake and keep its stream whole.
  bool fit() const;
  Clock::Duration minimum() const;
  Clock::Duration median() const;
  Clock::Duration maximum() const;
};

// Sends the identify request `count` times on `port` (opened here, closed afterwards), one
// after the other's reply or wait, never less than 10 ms apart as the sender paces pieces. false
// when the port could not be opened (it has shown its box).
bool CheckLink(UpdatePort& port, Clock& clock, uint32_t count, LinkCheckResult& result);

}  // namespace varnet
