// A simulated Varnet converter: what a real device does on the far side of the MIDI cable, as far
// as the updater can see it. It answers the identify request, echoes the update stream from its
// header on, decodes the stream back into 2-bit symbols and pauses, and can misbehave on demand.
//
// It knows nothing of ports: a transport (the in-process virtual MIDI port, or varnet-sim on
// ALSA/JACK) hands it the bytes it receives with their arrival times and sends back what
// takeEmissions() returns, each at its due time.
#pragma once

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "core/clock.h"
#include "midi/backends/virtual/virtual_peer.h"

namespace varnet::sim {

using TimePoint = Clock::TimePoint;
using Duration = Clock::Duration;

constexpr uint8_t kKindAD = 0xAD;
constexpr uint8_t kKindDA = 0xDA;
// The shortest pause a stream may ask for; a shorter gap after a partial ending is no pause.
constexpr Duration kMinimumPause = std::chrono::milliseconds(20);

// Injected misbehaviour. Stream byte numbers count from 0 at the F0 of the stream header.
struct Faults {
  bool noReply = false;                  // never answers the identify request
  bool lateReply = false;                // answers after ConverterConfig::lateReplyDelay
  bool wrongId = false;                  // answers with a wrong device ID
  bool silentEcho = false;               // echoes nothing
  bool oddBlocks = false;                // echo arrives in irregular, partly filled blocks
  bool stallOutput = false;              // the host's long messages never complete
  std::optional<uint64_t> corruptEcho;   // echo of stream byte N has bit 0 flipped
  std::optional<uint64_t> extraEcho;     // after N echoed bytes, one byte it never received
  std::optional<uint64_t> unplugAfter;   // gone after N received bytes (counted from the start)
  std::optional<uint64_t> echoStops;     // echoes stream bytes 0 to N-1, then nothing more
  std::optional<uint64_t> strayMessage;  // after echoing stream byte N, a control change B0 7B 00
  bool activeSensing = false;            // an active sensing byte (FE) before every echo block
  // The link's own faults, as the host sees them in the echo:
  std::optional<uint64_t> loseEcho;  // stream bytes N to N+loseCount-1 never come back
  uint64_t loseCount = 1;
  std::optional<uint64_t> repeatPiece;  // after echoing stream byte N, its last 32 bytes again
  bool splitEcho = false;               // each message received echoed as a message of its own
  std::optional<uint64_t> loseReplies;  // every Nth identify reply is lost on the way
};

struct FaultInfo {
  std::string_view name;  // as typed: "corrupt-echo:N"
  std::string_view description;
};
// Every fault, for --help.
std::span<const FaultInfo> FaultList();
// The --fault option's help: `heading`, then one line a fault, its name and description joined by
// `separator`.
std::string FaultHelp(std::string_view heading, std::string_view separator);
// Adds the fault named by `text` ("late-reply", "corrupt-echo:17") to `faults`. On a bad name or
// number returns false and says why in `error`.
bool ParseFault(std::string_view text, Faults& faults, std::string& error);

// The converter kind as typed ("ad", "da"); nullopt for any other word.
std::optional<uint8_t> ParseKind(std::string_view word);

struct ConverterConfig {
  uint8_t kind = kKindDA;  // kKindAD or kKindDA
  Duration replyDelay = std::chrono::milliseconds(20);
  Duration lateReplyDelay = std::chrono::milliseconds(600);  // past the host's 500 ms window
  Duration echoDelay = std::chrono::milliseconds(1);
  Faults faults;
};

// Bytes the device sends back: to be delivered at `due`. With `flush` the host's port returns
// its partly filled input buffer after these bytes (the odd-blocks fault).
using Emission = PeerEmission;

// A pause the device saw in the stream body.
struct ObservedPause {
  std::size_t symbolIndex = 0;  // symbols (payload positions) received before the pause
  Duration gap{};               // from the last byte before to the first byte after
  bool inferred = false;        // announced by a partial ending (else only seen as a long gap)
};

// What the device made of the update stream. The double ending does not carry its second symbol,
// so that position decodes as -1; the tail's symbol count is not carried either (0x40 may be a
// bare tail or a symbol 0), so the tail is kept as the raw byte. A pause after a full byte has no
// mark in the data; the device knows it, like any pause length, only by timing.
struct StreamDecode {
  bool headerSeen = false;
  bool ended = false;       // F7 received after the body
  TimePoint firstBodyAt{};  // arrival of the first and the last body byte
  TimePoint lastBodyAt{};
  std::size_t bodyBytes = 0;    // encoded bytes between header and F7
  std::vector<int8_t> symbols;  // 0..3, or -1 where a double ending lost the symbol
  std::vector<ObservedPause> pauses;
  std::optional<uint8_t> tailByte;      // the last body byte before F7
  std::vector<std::string> violations;  // pauses not observed, impossible byte forms, ...
};

// What a device must decode from a payload (the firmware file's bytes from offset 11).
struct ExpectedPause {
  std::size_t symbolIndex = 0;
  uint32_t milliseconds = 0;
  bool inferable = false;  // follows the first or second symbol of a byte (a partial ending)
};
struct ExpectedStream {
  std::vector<int8_t> symbols;
  std::vector<ExpectedPause> pauses;
  std::optional<uint8_t> tailByte;  // unset for an empty payload (any tail accepted)
};
ExpectedStream ExpectStream(std::span<const uint8_t> payload);
// Empty when the decode matches; otherwise the first difference in words. Every expected pause
// must have been observed for at least its length; gaps the payload did not ask for are only
// failures when a partial ending announced them.
std::string CompareStream(const ExpectedStream& expected, const StreamDecode& decoded);

class SimulatedConverter final : public VirtualPeer {
 public:
  explicit SimulatedConverter(ConverterConfig config = {});

  // Bytes received from the host; byte i arrived at firstArrival + i * spacing.
  void receive(const uint8_t* data, std::size_t count, TimePoint firstArrival,
               Duration spacing = Duration::zero()) override;
  // What the device sends back, oldest first; each emission is returned once.
  std::vector<Emission> takeEmissions() override;
  // False once the host's long messages would no longer complete (stall-output, unplugged).
  bool completesOutput() const override;
  // False once the device has been unplugged.
  bool present() const;

  StreamDecode decoded() const;
  std::vector<uint8_t> received() const;  // every byte received while present
  uint64_t identifyRequests() const;
  uint64_t echoedBytes() const;

  ConverterConfig config() const;
  void setKind(uint8_t kind);
  void setReplyDelay(Duration delay);
  void setFaults(const Faults& faults);
  // Forgets streams, decodes and counters (plugs the device back in); keeps the configuration.
  void restart();

 private:
  void receiveByte(uint8_t byte, TimePoint at, std::vector<uint8_t>& echo,
                   std::vector<TimePoint>& echoTimes);
  void processByte(uint8_t byte, TimePoint at, std::vector<uint8_t>& echo,
                   std::vector<TimePoint>& echoTimes);
  void decodeBodyByte(uint8_t byte, TimePoint at);
  void finishBody();
  void commitPending(uint8_t next, TimePoint at);
  void emitEcho(const std::vector<uint8_t>& echo, const std::vector<TimePoint>& times);
  void emitReply(TimePoint requestEnd);

  mutable std::mutex mutex_;
  ConverterConfig config_;
  std::vector<Emission> emissions_;
  std::vector<uint8_t> received_;
  std::vector<uint8_t> message_;  // the System Exclusive message being received (before a stream)
  bool present_ = true;
  bool streaming_ = false;
  uint64_t streamIndex_ = 0;  // stream bytes received, header included
  uint64_t echoed_ = 0;
  uint64_t identifyRequests_ = 0;
  std::size_t oddBlockStep_ = 0;
  std::vector<uint8_t> recentEcho_;  // the last stream bytes echoed, for repeat-piece
  StreamDecode decode_;

  enum class Pending { None, Full, Partial, Double };
  Pending pending_ = Pending::None;
  uint8_t pendingByte_ = 0;
  TimePoint lastBodyAt_{};
};

}  // namespace varnet::sim
