#include "engine/echo_cause.h"

#include <algorithm>
#include <bit>

namespace varnet {

const char* const kSplitStreamText =
    "The MIDI driver splits the stream into separate System Exclusive messages; this connection "
    "cannot carry a firmware update.";

namespace {

// Bytes that must agree before a class is believed; fewer only where the log ends sooner. The
// stream's bytes come from a small alphabet, so a shorter run would match by chance.
constexpr std::size_t kConfirm = 6;
constexpr uint32_t kMostLost = 32;
// How far back a replay is looked for: a period of a busy server is a few hundred bytes at most.
constexpr uint32_t kReplaySearch = 4096;
constexpr int kFewBits = 3;

// echo[from..] continues the log at `at` for kConfirm bytes, or up to the log's end when that
// comes first (at least one byte).
bool Continues(std::span<const uint8_t> log, std::size_t at, std::span<const uint8_t> echo,
               std::size_t from) {
  if (at >= log.size() || from > echo.size()) return false;
  const std::size_t want = std::min(kConfirm, log.size() - at);
  if (echo.size() - from < want) return false;
  return std::equal(echo.begin() + static_cast<std::ptrdiff_t>(from),
                    echo.begin() + static_cast<std::ptrdiff_t>(from + want),
                    log.begin() + static_cast<std::ptrdiff_t>(at));
}

}  // namespace

CauseFinding ClassifyEcho(std::span<const uint8_t> log, uint32_t offset,
                          std::span<const uint8_t> echo) {
  if (echo.empty()) return {};
  const bool inLog = offset < log.size();
  // A driver that ends the message where the stream goes on, and opens another.
  if (inLog && echo[0] == 0xF7 && log[offset] != 0xF7 && echo.size() >= 2 && echo[1] == 0xF0) {
    return {DifferenceCause::Split, 0};
  }
  if (inLog) {
    const int bits = std::popcount(static_cast<unsigned>(echo[0] ^ log[offset]));
    // The next byte in step again: this one was damaged on the way. At the log's last byte there
    // is nothing to be in step with, and a lone wrong byte is all that can be said.
    const bool inStep =
        offset + 1 == log.size() ? echo.size() == 1 : Continues(log, offset + 1, echo, 1);
    if (bits <= kFewBits && inStep) return {DifferenceCause::Changed, static_cast<uint32_t>(bits)};
    for (uint32_t k = 1; k <= kMostLost && offset + k < log.size(); ++k) {
      if (Continues(log, offset + k, echo, 0)) return {DifferenceCause::Lost, k};
    }
  }
  // The echo goes back to bytes sent before: the nearest earlier start that fits.
  const uint32_t end = std::min<uint32_t>(offset, static_cast<uint32_t>(log.size()));
  const uint32_t earliest = end > kReplaySearch ? end - kReplaySearch : 0;
  for (uint32_t at = end; at-- > earliest;) {
    if (Continues(log, at, echo, 0)) return {DifferenceCause::Repeated, offset - at};
  }
  return {};
}

const char* CauseName(DifferenceCause cause) {
  switch (cause) {
    case DifferenceCause::Lost:
      return "lost";
    case DifferenceCause::Repeated:
      return "repeated";
    case DifferenceCause::Changed:
      return "changed";
    case DifferenceCause::Split:
      return "split";
    case DifferenceCause::Stopped:
      return "stopped";
    case DifferenceCause::OtherInput:
      return "other_input";
    case DifferenceCause::Undelivered:
      return "undelivered";
    case DifferenceCause::Unknown:
      break;
  }
  return "unknown";
}

const char* MessageName(uint8_t status) {
  if (status < 0x80) return "data byte";
  switch (status & 0xF0) {
    case 0x80:
    case 0x90:
      return "note";
    case 0xA0:
      return "key pressure";
    case 0xB0:
      return "controller";
    case 0xC0:
      return "program change";
    case 0xD0:
      return "channel pressure";
    case 0xE0:
      return "pitch bend";
    default:
      break;
  }
  switch (status) {
    case 0xF1:
      return "time code";
    case 0xF2:
      return "song position";
    case 0xF3:
      return "song select";
    case 0xF6:
      return "tune request";
    case 0xF8:
      return "clock";
    case 0xFA:
    case 0xFB:
    case 0xFC:
      return "start/continue/stop";
    case 0xFE:
      return "active sensing";
    case 0xFF:
      return "reset";
    default:
      return "undefined status";
  }
}

std::string DescribeCause(const EchoDifference& d) {
  const std::string n = std::to_string(d.causeAmount);
  switch (d.cause) {
    case DifferenceCause::Lost:
      return "Cause: lost bytes: the echo goes on with the bytes sent " + n +
             " later, so the link dropped " + n + (d.causeAmount == 1 ? " byte." : " bytes.");
    case DifferenceCause::Repeated:
      return "Cause: repeated bytes: the echo goes back to the bytes sent " + n +
             " earlier, so the link delivered them twice.";
    case DifferenceCause::Changed:
      return "Cause: changed bits: " + n + (d.causeAmount == 1 ? " bit" : " bits") +
             " of that byte came back different and the echo is in step again after it.";
    case DifferenceCause::Split:
      return std::string("Cause: split: ") + kSplitStreamText;
    case DifferenceCause::Stopped:
      return "Cause: stopped: the device's echo ended before the stream did.";
    case DifferenceCause::OtherInput:
      return std::string("Cause: other input: a ") +
             MessageName(static_cast<uint8_t>(d.echoed < 0 ? 0 : d.echoed)) +
             " message arrived while the stream was being echoed.";
    case DifferenceCause::Undelivered:
      return "Cause: undelivered: the MIDI service did not put the stream out whole.";
    case DifferenceCause::Unknown:
      break;
  }
  return "Cause: unknown: the echo fits no known kind of link fault.";
}

const char* CauseAdvice(DifferenceCause cause) {
  switch (cause) {
    case DifferenceCause::Lost:
      return "Try another MIDI interface or cable, or the slower transfer (update --slow).";
    case DifferenceCause::Repeated:
      return "Close other programs that use MIDI or audio so that the MIDI server keeps up, or "
             "use the slower transfer (update --slow).";
    case DifferenceCause::Changed:
      return "Replace the MIDI cable or try another interface, and keep the cable away from mains "
             "leads.";
    case DifferenceCause::Split:
      return "Connect the converter through another MIDI interface or driver.";
    case DifferenceCause::Stopped:
      return "Check that the converter is on and that its MIDI output cable is plugged in.";
    case DifferenceCause::OtherInput:
      return "Disconnect other MIDI equipment from the interface and close programs that send "
             "MIDI to it.";
    case DifferenceCause::Undelivered:
      return "Check the interface's USB connection and close other programs that use the port.";
    case DifferenceCause::Unknown:
      break;
  }
  return "Run varnet-flash check-link to test the connection, then try another interface or "
         "cable.";
}

}  // namespace varnet
