// The update engine below the session: the stream encoder, the chunked sender with its echo
// check, and the identification handshake. Platform-free; time goes through the Clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "engine/firmware.h"
#include "midi/clock.h"
#include "midi/midi_ports.h"
#include "midi/prompts.h"

namespace varnet {

enum SessionStateValue : int32_t { Idle = 0, Running = 1, VerifyFailed = 3 };

// How long the sender waits for the MIDI service to report a piece sent before it gives the
// piece up (see sender.cpp).
constexpr Clock::Duration kCompletionBound = std::chrono::milliseconds(2000);

// Everything one update works on. Owned by the program's entry (or a test), passed by reference.
struct Engine {
  Engine(FirmwareImage& image, MidiLayer& midi, Clock& clock, Prompts& prompts)
      : image(image), midi(midi), clock(clock), prompts(prompts) {}
  Engine(const Engine&) = delete;
  Engine& operator=(const Engine&) = delete;

  FirmwareImage& image;
  MidiLayer& midi;
  Clock& clock;
  Prompts& prompts;

  std::atomic<int32_t> SessionState{Idle};
  std::atomic<uint32_t> aborted{0};
  uint8_t DeviceId = 0x42;

  // Pacing of outgoing pieces on absolute deadlines (see sender.cpp).
  Clock::TimePoint nextPieceAt{};

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
};

// Stream encoder.
// The pause a payload byte's code asks for, in milliseconds (0 for none).
uint32_t PauseForCode(uint8_t payloadByte);
uint32_t PauseAt(const Engine& engine, uint32_t payloadPosition);
void StreamPayload(Engine& engine);

// Sender and echo check.
void SendBytes(Engine& engine, uint32_t count);
void CheckEcho(Engine& engine);
// Waits `gap` measured on the pacing schedule (from the deadline the last piece set, not from
// now), so that pauses and waits between sends add no drift.
void WaitOnSchedule(Engine& engine, Clock::Duration gap);
// After the end byte of a stream that ran to its end: the last echoed block only comes back when
// the device's echo of the end byte closes it, after the stream has left Running. Waits up to
// `bound` for the echo to catch up with the log and compares it; a difference fails the update
// (VerifyFailed, aborted). Does nothing when the device has echoed nothing at all.
void CheckFinalEcho(Engine& engine, Clock::Duration bound);

// Identification handshake and the stream's framing.
int IdentifyDevice(Engine& engine);  // 1 passed, 0 refused (the reason has been shown)
void SendStartUpdateHeader(Engine& engine);
void SendEndOfExclusive(Engine& engine);

}  // namespace varnet
