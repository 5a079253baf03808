#include "engine/link_check.h"

#include <algorithm>
#include <array>
#include <chrono>

#include "engine/engine.h"

namespace varnet {

namespace {

using std::chrono::milliseconds;

constexpr Clock::Duration kPieceSpacing = milliseconds(10);
constexpr Clock::Duration kReplyWait = milliseconds(500);
// A reply this much later than the handshake's wait is taken for lost: a device that slow would
// have its answer land in the next request's window.
constexpr Clock::Duration kLateWait = milliseconds(1500);

enum class Heard { Nothing, Reply, Malformed };

// What the blocks since the last look hold: the request coming back (a MIDI-through port) is
// passed over, a reply ends the wait, anything else is malformed.
Heard Look(UpdatePort& port, const std::array<uint8_t, 8>& request, uint32_t& malformed) {
  const std::array<EchoBlock, 2> blocks = port.takeInput();
  Heard heard = Heard::Nothing;
  for (const EchoBlock& block : blocks) {
    if (block.length <= 0) continue;
    const auto length =
        std::min<std::size_t>(static_cast<std::size_t>(block.length), kEchoBlockCapacity);
    if (length == request.size() && std::equal(request.begin(), request.end(), block.bytes)) {
      continue;
    }
    if (IdentifyReplyKind(block.bytes, length) != 0 && block.bytes[length - 1] == 0xF7) {
      heard = Heard::Reply;
    } else {
      ++malformed;
      if (heard == Heard::Nothing) heard = Heard::Malformed;
    }
  }
  port.clearInput();
  uint32_t first = 0;
  if (const uint32_t other = port.otherInput(first); other != 0) {
    malformed += other;
    port.forgetOtherInput();
    if (heard == Heard::Nothing) heard = Heard::Malformed;
  }
  return heard;
}

}  // namespace

bool LinkCheckResult::fit() const {
  return sent > 0 && received == sent && late == 0 && lost == 0 && malformed == 0 && !undelivered;
}

Clock::Duration LinkCheckResult::minimum() const {
  return roundTrips.empty() ? Clock::Duration::zero()
                            : *std::min_element(roundTrips.begin(), roundTrips.end());
}

Clock::Duration LinkCheckResult::maximum() const {
  return roundTrips.empty() ? Clock::Duration::zero()
                            : *std::max_element(roundTrips.begin(), roundTrips.end());
}

Clock::Duration LinkCheckResult::median() const {
  if (roundTrips.empty()) return Clock::Duration::zero();
  std::vector<Clock::Duration> sorted = roundTrips;
  std::sort(sorted.begin(), sorted.end());
  const std::size_t middle = sorted.size() / 2;
  return sorted.size() % 2 == 1 ? sorted[middle] : (sorted[middle - 1] + sorted[middle]) / 2;
}

bool CheckLink(UpdatePort& port, Clock& clock, uint32_t count, LinkCheckResult& result) {
  result = {};
  if (!port.open()) return false;
  port.startInput();
  port.forgetOtherInput();
  const std::array<uint8_t, 8> request = IdentifyRequestBytes(kSessionDeviceId);
  Clock::TimePoint nextAt = clock.now();
  bool lastLost = false;
  for (uint32_t i = 0; i < count; ++i) {
    clock.sleepUntil(nextAt);
    // Whatever arrived since the last wait ended is no answer to this request: the last one's
    // reply, very late, or a reply no request asked for.
    if (Look(port, request, result.malformed) == Heard::Reply) {
      if (lastLost) {
        --result.lost;
        ++result.late;
      } else {
        ++result.malformed;
      }
    }
    const Clock::TimePoint sentAt = clock.now();
    ++result.sent;
    if (!port.send(request.data(), static_cast<uint32_t>(request.size())) ||
        !port.waitSent(kReplyWait)) {
      // The port keeps a request it never finished; nothing more can go out on it.
      result.undelivered = true;
      break;
    }
    nextAt = sentAt + kPieceSpacing;
    Heard heard = Heard::Nothing;
    clock.waitFor(
        [&] {
          // An answer ends the wait, a garbled one too; a waiter may look once more after it.
          if (heard == Heard::Nothing) heard = Look(port, request, result.malformed);
          return heard != Heard::Nothing;
        },
        kLateWait);
    const Clock::Duration trip = clock.now() - sentAt;
    if (heard == Heard::Reply) {
      result.roundTrips.push_back(trip);
      if (trip <= kReplyWait) {
        ++result.received;
      } else {
        ++result.late;
      }
    } else if (heard == Heard::Nothing) {
      ++result.lost;
    }
    lastLost = heard == Heard::Nothing;
    nextAt = std::max(nextAt, clock.now());
  }
  port.close();
  return true;
}

}  // namespace varnet
