// The chunked sender and the echo check. Every byte for the device leaves through SendBytes: it
// is logged in SentLog, cut into long messages of at most 32 bytes and paced 10 ms apart; while a
// stream runs, what the device has echoed so far is compared with the log.
//
// Pacing. Pieces go out on a schedule of absolute deadlines kept in Engine::nextPieceAt, the
// earliest moment the next piece may leave. A piece is put out no earlier than that deadline,
// and the next deadline is the previous deadline + 10 ms. Sleeping "10 ms from now" instead would
// add every wake-up's lateness to the spacing and stretch a long stream; on the schedule a piece
// that leaves a little late is followed by a slightly shorter gap and the average stays at one
// piece per 10 ms. Lateness of half a spacing or more (a long wait for a completion, a stalled
// thread) re-anchors the schedule at the moment the piece actually left, so the sender never
// bursts to catch up, and no gap is ever shorter than half a spacing. The encoder's pauses and the
// handshake's wait after the stream header go through WaitOnSchedule: they start when the last
// piece has been delivered (never earlier, or a link slower than the schedule would shorten the
// pause the device sees) and move the schedule on by their length.
//
// Progress. bytesSent grows piece by piece, so that the progress display moves during a long
// send; when a send ends, it has grown by exactly the send's length, delivered or not.
//
// The message area. From SendOutputMessage until the MIDI service reports completion
// (MidiLayer::outputDone), outputData and outputHeader belong to the service. After a piece's
// 10 ms the sender waits for that completion (at most 2 s) before it clears the area, checks the
// echo or prepares the next piece; so it never outruns a link slower than 3200 bytes/s and never
// rewrites a message still being sent.
//
// Delivery failures. A piece the service refuses is lost, and so is every piece after one that
// did not complete within 2 s (the cable was pulled, the driver hangs): the service still owns
// the area, so nothing more may be put into it. Either way the device cannot have received the
// stream whole, so the exchange is failed (SessionState VerifyFailed, aborted 1) whatever state it
// is in, the rest of the send is dropped, and Engine::outputFailed makes every later SendBytes of
// the exchange return at once without waiting again. This also covers the handshake and the end
// byte: a dead port makes the identification fail as no reply after its usual wait, and an end
// byte that cannot go out turns a finished stream into a failed one instead of reporting it done.
// IdentifyDevice starts each exchange afresh; an unfinished message from before still gets its
// one bounded wait. A refused piece is never waited for: no completion will come for it.
#include <algorithm>
#include <chrono>

#include "engine/engine.h"

namespace varnet {

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kPieceSize = static_cast<uint32_t>(kOutputAreaSize);
constexpr Clock::Duration kPieceSpacing = milliseconds(10);
constexpr Clock::Duration kReanchorLateness = milliseconds(5);

void FailExchange(Engine& engine) {
  engine.outputFailed.store(1);
  engine.SessionState.store(VerifyFailed);
  engine.aborted.store(1);
}

// Moves the schedule on by `gap` from the current deadline, or from `at` when `at` is late.
void AdvanceSchedule(Engine& engine, Clock::TimePoint at, Clock::Duration gap) {
  const Clock::TimePoint anchor =
      at < engine.nextPieceAt + kReanchorLateness ? engine.nextPieceAt : at;
  engine.nextPieceAt = anchor + gap;
}

// true once the service has handed the message area back (at once when nothing is in flight).
bool AwaitCompletion(Engine& engine) {
  if (engine.outputPending.load() == 0) return true;
  MidiLayer& midi = engine.midi;
  const bool done =
      engine.clock.waitFor([&midi] { return midi.outputDone.load() != 0; }, engine.completionBound);
  if (done) engine.outputPending.store(0);
  return done;
}

// Puts the first `count` bytes of SendBuffer out in pieces; false when a piece was lost.
// `counted` receives how many bytes were added to bytesSent on the way.
bool SendPieces(Engine& engine, uint32_t count, uint32_t& counted) {
  MidiLayer& midi = engine.midi;
  MidiPorts& ports = midi.ports;
  const uint8_t* source = engine.image.SendBuffer.data();

  for (uint32_t offset = 0; offset < count; offset += kPieceSize) {
    const uint32_t length = std::min(kPieceSize, count - offset);
    if (!AwaitCompletion(engine)) return false;
    engine.clock.sleepUntil(engine.nextPieceAt);

    std::copy_n(source + offset, length, ports.outputData.begin());
    ports.outputLength = length;
    PrepareOutputMessage(midi);  // a failure shows its own box; the piece goes all the same
    const Clock::TimePoint sentAt = engine.clock.now();
    if (SendOutputMessage(midi) != 0) {
      ports.outputData.fill(0);  // refused: the area is ours again
      return false;
    }
    engine.outputPending.store(1);

    AdvanceSchedule(engine, sentAt, kPieceSpacing);
    engine.clock.sleepUntil(engine.nextPieceAt);
    if (!AwaitCompletion(engine)) return false;
    ports.outputData.fill(0);
    engine.image.bytesSent.fetch_add(length);
    counted += length;

    if (engine.SessionState.load() == Running) CheckEcho(engine);
  }
  return true;
}

// Compares one frame with the log from echoVerifiedCount on. Echo beyond what has been logged
// (a device that returns more than it received) is a difference; nothing past the log is read.
bool EchoMatches(FirmwareImage& image, const std::array<uint8_t, kInputBufferSize>& frame,
                 int32_t frameLength) {
  if (frameLength <= 0) return true;
  if (static_cast<std::size_t>(frameLength) > frame.size()) return false;
  const auto count = static_cast<uint32_t>(frameLength);
  const uint32_t logged =
      static_cast<uint32_t>(std::min<std::size_t>(image.sentLogCount, image.SentLog.size()));
  if (image.echoVerifiedCount > logged || count > logged - image.echoVerifiedCount) return false;
  if (!std::equal(frame.begin(), frame.begin() + count,
                  image.SentLog.begin() + image.echoVerifiedCount)) {
    return false;
  }
  image.echoVerifiedCount += count;
  return true;
}

}  // namespace

void WaitOnSchedule(Engine& engine, Clock::Duration gap) {
  engine.nextPieceAt = std::max(engine.clock.now(), engine.nextPieceAt) + gap;
  engine.clock.sleepUntil(engine.nextPieceAt);
}

void CheckFinalEcho(Engine& engine, Clock::Duration bound) {
  FirmwareImage& image = engine.image;
  // A device that echoes nothing is never failed; one that echoed the stream must echo its end.
  if (image.echoVerifiedCount == 0 || engine.SessionState.load() != Idle ||
      engine.aborted.load() != 0) {
    return;
  }
  engine.clock.waitFor(
      [&engine, &image] {
        CheckEcho(engine);
        return engine.SessionState.load() == VerifyFailed ||
               image.echoVerifiedCount >= image.sentLogCount;
      },
      bound);
}

void SendBytes(Engine& engine, uint32_t count) {
  if (count == 0) return;  // no piece is ever empty
  FirmwareImage& image = engine.image;

  // The log must hold every byte that goes out, or its echo could not be checked; a send that
  // does not fit (the counters were not reset between updates) fails rather than overflow.
  const bool fits = count <= image.SendBuffer.size() &&
                    image.sentLogCount <= image.SentLog.size() &&
                    count <= image.SentLog.size() - image.sentLogCount;
  if (engine.outputFailed.load() != 0 || !fits) {
    FailExchange(engine);
  } else {
    // All bytes are logged before the first piece leaves, so echo can never outrun the log.
    std::copy_n(image.SendBuffer.begin(), count, image.SentLog.begin() + image.sentLogCount);
    image.sentLogCount += count;
    uint32_t counted = 0;
    if (!SendPieces(engine, count, counted)) FailExchange(engine);
    image.bytesSent.fetch_add(count - counted);
    return;
  }
  image.bytesSent.fetch_add(count);
}

void CheckEcho(Engine& engine) {
  MidiLayer& midi = engine.midi;
  MidiPorts& ports = midi.ports;
  FetchCapturedInput(midi);

  // frameA first: when both frames received a block in one hand-over, A's arrived first. At a
  // difference both frames are left as they are, for whoever looks at the failure.
  if (!EchoMatches(engine.image, ports.frameA, ports.frameALength) ||
      !EchoMatches(engine.image, ports.frameB, ports.frameBLength)) {
    engine.SessionState.store(VerifyFailed);
    engine.aborted.store(1);
    return;
  }
  ports.frameA.fill(0);
  ports.frameB.fill(0);
  ports.frameALength = 0;
  ports.frameBLength = 0;
}

}  // namespace varnet
