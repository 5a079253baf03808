#include "engine/detect.h"

#include <algorithm>
#include <chrono>

#include "engine/engine.h"

namespace varnet {

namespace {

// The handshake's wait for the answer to the request every session sends (kSessionDeviceId).
constexpr Clock::Duration kReplyWait = std::chrono::milliseconds(500);

// Each input that gave a valid reply while an output's request was the last one sent, by output,
// then input.
std::vector<FoundConverter> Replies(const PortProbe& probe) {
  std::vector<FoundConverter> replies;
  for (const OutputAnswers& answers : probe.asked) {
    const std::size_t first = replies.size();
    for (const ReceivedBlock& block : answers.blocks) {
      // The request coming back (a MIDI-through port, a device echoing what it hears) fails the
      // reply code check like any other block that is not an answer.
      const uint8_t kind = IdentifyReplyKind(block.bytes.data(), block.bytes.size());
      if (kind == 0) continue;
      const bool known =
          std::any_of(replies.begin() + static_cast<std::ptrdiff_t>(first), replies.end(),
                      [&](const FoundConverter& f) { return f.input == block.input; });
      if (!known) replies.push_back({block.input, answers.output, kind});
    }
    std::sort(replies.begin() + static_cast<std::ptrdiff_t>(first), replies.end(),
              [](const FoundConverter& a, const FoundConverter& b) { return a.input < b.input; });
  }
  return replies;
}

}  // namespace

DetectReport DetectConverters(MidiPlatform& platform, Clock& clock) {
  const std::array<uint8_t, 8> request = IdentifyRequestBytes(kSessionDeviceId);
  PortProbe probe = ProbeMidiPorts(platform, clock, request, kReplyWait);

  DetectReport report;
  report.outputsAsked = static_cast<uint32_t>(probe.asked.size());
  report.unusable = std::move(probe.unusable);
  const std::vector<FoundConverter> candidates = Replies(probe);
  if (candidates.empty()) return report;

  // A device that answers after the wait has its reply land in the next output's window, where
  // it would pair the device with a port it is not on. Asking each candidate's output once more
  // keeps only pairs that answer in time twice; a late device fails the update's handshake too.
  // Only the inputs that answered listen then: the others have had their turn.
  std::vector<uint32_t> again;
  std::vector<uint32_t> answered;
  const auto addOnce = [](std::vector<uint32_t>& list, uint32_t index) {
    if (std::find(list.begin(), list.end(), index) == list.end()) list.push_back(index);
  };
  for (const FoundConverter& candidate : candidates) {
    addOnce(again, candidate.output);
    addOnce(answered, candidate.input);
  }
  const std::vector<FoundConverter> confirmed =
      Replies(ProbeMidiPorts(platform, clock, request, kReplyWait, again, answered));
  for (const FoundConverter& candidate : candidates) {
    const bool repeated =
        std::any_of(confirmed.begin(), confirmed.end(), [&](const FoundConverter& c) {
          return c.input == candidate.input && c.output == candidate.output &&
                 c.kind == candidate.kind;
        });
    if (repeated) report.found.push_back(candidate);
  }
  return report;
}

}  // namespace varnet
