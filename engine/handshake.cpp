// The identification handshake and the framing of the update stream: every System Exclusive
// message the updater sends or reads, byte by byte.
//
//   identify request  F0 00 20 0D id 7F 10 F7
//   stream header     F0 00 20 0D id 7F 08 15 47 11      (left open: the stream body follows)
//   end byte          F7
//   identify reply    byte 4 = id, byte 6 = 0x30, byte 10 bit 0 = DA (set) / AD (clear)
//   (id: kSessionDeviceId in every session)
#include <algorithm>
#include <chrono>
#include <string>

#include "engine/engine.h"

namespace varnet {

namespace {

using std::chrono::milliseconds;

constexpr uint8_t kPrefix[6] = {0xF0, 0x00, 0x20, 0x0D, 0x00 /* DeviceId */, 0x7F};
constexpr uint32_t kRequestSize = 8;
constexpr uint32_t kHeaderSize = 10;
constexpr uint8_t kIdentifyCode = 0x10;
constexpr uint8_t kStreamCode = 0x08;
constexpr uint8_t kHeaderTail[3] = {0x15, 0x47, 0x11};
constexpr uint8_t kEndOfExclusive = 0xF7;

constexpr uint8_t kReplyCode = 0x30;
constexpr int32_t kRequestEchoLength = 8;  // a block no longer than the request is not a reply

constexpr milliseconds kReplyWait{500};
constexpr milliseconds kPieceTime{10};  // the sender's spacing of one piece
constexpr milliseconds kHeaderSettle{100};

constexpr const char* kNoResponseText =
    "No response received! Please check connection or device type!";
constexpr const char* kWrongDeviceText = "Wrong device ID!";
constexpr const char* kMismatchText =
    "Firmware mismatch! Wrong firmware file for current device type. Please check whether you "
    "want to update an Ixar AD or an Ixar DA.";
constexpr const char* kErrorCaption = "Error!";

// The messages are assembled in SendBuffer, which the loader keeps large enough; an image that
// holds less (a tiny payload in a hand-built image) gets a larger block rather than a write past
// its end. This runs only on the user-interface thread while no worker exists.
uint8_t* MessageArea(Engine& engine, uint32_t size) {
  std::vector<uint8_t>& buffer = engine.image.SendBuffer;
  if (buffer.size() < size) buffer.resize(size, 0x40);
  return buffer.data();
}

void WritePrefix(Engine& engine, uint8_t* message) {
  std::copy(std::begin(kPrefix), std::end(kPrefix), message);
  message[4] = engine.DeviceId;
}

// A reply byte: bytes past the captured length read as 0, whatever an earlier, longer block left
// in the frame.
uint8_t ReplyByte(const uint8_t* block, std::size_t length, std::size_t index) {
  return index < length ? block[index] : 0;
}

int Refuse(Engine& engine, const char* text, bool abort) {
  engine.prompts.showBox({text, kErrorCaption, BoxIcon::Error, BoxButtons::Ok, nullptr});
  if (abort) {
    engine.SessionState.store(Idle);
    engine.aborted.store(1);
  }
  return 0;
}

}  // namespace

std::array<uint8_t, 8> IdentifyRequestBytes(uint8_t deviceId) {
  std::array<uint8_t, kRequestSize> request{};
  std::copy(std::begin(kPrefix), std::end(kPrefix), request.begin());
  request[4] = deviceId;
  request[6] = kIdentifyCode;
  request[7] = kEndOfExclusive;
  return request;
}

uint8_t IdentifyReplyKind(const uint8_t* block, std::size_t length) {
  if (ReplyByte(block, length, 4) != kSessionDeviceId ||
      ReplyByte(block, length, 6) != kReplyCode) {
    return 0;
  }
  return (ReplyByte(block, length, 10) & 0x01) != 0 ? kKindDA : kKindAD;
}

int IdentifyDevice(Engine& engine) {
  // Each identification starts a new exchange on freshly opened ports.
  engine.outputFailed.store(0);
  engine.outputReset.store(0);
  engine.streamBegun = false;

  uint8_t* message = MessageArea(engine, kRequestSize);
  const std::array<uint8_t, kRequestSize> request = IdentifyRequestBytes(engine.DeviceId);
  std::copy(request.begin(), request.end(), message);
  const Clock::TimePoint pressed = engine.clock.now();
  // The wait for the request's completion counts against the reply window: a port that never
  // reports the request sent must not keep the window frozen longer than a silent device.
  engine.completionBound = kReplyWait;
  {
    EngineEvent event{EngineEvent::Kind::IdentifyRequest};
    event.bytes = message;
    event.byteCount = kRequestSize;
    Report(engine, event);
  }
  SendBytes(engine, kRequestSize);
  engine.completionBound = kCompletionBound;
  std::fill_n(message, kRequestSize, 0);

  // The window opens when the request has had its 10 ms (the sender's schedule then points
  // there) and lasts 500 ms, however much of it the completion took.
  const Clock::TimePoint requestSent = pressed + kPieceTime;
  engine.clock.sleepUntil(std::max(engine.nextPieceAt, requestSent) + kReplyWait);
  const std::array<EchoBlock, 2> blocks = engine.port.takeInput();
  // A request the port could not deliver (refused, or never reported complete) leaves the port
  // unusable for the stream: whatever arrives now cannot be taken as the answer that lets it go.
  if (engine.outputFailed.load() != 0) return Refuse(engine, kNoResponseText, true);

  // The first block holds the request's echo and, from a device that answers at once, the reply
  // behind it; otherwise the reply is the block after the echo.
  EchoBlock frame;
  if (blocks[0].length > kRequestEchoLength) {
    frame = blocks[0];
  } else if (blocks[1].length > 0) {
    frame = blocks[1];
  } else {
    Report(engine, {EngineEvent::Kind::IdentifyReply});
    return Refuse(engine, kNoResponseText, true);
  }
  {
    EngineEvent event{EngineEvent::Kind::IdentifyReply};
    event.bytes = frame.bytes;
    event.byteCount =
        std::min<std::size_t>(static_cast<std::size_t>(frame.length), kEchoBlockCapacity);
    Report(engine, event);
  }

  const uint8_t kind = IdentifyReplyKind(
      frame.bytes, std::min<std::size_t>(static_cast<std::size_t>(std::max(frame.length, 0)),
                                         kEchoBlockCapacity));
  if (kind == 0) return Refuse(engine, kWrongDeviceText, false);
  if (kind != engine.image.converterKind) return Refuse(engine, kMismatchText, true);

  // Clean frames, so that the stream's first echo check starts from nothing.
  engine.port.clearInput();
  return 1;
}

void SendStartUpdateHeader(Engine& engine) {
  // A new stream: its verification starts from nothing, and from here on the device must send
  // nothing but its echo.
  engine.stopRequested.store(0);
  engine.firstDifference = {};
  engine.echoMissing = false;
  engine.streamBegun = true;
  engine.pieceStarts.clear();
  engine.sentThrough = 0;
  engine.pieceStarts.reserve(engine.image.SentLog.size());
  engine.port.forgetOtherInput();

  uint8_t* message = MessageArea(engine, kHeaderSize);
  WritePrefix(engine, message);
  message[6] = kStreamCode;
  std::copy(std::begin(kHeaderTail), std::end(kHeaderTail), message + 7);
  engine.completionBound = kHeaderSettle;
  SendBytes(engine, kHeaderSize);
  engine.completionBound = kCompletionBound;
  // The device needs this long after the header before the body may follow; measured on the
  // sender's schedule, from the header's own 10 ms. The schedule is moved on, not slept through:
  // the body's first piece waits for it on the worker, and this thread (the user-interface one)
  // is not held for it. A header the port never reported sent has failed the exchange: nothing
  // follows it, so there is nothing to settle.
  if (engine.outputFailed.load() == 0) {
    engine.nextPieceAt = std::max(engine.clock.now(), engine.nextPieceAt) + kHeaderSettle;
  }
  std::fill_n(engine.image.SendBuffer.begin(), kHeaderSize, 0);
}

void SendEndOfExclusive(Engine& engine) {
  // The header opened a System Exclusive message that only this byte closes; after a piece that
  // was refused or never completed, the output is reset first so that it can still go out. If
  // the port itself is gone, the send below fails the exchange as before.
  ReclaimOutputForEnd(engine);
  uint8_t* message = MessageArea(engine, 1);
  message[0] = kEndOfExclusive;
  SendBytes(engine, 1);
}

}  // namespace varnet
