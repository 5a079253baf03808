// The update engine below the session: the stream encoder, the chunked sender with its echo
// check, and the identification handshake. Platform-free; time goes through the Clock.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <vector>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/firmware.h"
#include "midi/layer_port.h"
#include "midi/update_port.h"

namespace varnet {

enum SessionStateValue : int32_t { Idle = 0, Running = 1, VerifyFailed = 3 };

// The device ID every session's messages carry in byte 4, and the one a reply must show there.
constexpr uint8_t kSessionDeviceId = 0x32;

// How long the sender waits for the MIDI service to report a piece sent before it gives the
// piece up (see sender.cpp).
constexpr Clock::Duration kCompletionBound = std::chrono::milliseconds(2000);
// What the link seems to have done at a difference (see engine/echo_cause.h).
enum class DifferenceCause {
  Unknown,      // the bytes fit none of the others
  Lost,         // the echo goes on with bytes sent later: the link dropped some
  Repeated,     // the echo goes back to bytes sent earlier: the link replayed them
  Changed,      // one byte a few bits off, the echo in step again after it
  Split,        // an F7 F0 where the stream went on: the driver cut it into messages
  Stopped,      // the echo ended before the stream
  OtherInput,   // a message that is not echo
  Undelivered,  // a piece never went out whole
};

// The slower transfer for interfaces that lose bytes at the full rate: the same bytes and pauses,
// in pieces of this many bytes, still 10 ms apart (half the rate).
constexpr uint32_t kSlowPieceSize = 16;

// Where the device's echo first went wrong. Offsets count stream bytes from the header's F0
// (SentLog indexes); pieces count the long messages of the update from 1 (the header's).
struct EchoDifference {
  enum class Kind {
    None,
    Differs,      // the device returned `echoed` where `sent` went out
    Beyond,       // the device returned `echoed` past the last byte sent
    OtherInput,   // a message that is not echo (status `echoed`) arrived during the stream
    EchoStopped,  // the echo ended before the last byte sent; `echoed` is -1
    Undelivered,  // the piece starting at `offset` was refused or never reported sent; `sent` is
                  // its first byte, `echoed` -1
  };
  Kind kind = Kind::None;
  uint32_t offset = 0;
  int sent = -1;    // the byte sent at `offset`; -1 where nothing was sent there
  int echoed = -1;  // what came back there; -1 for nothing
  uint32_t piece = 0;
  DifferenceCause cause = DifferenceCause::Unknown;
  uint32_t causeAmount = 0;  // bytes lost, how many bytes back the echo went, or bits changed
};

// What the engine does, step by step, for a record of the session (varnet-flash --log, the
// window's VARNET_LOG). Reported on the thread that does the work (user-interface or worker),
// never from a MIDI callback, one event at a time.
struct EngineEvent {
  enum class Kind {
    IdentifyRequest,  // bytes: the request
    IdentifyReply,    // bytes: the frame taken as the reply (empty: none)
    Piece,            // a long message went out: offset, length, piece, at = its start
    Pause,            // the encoder pauses `length` ms after the piece before
    EchoProgress,     // offset = echoVerifiedCount after a check that advanced it
    Difference,       // difference: the first one of the update
    NoEcho,           // the finish heard nothing at all back from the device
    Stopped,          // a stop cut the send at `offset` (bytes not sent were not logged)
    Outcome,          // the session ended: text, offset = echo verified, length = bytes logged
  };
  Kind kind;
  Clock::TimePoint at{};
  uint32_t offset = 0;
  uint32_t length = 0;
  uint32_t piece = 0;
  const uint8_t* bytes = nullptr;
  std::size_t byteCount = 0;
  EchoDifference difference{};
  const char* text = nullptr;
};
using EngineObserver = std::function<void(const EngineEvent&)>;

// Everything one update works on. Owned by the program's entry (or a test), passed by reference.
struct Engine {
  // On the MIDI layer's port pair, as the programs run it.
  Engine(FirmwareImage& image, MidiLayer& midi, Clock& clock, Prompts& prompts)
      : image(image),
        midi(&midi),
        clock(clock),
        prompts(prompts),
        ownPort_(MakeLayerPort(midi, clock)),
        port(*ownPort_) {}
  // On any port (a recording, a test's fake); `midi` stays null.
  Engine(FirmwareImage& image, UpdatePort& port, Clock& clock, Prompts& prompts)
      : image(image), clock(clock), prompts(prompts), port(port) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  FirmwareImage& image;
  // The layer under `port`, for the front ends (port names, the port dialog); the engine itself
  // goes through `port` only.
  MidiLayer* const midi = nullptr;
  Clock& clock;
  Prompts& prompts;

 private:
  std::unique_ptr<UpdatePort> ownPort_;

 public:
  UpdatePort& port;

  std::atomic<int32_t> SessionState{Idle};
  std::atomic<uint32_t> aborted{0};
  uint8_t DeviceId = 0x42;

  // Pacing of outgoing pieces on absolute deadlines (see sender.cpp).
  Clock::TimePoint nextPieceAt{};
  // Bytes per piece, 1 to kPieceCapacity: fewer for the slower transfer (kSlowPieceSize). Set
  // before a session starts, not while one runs.
  uint32_t pieceSize = static_cast<uint32_t>(kPieceCapacity);

  // The sender's hold on the MIDI layer's message area (see sender.cpp). outputPending: a piece
  // was accepted by the MIDI service and its completion has not been seen yet. outputFailed: a
  // piece of this exchange could not be delivered (refused, not completed in time, or more than
  // the log holds); nothing more goes out until IdentifyDevice starts the next exchange. Written
  // and read only by the thread that sends, but that thread changes between handshake and stream.
  std::atomic<uint32_t> outputPending{0};
  std::atomic<uint32_t> outputFailed{0};
  // The sender's wait for a completion. The handshake and the stream header, which run on the
  // user-interface thread, shorten it to their own waits, so that a port that never reports a
  // message sent holds the window no longer than a device that never answers.
  Clock::Duration completionBound = kCompletionBound;
  // The output was reset after a delivery failure so that the end byte could follow; its
  // completion is then waited for only briefly. Cleared with outputFailed at each identification.
  std::atomic<uint32_t> outputReset{0};

  // Set by a stop from outside (cancel, close, termination) while the stream runs: the send under
  // way ends at the next piece boundary, the encoder sends its tail byte and no more pauses.
  // Cleared when the next stream header goes out.
  std::atomic<uint32_t> stopRequested{0};

  // The update's verification, written on the thread that checks (the worker while it streams,
  // the user-interface thread at the finish). firstDifference: the first fault found since the
  // header; echoMissing: the finish heard nothing at all from the device, so the update passed
  // unverified.
  EchoDifference firstDifference;
  bool echoMissing = false;
  // From the stream header on, until the next identification: a piece that cannot be delivered
  // is then where the stream broke and is kept as firstDifference. The identify request's own
  // failure is a refused start, reported as no reply.
  bool streamBegun = false;
  // SentLog index of each piece's first byte since the header, to name the piece of a difference.
  std::vector<uint32_t> pieceStarts;
  uint32_t sentThrough = 0;  // SentLog index after the last piece that went out

  // Optional; see EngineEvent. Set before a session starts, not while one runs.
  EngineObserver observer;
};

// Reports `event` to the observer, if there is one.
void Report(Engine& engine, EngineEvent event);

// Stream encoder.
// The pause a payload byte's code asks for, in milliseconds (0 for none).
uint32_t PauseForCode(uint8_t payloadByte);
uint32_t PauseAt(const Engine& engine, uint32_t payloadPosition);
void StreamPayload(Engine& engine);

// Sender and echo check. Returns how many of the `count` bytes went out (or were given up on after
// a delivery failure); fewer only when a stop cut the send, and then only those were logged.
uint32_t SendBytes(Engine& engine, uint32_t count);
void CheckEcho(Engine& engine);
// Waits `gap` measured on the pacing schedule (from the deadline the last piece set, not from
// now), so that pauses and waits between sends add no drift.
void WaitOnSchedule(Engine& engine, Clock::Duration gap);
// After the end byte of a stream that ran to its end: the last echoed block only comes back when
// the device's echo of the end byte closes it, after the stream has left Running (for a short
// firmware that is the whole echo). Waits up to `bound` for the echo to reach the last byte sent,
// the end byte included, and compares it; a device that has been echoing all along gets three
// bounds more. A difference, or an echo that stops short of the end, fails the update
// (VerifyFailed, aborted). A device that returned nothing at all passes unverified: echoMissing
// is set for the front end to warn about. Does nothing after a cancel or a failure.
void CheckFinalEcho(Engine& engine, Clock::Duration bound);

// The same wait in steps, for a caller that must not be held for its whole length (the window's
// timer): BeginFinalEcho at the end byte, then StepFinalEcho until it returns true, each step
// waiting at most `slice`.
struct FinalEchoWait {
  bool active = false;
  Clock::TimePoint firstBound{};  // an echo not under way by then is decided on
  Clock::TimePoint lastBound{};   // the end of the longer wait for an echo under way
};
void BeginFinalEcho(Engine& engine, FinalEchoWait& wait, Clock::Duration bound);
bool StepFinalEcho(Engine& engine, FinalEchoWait& wait, Clock::Duration slice);

// Before the end byte: after a delivery failure, resets the output so that the service hands
// back a message that never completed, and lets the next send through. false when the port is
// gone (nothing more can be sent on it).
bool ReclaimOutputForEnd(Engine& engine);

// Identification handshake and the stream's framing.
int IdentifyDevice(Engine& engine);  // 1 passed, 0 refused (the reason has been shown)
// The identify request as it goes out with `deviceId` in byte 4 (kSessionDeviceId in every
// session).
std::array<uint8_t, 8> IdentifyRequestBytes(uint8_t deviceId);
// The converter kind a block reports when it passes the reply's checks (device ID byte and
// reply code; bytes past `length` read as 0), else 0.
uint8_t IdentifyReplyKind(const uint8_t* block, std::size_t length);
void SendStartUpdateHeader(Engine& engine);
void SendEndOfExclusive(Engine& engine);

}  // namespace varnet
