#include "engine/stream_recording.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "core/prompts.h"
#include "engine/engine.h"
#include "midi/update_port.h"

namespace varnet {

namespace {

constexpr Clock::Duration kPieceSpacing = std::chrono::milliseconds(10);

// A port that takes every piece at once: it keeps the bytes (when asked to) and counts the
// pieces with the virtual time between them, and reports each sent at once, as a service with an
// empty queue would. Counting as the pieces pass keeps an estimate of a large file from holding a
// second copy of its stream. Nothing is ever echoed, so nothing is ever compared.
class RecordingPort final : public UpdatePort {
 public:
  RecordingPort(Clock& clock, bool keepBytes) : clock_(clock), keepBytes_(keepBytes) {}

  std::vector<uint8_t> wire;  // only when keeping the bytes
  uint64_t bytes = 0;
  uint32_t pieces = 0;
  // Pieces of one send leave 10 ms apart; a longer gap is a pause between two sends. Counted
  // only while `countingSends`, that is for the stream's own pieces.
  bool countingSends = false;
  uint32_t sends = 0;
  Clock::Duration pauseTime{};

  bool send(const uint8_t* data, uint32_t length) override {
    const Clock::TimePoint now = clock_.now();
    if (countingSends) {
      if (sends == 0) {
        sends = 1;
      } else if (now - lastPieceAt_ > kPieceSpacing) {
        ++sends;
        pauseTime += now - lastPieceAt_ - kPieceSpacing;
      }
    }
    lastPieceAt_ = now;
    ++pieces;
    bytes += length;
    if (keepBytes_) wire.insert(wire.end(), data, data + length);
    return true;
  }
  bool waitSent(Clock::Duration) override { return true; }
  bool resetOutput() override { return true; }

  bool open() override { return true; }
  void close() override {}
  void startInput() override {}
  std::array<EchoBlock, 2> takeInput() override { return {}; }
  void clearInput() override {}
  void returnPartialInput() override {}
  uint32_t otherInput(uint32_t& first) override {
    first = 0;
    return 0;
  }
  void forgetOtherInput() override {}
  void showDeferredBoxes() override {}
  bool deferredBoxOpen() override { return false; }
  void discardDeferredBoxes() override {}

 private:
  Clock& clock_;
  bool keepBytes_;
  Clock::TimePoint lastPieceAt_{};
};

// Nothing here should ever ask the user anything; a box means the run went wrong.
class RecordedPrompts final : public Prompts {
 public:
  std::string firstText;
  BoxAnswer showBox(const BoxRequest& request) override {
    if (firstText.empty()) firstText = request.caption + ": " + request.text;
    return BoxAnswer::Ok;
  }
};

}  // namespace

bool RecordUpdateStream(FirmwareImage& image, StreamRecording& recording, bool keepBytes,
                        uint32_t pieceSize) {
  recording = StreamRecording{};
  VirtualClock clock;
  RecordingPort port(clock, keepBytes);
  RecordedPrompts prompts;
  Engine engine(image, port, clock, prompts);
  engine.DeviceId = kSessionDeviceId;
  engine.pieceSize = pieceSize;
  engine.nextPieceAt = clock.now();

  // As a session does it: a fresh log, the header, Running, the stream, the end byte.
  image.sentLogCount = 0;
  image.echoVerifiedCount = 0;
  image.bytesSent = 0;
  const Clock::TimePoint start = clock.now();
  SendStartUpdateHeader(engine);
  const uint32_t headerPieces = port.pieces;
  const uint64_t headerBytes = port.bytes;
  engine.SessionState = Running;
  // The body may begin once the header has settled; the schedule holds that moment.
  const Clock::TimePoint streamStart = std::max(clock.now(), engine.nextPieceAt);
  port.countingSends = true;
  StreamPayload(engine);
  port.countingSends = false;
  const Clock::TimePoint streamEnd = clock.now();
  const uint32_t streamPieceEnd = port.pieces;
  const uint64_t streamByteEnd = port.bytes;
  SendEndOfExclusive(engine);

  recording.updateTime = clock.now() - start;
  recording.streamTime = streamEnd - streamStart;
  recording.headerBytes = static_cast<uint32_t>(headerBytes);
  recording.streamBytes = static_cast<uint32_t>(streamByteEnd - headerBytes);
  recording.endBytes = static_cast<uint32_t>(port.bytes - streamByteEnd);
  recording.streamPieces = streamPieceEnd - headerPieces;
  recording.streamSends = port.sends;
  recording.pauseTime = port.pauseTime;
  recording.wire = std::move(port.wire);

  // The recording must be exactly what the sender logged; anything else means a piece was lost.
  const bool matchesLog = image.sentLogCount == port.bytes &&
                          (!keepBytes || std::equal(recording.wire.begin(), recording.wire.end(),
                                                    image.SentLog.begin()));
  if (engine.outputFailed.load() != 0 || engine.aborted.load() != 0) {
    recording.problem = "the stream could not be sent whole";
  } else if (!matchesLog) {
    recording.problem = "the bytes sent differ from the sender's log";
  } else if (!prompts.firstText.empty()) {
    recording.problem = prompts.firstText;
  }
  return recording.problem.empty();
}

}  // namespace varnet
