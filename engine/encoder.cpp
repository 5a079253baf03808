// The stream encoder: packs the payload's 2-bit symbols three to a byte into SendBuffer and hands
// each run of bytes to SendBytes, ending a run early wherever a payload byte asks for a pause.
//
// Byte forms on the wire (all below 0x80, as System Exclusive data must be):
//   full           01aa bbcc   three symbols
//   single ending  00aa 0000   the pause follows the byte's first symbol
//   double ending  00aa 0000, 0000 0000   the pause follows the second symbol, which is dropped
//   tail           01aa bb00   the byte being filled when the payload ends (or a bare 0x40)
//
// Every byte from the fill position on holds 0x40 whenever a slot is filled: that is what gives
// the full form its bit 6 and makes the 0x0F mask of the double ending yield 0x00. After a send
// only the bytes just sent are refilled, so the work per symbol stays constant.
#include <algorithm>
#include <chrono>

#include "engine/engine.h"

namespace varnet {

namespace {

constexpr uint8_t kEmptyByte = 0x40;  // bit 6 set, all three slots empty

uint8_t SymbolOf(uint8_t payloadByte) {
  return payloadByte & 0x03;
}

// A send that ends early for a pause: the pause starts once the send's last piece has been
// delivered and moves the sender's schedule on by its length. After a stop there is nothing left
// for the pause to prepare the device for, so none is begun.
void SendThenPause(Engine& engine, uint32_t count, uint32_t pauseMs) {
  SendBytes(engine, count);
  if (engine.stopRequested.load() == 0) {
    Report(engine, {EngineEvent::Kind::Pause, {}, 0, pauseMs});
    WaitOnSchedule(engine, std::chrono::milliseconds(pauseMs));
  }
  std::fill_n(engine.image.SendBuffer.begin(), count, kEmptyByte);
}

// A stop requested before the stream began (a cancel that landed between the session's start of
// the worker and this point) must not be overwritten by our own Running.
void EnterRunning(Engine& engine) {
  if (engine.aborted.load() != 0) return;
  engine.SessionState.store(Running);
  if (engine.aborted.load() != 0) {
    int32_t expected = Running;
    engine.SessionState.compare_exchange_strong(expected, Idle);
  }
}

}  // namespace

uint32_t PauseForCode(uint8_t payloadByte) {
  switch (payloadByte & 0xF0) {
    case 0x10:
      return 20;
    case 0x20:
      return 40;
    case 0x40:
      return 115;
    case 0x80:
      return 15000;
    default:
      return 0;
  }
}

uint32_t PauseAt(const Engine& engine, uint32_t payloadPosition) {
  const FirmwareImage& image = engine.image;
  if (payloadPosition >= image.payloadLength || payloadPosition >= image.PayloadBuffer.size()) {
    return 0;
  }
  return PauseForCode(image.PayloadBuffer[payloadPosition]);
}

void StreamPayload(Engine& engine) {
  FirmwareImage& image = engine.image;
  const uint32_t length = image.payloadLength;

  // An image whose blocks do not hold the declared payload (and the tail byte) is not one the
  // loader produces; sending from it would read or write past the blocks.
  if (image.PayloadBuffer.size() < length || image.SendBuffer.size() < std::max(length, 1u)) {
    engine.SessionState.store(VerifyFailed);
    engine.aborted.store(1);
    return;
  }

  const uint8_t* payload = image.PayloadBuffer.data();
  uint8_t* send = image.SendBuffer.data();

  std::fill_n(send, length, kEmptyByte);
  EnterRunning(engine);
  image.bytesSent.store(0);
  image.progressTotal.store(length / 3);

  uint32_t fill = 0;      // index in SendBuffer of the byte being filled
  uint32_t position = 0;  // payload byte whose symbol is packed next
  while (position < length) {
    if (engine.SessionState.load() != Running) break;

    uint8_t& byte = send[fill];
    byte |= static_cast<uint8_t>(SymbolOf(payload[position]) << 4);
    uint32_t pause = PauseAt(engine, position + 1);
    if (pause != 0) {
      byte &= 0x3F;  // single ending
      SendThenPause(engine, fill + 1, pause);
      fill = 0;
    } else {
      if (++position == length) break;
      byte |= static_cast<uint8_t>(SymbolOf(payload[position]) << 2);
      pause = PauseAt(engine, position + 1);
      if (pause != 0) {
        // Double ending: the second symbol is dropped, the next byte (0x40) becomes 0x00. It lies
        // within the payload's length because at least one more payload byte follows.
        byte &= 0x30;
        send[fill + 1] &= 0x0F;
        SendThenPause(engine, fill + 2, pause);
        fill = 0;
      } else {
        if (++position == length) break;
        byte |= SymbolOf(payload[position]);
        ++fill;
        pause = PauseAt(engine, position + 1);
        if (pause != 0) {
          SendThenPause(engine, fill, pause);
          fill = 0;
        }
      }
    }
    ++position;
  }

  // The tail goes out on every ending, a stop included: the full bytes gathered since the last
  // pause and the byte at the fill position. A stop that cuts this send short still ends the
  // body with the tail form: the byte at the fill position goes out on its own.
  if (SendBytes(engine, fill + 1) < fill + 1) {
    send[0] = send[fill];
    SendBytes(engine, 1);
  }

  if (engine.aborted.load() == 0) engine.SessionState.store(Idle);
}

}  // namespace varnet
