// The chunked sender and the echo check. Every byte for the device leaves through SendBytes: it
// is logged in SentLog, cut into long messages of at most 32 bytes (Engine::pieceSize: fewer for
// the slower transfer) and paced 10 ms apart; while a stream runs, what the device has echoed so
// far is compared with the log.
//
// Pacing. Pieces go out on a schedule of absolute deadlines kept in Engine::nextPieceAt, the
// earliest moment the next piece may leave. A piece is put out no earlier than that deadline, and
// the next deadline is 10 ms after the later of the deadline and the moment the send call returned.
// A port stamps the piece somewhere inside that call, and a thread held up inside it (preempted,
// waiting for a lock) would move the stamp but not the call's start: counted from the start, the
// next piece could reach the device less than 10 ms after this one. On time, the schedule moves on
// by 10 ms plus the call's few microseconds: sleeping "10 ms from now" instead would add every
// wake-up's lateness to the spacing and stretch a long stream. Late, the schedule moves back with
// the piece: the device may rely on never getting two pieces less than 10 ms apart, so the sender
// never catches up by sending early. The encoder's pauses and the handshake's wait
// after the stream header go through WaitOnSchedule: they start when the last piece has been
// delivered (never earlier, or a link slower than the schedule would shorten the pause the device
// sees) and move the schedule on by their length.
//
// Progress. bytesSent grows piece by piece, so that the progress display moves during a long
// send; when a send ends, it has grown by exactly the bytes it logged, delivered or not.
//
// The message area. From a piece's send until the port reports it sent, the port's message area
// belongs to the MIDI service. After a piece's 10 ms the sender waits for that report (at most
// 2 s; the port wakes it the moment it comes) before it checks the echo or sends the next piece;
// so it never outruns a link slower than 3200 bytes/s and never rewrites a message still being
// sent.
//
// Delivery failures. A piece the service refuses is lost, and so is every piece after one that
// did not complete within 2 s (the cable was pulled, the driver hangs): the service still owns
// the area, so nothing more may be put into it. Either way the device cannot have received the
// stream whole, so the exchange is failed (SessionState VerifyFailed, aborted 1) whatever state it
// is in, the rest of the send is dropped, and Engine::outputFailed makes every later SendBytes of
// the exchange return at once without waiting again. The end byte is the exception: it must close
// the System Exclusive message the header opened whenever the port still exists, so
// SendEndOfExclusive first resets the output (which hands back a message that never completed and
// discards only what was queued before the reset), then sends it. A dead port makes the
// identification fail as no reply after its usual wait, and an end byte that cannot go out turns
// a finished stream into a failed one instead of reporting it done. IdentifyDevice starts each
// exchange afresh; an unfinished message from before still gets its one bounded wait. A refused
// piece is never waited for: no completion will come for it.
//
// Stops. A stop from outside (Engine::stopRequested) ends a send at the next piece boundary: the
// bytes not sent are taken out of the log again, and SendBytes returns how many went out.
//
// The echo. Anything the device sends during the stream other than its echo is a difference:
// System Exclusive input is compared with the log like echo, and the layer counts other input
// (channel and system common messages; real-time bytes are ignored). The first difference is kept
// in Engine::firstDifference with its stream offset and piece for the technician; so is the first
// piece of the stream that could not be delivered (Undelivered), which is where the stream broke.
// What kind of link fault a difference looks like is told from the echo at and a few bytes past
// it, read on for a moment when the frame at hand ends too soon (engine/echo_cause.h).
#include <algorithm>
#include <chrono>
#include <span>
#include <vector>

#include "engine/echo_cause.h"
#include "engine/engine.h"

namespace varnet {

namespace {

using std::chrono::milliseconds;

constexpr uint32_t kPieceSize = static_cast<uint32_t>(kPieceCapacity);
constexpr Clock::Duration kPieceSpacing = milliseconds(10);
// At a difference the echo is read on, this far, to tell what kind of fault it looks like.
constexpr std::size_t kEchoPastDifference = 8;
// How long the echo after a difference is waited for: it is usually there already, or held by a
// MIDI server for a period or two.
constexpr Clock::Duration kEchoPastBound = milliseconds(150);
// The end byte after a reset that took back a message that never completed: the link is likely
// dead, so it is not waited for as long (a window would freeze meanwhile). One byte takes 0.3 ms
// on a MIDI cable and at most a period or two on JACK.
constexpr Clock::Duration kEndAfterResetBound = milliseconds(250);

void FailExchange(Engine& engine) {
  engine.outputFailed.store(1);
  engine.SessionState.store(VerifyFailed);
  engine.aborted.store(1);
}

// Moves the schedule on by `gap` from the current deadline, or from `at` when that is later.
void AdvanceSchedule(Engine& engine, Clock::TimePoint at, Clock::Duration gap) {
  engine.nextPieceAt = std::max(engine.nextPieceAt, at) + gap;
}

uint32_t PieceNumberAt(const Engine& engine, uint32_t offset) {
  const auto& starts = engine.pieceStarts;
  return static_cast<uint32_t>(std::upper_bound(starts.begin(), starts.end(), offset) -
                               starts.begin());
}

// Keeps `d` as the first fault of the update, unless there already is one, and reports it.
void KeepDifference(Engine& engine, const EchoDifference& d) {
  if (engine.firstDifference.kind != EchoDifference::Kind::None) return;
  engine.firstDifference = d;
  EngineEvent event{EngineEvent::Kind::Difference};
  event.offset = d.offset;
  event.piece = d.piece;
  event.difference = d;
  Report(engine, event);
}

DifferenceCause CauseOfKind(EchoDifference::Kind kind) {
  switch (kind) {
    case EchoDifference::Kind::OtherInput:
      return DifferenceCause::OtherInput;
    case EchoDifference::Kind::EchoStopped:
      return DifferenceCause::Stopped;
    case EchoDifference::Kind::Undelivered:
      return DifferenceCause::Undelivered;
    default:
      return DifferenceCause::Unknown;
  }
}

void RecordDifference(Engine& engine, EchoDifference::Kind kind, uint32_t offset, int echoed,
                      CauseFinding finding = {}) {
  const FirmwareImage& image = engine.image;
  EchoDifference d;
  d.kind = kind;
  d.offset = offset;
  // A byte logged but not yet put out (the rest of a send under way) was not sent yet.
  const uint32_t out = std::min<uint32_t>(engine.sentThrough, image.SentLog.size());
  d.sent = offset < out ? image.SentLog[offset] : -1;
  d.echoed = echoed;
  d.piece = PieceNumberAt(engine, std::min(offset, out == 0 ? 0 : out - 1));
  d.cause = finding.cause != DifferenceCause::Unknown ? finding.cause : CauseOfKind(kind);
  d.causeAmount = finding.amount;
  KeepDifference(engine, d);
}

// Piece `piece`, logged from `offset` on, did not reach the device: the stream broke there.
void RecordUndelivered(Engine& engine, uint32_t offset, uint32_t piece) {
  if (!engine.streamBegun) return;
  const FirmwareImage& image = engine.image;
  EchoDifference d;
  d.kind = EchoDifference::Kind::Undelivered;
  d.offset = offset;
  d.sent = offset < image.SentLog.size() ? image.SentLog[offset] : -1;
  d.piece = piece;
  d.cause = DifferenceCause::Undelivered;
  KeepDifference(engine, d);
}

// true once the service has handed the message area back (at once when nothing is in flight),
// waiting at most `bound` (zero: only looks).
bool CompletedWithin(Engine& engine, Clock::Duration bound) {
  if (engine.outputPending.load() == 0) return true;
  const bool done = engine.port.waitSent(bound);
  if (done) engine.outputPending.store(0);
  return done;
}

bool AwaitCompletion(Engine& engine) {
  return CompletedWithin(engine,
                         engine.outputReset != 0 ? kEndAfterResetBound : engine.completionBound);
}

// Puts the first `count` bytes of SendBuffer out in pieces; false when a piece was lost.
// `counted` receives how many bytes were added to bytesSent on the way, `offered` how many were
// put out or given up on (less than `count` only when a stop cut the send). `logStart` is the
// SentLog index of the first byte.
bool SendPieces(Engine& engine, uint32_t count, uint32_t logStart, uint32_t& counted,
                uint32_t& offered) {
  const uint8_t* source = engine.image.SendBuffer.data();
  // Never more than the port's area, never an empty piece.
  const uint32_t pieceSize = std::clamp<uint32_t>(engine.pieceSize, 1, kPieceSize);

  offered = count;
  for (uint32_t offset = 0; offset < count; offset += pieceSize) {
    if (offset > 0 && engine.stopRequested.load() != 0) {
      offered = offset;
      return true;
    }
    const uint32_t length = std::min(pieceSize, count - offset);
    // The number this piece gets once it has gone out.
    const auto piece = static_cast<uint32_t>(engine.pieceStarts.size() + 1);
    if (!AwaitCompletion(engine)) {
      RecordUndelivered(engine, logStart + offset, piece);
      return false;
    }
    engine.clock.sleepUntil(engine.nextPieceAt);

    const Clock::TimePoint sentAt = engine.clock.now();
    if (!engine.port.send(source + offset, length)) {
      RecordUndelivered(engine, logStart + offset, piece);
      return false;
    }
    const Clock::TimePoint returnedAt = engine.clock.now();
    engine.outputPending.store(1);
    engine.pieceStarts.push_back(logStart + offset);
    engine.sentThrough = logStart + offset + length;
    {
      EngineEvent event{EngineEvent::Kind::Piece};
      event.at = sentAt;
      event.offset = logStart + offset;
      event.length = length;
      event.piece = static_cast<uint32_t>(engine.pieceStarts.size());
      event.bytes = source + offset;
      event.byteCount = length;
      Report(engine, event);
    }

    AdvanceSchedule(engine, returnedAt, kPieceSpacing);
    // A port still sending shortly before the deadline (a wire-timed one finishes a full piece
    // 0.24 ms after the 10 ms) completes right around it, and the next piece should follow at
    // once, not after a late wake-up.
    engine.clock.sleepUntilPrecisely(
        engine.nextPieceAt, [&engine] { return CompletedWithin(engine, Clock::Duration::zero()); });
    if (!AwaitCompletion(engine)) {
      RecordUndelivered(engine, logStart + offset, piece);
      return false;
    }
    engine.image.bytesSent.fetch_add(length);
    counted += length;

    if (engine.SessionState.load() == Running) CheckEcho(engine);
  }
  return true;
}

// Where a frame first left the log: the kind, the log position and what came back there, and the
// echo from there on (what could be read of the frame).
struct Mismatch {
  EchoDifference::Kind kind = EchoDifference::Kind::None;
  uint32_t offset = 0;
  int echoed = -1;
  std::vector<uint8_t> echo;
};

void AppendBlock(std::vector<uint8_t>& to, const EchoBlock& block, std::size_t from = 0) {
  if (block.length <= 0) return;
  const std::size_t readable =
      std::min<std::size_t>(static_cast<std::size_t>(block.length), kEchoBlockCapacity);
  if (from < readable) to.insert(to.end(), block.bytes + from, block.bytes + readable);
}

// Compares one frame with the log from echoVerifiedCount on; false at a difference, which is
// described in `mismatch`. Echo beyond what has been logged (a device that returns more than it
// received) is a difference; nothing past the log is read.
bool EchoMatches(Engine& engine, const EchoBlock& block, Mismatch& mismatch) {
  FirmwareImage& image = engine.image;
  const int32_t frameLength = block.length;
  if (frameLength <= 0) return true;
  const uint8_t* frame = block.bytes;
  const auto count = static_cast<uint32_t>(
      std::min<std::size_t>(static_cast<std::size_t>(frameLength), kEchoBlockCapacity));
  const uint32_t logged =
      static_cast<uint32_t>(std::min<std::size_t>(image.sentLogCount, image.SentLog.size()));
  const uint32_t from = std::min(image.echoVerifiedCount, logged);
  const uint32_t comparable = std::min(count, logged - from);
  const auto* log = image.SentLog.data() + from;
  const auto* different = std::mismatch(frame, frame + comparable, log).first;
  const auto at = static_cast<uint32_t>(different - frame);
  if (at < comparable) {
    mismatch.kind = EchoDifference::Kind::Differs;
    mismatch.offset = from + at;
    mismatch.echoed = frame[at];
    AppendBlock(mismatch.echo, block, at);
    return false;
  }
  if (comparable < count || static_cast<std::size_t>(frameLength) > kEchoBlockCapacity ||
      image.echoVerifiedCount > logged) {
    // Past the block's readable bytes (an overflowed block) nothing is known of what came back.
    mismatch.kind = EchoDifference::Kind::Beyond;
    mismatch.offset = from + comparable;
    mismatch.echoed = comparable < count ? frame[comparable] : -1;
    if (comparable < count) AppendBlock(mismatch.echo, block, comparable);
    return false;
  }
  image.echoVerifiedCount += count;
  return true;
}

// Reads the echo on past a difference until it holds kEchoPastDifference bytes, or the log ends
// sooner, or kEchoPastBound has gone by. Only what is wanted and could still come is waited for:
// echo of bytes that were never sent will not arrive. The frames are taken (and so no longer
// show the difference) only when the echo at hand was too short.
void ReadEchoPast(Engine& engine, Mismatch& mismatch) {
  const FirmwareImage& image = engine.image;
  const std::size_t logged = std::min<std::size_t>(image.sentLogCount, image.SentLog.size());
  const std::size_t stillSent = mismatch.offset < logged ? logged - mismatch.offset : 0;
  const std::size_t wanted = std::min(kEchoPastDifference, stillSent);
  if (mismatch.echo.size() >= wanted) return;
  UpdatePort& port = engine.port;
  port.clearInput();
  auto gathered = [&port, &mismatch, wanted] {
    const std::array<EchoBlock, 2> blocks = port.takeInput();
    AppendBlock(mismatch.echo, blocks[0]);
    AppendBlock(mismatch.echo, blocks[1]);
    port.clearInput();
    return mismatch.echo.size() >= wanted;
  };
  if (engine.clock.waitFor(gathered, kEchoPastBound)) return;
  port.returnPartialInput();
  gathered();
}

void RecordMismatch(Engine& engine, Mismatch& mismatch) {
  ReadEchoPast(engine, mismatch);
  const FirmwareImage& image = engine.image;
  const std::size_t logged = std::min<std::size_t>(image.sentLogCount, image.SentLog.size());
  const CauseFinding finding = ClassifyEcho(std::span<const uint8_t>(image.SentLog.data(), logged),
                                            mismatch.offset, mismatch.echo);
  RecordDifference(engine, mismatch.kind, mismatch.offset, mismatch.echoed, finding);
}

void Fail(Engine& engine) {
  engine.SessionState.store(VerifyFailed);
  engine.aborted.store(1);
}

}  // namespace

void Report(Engine& engine, EngineEvent event) {
  if (!engine.observer) return;
  if (event.at == Clock::TimePoint{}) event.at = engine.clock.now();
  engine.observer(event);
}

void WaitOnSchedule(Engine& engine, Clock::Duration gap) {
  engine.nextPieceAt = std::max(engine.clock.now(), engine.nextPieceAt) + gap;
  engine.clock.sleepUntil(engine.nextPieceAt);
}

void BeginFinalEcho(Engine& engine, FinalEchoWait& wait, Clock::Duration bound) {
  wait.active = engine.SessionState.load() == Idle && engine.aborted.load() == 0;
  wait.firstBound = engine.clock.now() + bound;
  // A device that has been echoing all along is given longer for the last block, which comes
  // back only with the echo of the end byte: a busy MIDI server (JACK without real-time
  // scheduling on a loaded machine) can hold it past the first bound, and failing a good update
  // would only make the user send it again.
  wait.lastBound = wait.firstBound + 3 * bound;
}

bool StepFinalEcho(Engine& engine, FinalEchoWait& wait, Clock::Duration slice) {
  if (!wait.active) return true;
  FirmwareImage& image = engine.image;
  auto settled = [&engine, &image] {
    CheckEcho(engine);
    return engine.SessionState.load() == VerifyFailed ||
           image.echoVerifiedCount >= image.sentLogCount;
  };
  const Clock::TimePoint now = engine.clock.now();
  const Clock::TimePoint until =
      now >= wait.firstBound && image.echoVerifiedCount > 0 ? wait.lastBound : wait.firstBound;
  if (now < until) {
    const bool done = engine.clock.waitFor(settled, std::min<Clock::Duration>(slice, until - now));
    if (done) wait.active = false;
    return done;
  }
  wait.active = false;
  // An echo that stopped inside a block leaves it with the service, partly filled: have it
  // returned, so that what did come back is compared (and not taken for no echo at all).
  engine.port.returnPartialInput();
  if (settled()) return true;
  if (image.echoVerifiedCount == 0) {
    // Nothing at all came back: a device that does not echo, which passes unverified.
    engine.echoMissing = true;
    Report(engine, {EngineEvent::Kind::NoEcho});
    return true;
  }
  // The device echoed the stream and then stopped: the bytes after the echo's end may never
  // have reached it.
  RecordDifference(engine, EchoDifference::Kind::EchoStopped, image.echoVerifiedCount, -1);
  Fail(engine);
  return true;
}

void CheckFinalEcho(Engine& engine, Clock::Duration bound) {
  FinalEchoWait wait;
  BeginFinalEcho(engine, wait, bound);
  while (!StepFinalEcho(engine, wait, 4 * bound)) {
  }
}

uint32_t SendBytes(Engine& engine, uint32_t count) {
  if (count == 0) return 0;  // no piece is ever empty
  FirmwareImage& image = engine.image;

  // The log must hold every byte that goes out, or its echo could not be checked; a send that
  // does not fit (the counters were not reset between updates) fails rather than overflow.
  const bool fits = count <= image.SendBuffer.size() &&
                    image.sentLogCount <= image.SentLog.size() &&
                    count <= image.SentLog.size() - image.sentLogCount;
  if (engine.outputFailed.load() != 0 || !fits) {
    FailExchange(engine);
    image.bytesSent.fetch_add(count);
    return count;
  }
  // All bytes are logged before the first piece leaves, so echo can never outrun the log.
  const uint32_t logStart = image.sentLogCount;
  std::copy_n(image.SendBuffer.begin(), count, image.SentLog.begin() + logStart);
  image.sentLogCount += count;
  uint32_t counted = 0;
  uint32_t offered = count;
  if (!SendPieces(engine, count, logStart, counted, offered)) FailExchange(engine);
  if (offered < count) {
    // Cut by a stop: what never went out is not part of the stream the device got.
    image.sentLogCount = logStart + offered;
    EngineEvent event{EngineEvent::Kind::Stopped};
    event.offset = logStart + offered;
    Report(engine, event);
  }
  image.bytesSent.fetch_add(offered - counted);
  return offered;
}

void CheckEcho(Engine& engine) {
  UpdatePort& port = engine.port;
  const uint32_t verifiedBefore = engine.image.echoVerifiedCount;
  // In arrival order. At a difference the blocks are left as they are, for whoever looks at the
  // failure, unless the echo had to be read on past it (ReadEchoPast).
  const std::array<EchoBlock, 2> blocks = port.takeInput();
  Mismatch mismatch;
  if (!EchoMatches(engine, blocks[0], mismatch)) {
    AppendBlock(mismatch.echo, blocks[1]);  // arrived after, so the echo goes on there
  } else {
    EchoMatches(engine, blocks[1], mismatch);
  }
  if (mismatch.kind != EchoDifference::Kind::None) {
    RecordMismatch(engine, mismatch);
    Fail(engine);
    return;
  }
  port.clearInput();
  uint32_t first = 0;
  if (port.otherInput(first) != 0) {
    RecordDifference(engine, EchoDifference::Kind::OtherInput, engine.image.echoVerifiedCount,
                     static_cast<int>(first & 0xFF));
    Fail(engine);
    return;
  }
  if (engine.image.echoVerifiedCount != verifiedBefore) {
    EngineEvent event{EngineEvent::Kind::EchoProgress};
    event.offset = engine.image.echoVerifiedCount;
    Report(engine, event);
  }
}

bool ReclaimOutputForEnd(Engine& engine) {
  if (engine.outputFailed.load() == 0) return true;
  // The service may still hold a message that never completed (or nothing, after a refusal);
  // either way a reset hands the area back and clears what was queued before it.
  if (!engine.port.resetOutput()) return false;  // the port is gone
  engine.outputReset.store(1);
  if (engine.outputPending.load() != 0) {
    if (!engine.port.waitSent(kEndAfterResetBound)) return false;
    engine.outputPending.store(0);
  }
  engine.outputFailed.store(0);
  return true;
}

}  // namespace varnet
