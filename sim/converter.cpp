#include "sim/converter.h"

#include <algorithm>
#include <array>
#include <charconv>

namespace varnet::sim {

namespace {

constexpr std::array<uint8_t, 8> kIdentifyRequest = {0xF0, 0x00, 0x20, 0x0D,
                                                     0x32, 0x7F, 0x10, 0xF7};
constexpr std::array<uint8_t, 10> kStreamHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32,
                                                   0x7F, 0x08, 0x15, 0x47, 0x11};
constexpr uint8_t kDeviceId = 0x32;
constexpr uint8_t kReplyCode = 0x30;

// Block sizes of the odd-blocks fault: irregular, some tiny, none a divisor pattern of 32.
constexpr std::array<std::size_t, 9> kOddBlockSizes = {1, 7, 3, 13, 2, 29, 5, 1, 11};

// The stray message of the stray-message fault: control change "all notes off" on channel 1.
constexpr std::array<uint8_t, 3> kStrayMessage = {0xB0, 0x7B, 0x00};
constexpr uint8_t kActiveSensing = 0xFE;

constexpr std::array<FaultInfo, 16> kFaults = {{
    {"no-reply", "never answers the identify request"},
    {"late-reply", "answers the identify request only after the host's 500 ms window"},
    {"wrong-id", "answers the identify request with a wrong device ID"},
    {"corrupt-echo:N", "echoes stream byte N (0 = the header's F0) with one bit flipped"},
    {"extra-echo:N", "after N echoed bytes, echoes one byte it never received"},
    {"silent-echo", "echoes nothing at all"},
    {"odd-blocks", "delivers the echo in irregular, partly filled input blocks"},
    {"unplug:N", "vanishes after receiving N bytes: no more input, output never completes"},
    {"stall-output", "the host's long messages are received but never reported complete"},
    {"echo-stops:N", "echoes stream bytes 0 to N-1, then nothing more (a return cable pulled)"},
    {"stray-message:N", "after echoing stream byte N, sends a control change (B0 7B 00)"},
    {"active-sensing", "sends an active sensing byte (FE) before every echo block; harmless"},
    {"lose-echo:N:K",
     "the echo of stream bytes N to N+K-1 is lost (K 1 to 1000; lose-echo:N loses one)"},
    {"repeat-piece:N", "after echoing stream byte N, echoes the 32 bytes up to it once more"},
    {"split-echo", "echoes each message received as a System Exclusive message of its own"},
    {"lose-replies:N", "every Nth identify reply (N 1 or more) is lost on the way"},
}};

std::string Describe(std::size_t symbolIndex) {
  return "symbol " + std::to_string(symbolIndex);
}

}  // namespace

std::span<const FaultInfo> FaultList() {
  return kFaults;
}

std::string FaultHelp(std::string_view heading, std::string_view separator) {
  std::string text(heading);
  for (const FaultInfo& fault : FaultList()) {
    text += "\n  ";
    text += fault.name;
    text += separator;
    text += fault.description;
  }
  return text;
}

std::optional<uint8_t> ParseKind(std::string_view word) {
  if (word == "ad") return kKindAD;
  if (word == "da") return kKindDA;
  return std::nullopt;
}

bool ParseFault(std::string_view text, Faults& faults, std::string& error) {
  std::string_view name = text;
  std::optional<uint64_t> number;
  std::optional<uint64_t> count;
  if (const auto colon = text.find(':'); colon != std::string_view::npos) {
    name = text.substr(0, colon);
    std::string_view digits = text.substr(colon + 1);
    if (const auto second = digits.find(':');
        name == "lose-echo" && second != std::string_view::npos) {
      const std::string_view countDigits = digits.substr(second + 1);
      uint64_t value = 0;
      const auto [end, ec] =
          std::from_chars(countDigits.data(), countDigits.data() + countDigits.size(), value);
      if (countDigits.empty() || ec != std::errc() ||
          end != countDigits.data() + countDigits.size() || value == 0 || value > 1000) {
        error = "fault '" + std::string(text) + "': '" + std::string(countDigits) +
                "' is not a count from 1 to 1000";
        return false;
      }
      count = value;
      digits = digits.substr(0, second);
    }
    uint64_t value = 0;
    const auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), value);
    if (digits.empty() || ec != std::errc() || end != digits.data() + digits.size()) {
      error =
          "fault '" + std::string(text) + "': '" + std::string(digits) + "' is not a byte count";
      return false;
    }
    number = value;
  }
  const bool wantsNumber = name == "corrupt-echo" || name == "extra-echo" || name == "unplug" ||
                           name == "echo-stops" || name == "stray-message" || name == "lose-echo" ||
                           name == "repeat-piece" || name == "lose-replies";
  if (wantsNumber != number.has_value()) {
    error = "fault '" + std::string(text) + "': " +
            (wantsNumber ? "needs a byte count, as in " + std::string(name) + ":17"
                         : "takes no byte count");
    return false;
  }
  if (name == "no-reply") {
    faults.noReply = true;
  } else if (name == "late-reply") {
    faults.lateReply = true;
  } else if (name == "wrong-id") {
    faults.wrongId = true;
  } else if (name == "silent-echo") {
    faults.silentEcho = true;
  } else if (name == "odd-blocks") {
    faults.oddBlocks = true;
  } else if (name == "stall-output") {
    faults.stallOutput = true;
  } else if (name == "corrupt-echo") {
    faults.corruptEcho = number;
  } else if (name == "extra-echo") {
    faults.extraEcho = number;
  } else if (name == "unplug") {
    faults.unplugAfter = number;
  } else if (name == "echo-stops") {
    faults.echoStops = number;
  } else if (name == "stray-message") {
    faults.strayMessage = number;
  } else if (name == "active-sensing") {
    faults.activeSensing = true;
  } else if (name == "lose-echo") {
    faults.loseEcho = number;
    faults.loseCount = count.value_or(1);
  } else if (name == "repeat-piece") {
    faults.repeatPiece = number;
  } else if (name == "lose-replies") {
    if (*number == 0) {
      error = "fault '" + std::string(text) + "': N must be 1 or more";
      return false;
    }
    faults.loseReplies = number;
  } else if (name == "split-echo") {
    faults.splitEcho = true;
  } else {
    error = "unknown fault '" + std::string(name) + "'";
    return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// What a payload must look like on the device's side. Derived from the payload's meaning (a
// symbol per byte, a pause before every byte with a pause code, slots counted from each pause),
// not from the encoder's byte manipulations, so that it checks them.

namespace {

uint32_t PauseMs(uint8_t payloadByte) {
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

}  // namespace

ExpectedStream ExpectStream(std::span<const uint8_t> payload) {
  ExpectedStream expected;
  if (payload.empty()) return expected;
  std::size_t slot = 0;  // slot of the next symbol in its byte
  uint8_t pendingByte = 0x40;
  std::vector<int8_t> inByte;  // symbols of the byte being filled
  for (std::size_t k = 0; k < payload.size(); ++k) {
    const auto symbol = static_cast<int8_t>(payload[k] & 0x03);
    inByte.push_back(symbol);
    pendingByte |= static_cast<uint8_t>(symbol << (4 - 2 * slot));
    ++slot;
    const uint32_t pause = k + 1 < payload.size() ? PauseMs(payload[k + 1]) : 0;
    if (pause != 0) {
      // The byte ends here. After the second slot the second symbol is not carried.
      if (slot == 2) inByte[1] = -1;
      expected.symbols.insert(expected.symbols.end(), inByte.begin(), inByte.end());
      expected.pauses.push_back({k + 1, pause, slot != 3});
      inByte.clear();
      slot = 0;
      pendingByte = 0x40;
    } else if (slot == 3) {
      expected.symbols.insert(expected.symbols.end(), inByte.begin(), inByte.end());
      inByte.clear();
      slot = 0;
      pendingByte = 0x40;
    }
  }
  expected.tailByte = pendingByte;
  return expected;
}

std::string CompareStream(const ExpectedStream& expected, const StreamDecode& decoded) {
  if (!decoded.headerSeen) return "the device never saw the stream header";
  if (!decoded.ended) return "the stream was not closed with F7";
  if (!decoded.violations.empty()) return "the device found: " + decoded.violations.front();
  const std::size_t common = std::min(expected.symbols.size(), decoded.symbols.size());
  for (std::size_t i = 0; i < common; ++i) {
    if (expected.symbols[i] != decoded.symbols[i]) {
      return Describe(i) + " is " + std::to_string(decoded.symbols[i]) + ", expected " +
             std::to_string(expected.symbols[i]);
    }
  }
  if (expected.symbols.size() != decoded.symbols.size()) {
    return "the device decoded " + std::to_string(decoded.symbols.size()) +
           " symbols before the tail, expected " + std::to_string(expected.symbols.size());
  }
  if (expected.tailByte && decoded.tailByte != expected.tailByte) {
    return "the tail byte is " +
           (decoded.tailByte ? std::to_string(*decoded.tailByte) : std::string("missing")) +
           ", expected " + std::to_string(*expected.tailByte);
  }
  for (const ExpectedPause& want : expected.pauses) {
    const auto found =
        std::find_if(decoded.pauses.begin(), decoded.pauses.end(),
                     [&](const ObservedPause& p) { return p.symbolIndex == want.symbolIndex; });
    if (found == decoded.pauses.end()) {
      return "no pause before " + Describe(want.symbolIndex) + " (expected " +
             std::to_string(want.milliseconds) + " ms)";
    }
    if (found->gap < std::chrono::milliseconds(want.milliseconds)) {
      return "the pause before " + Describe(want.symbolIndex) + " lasted " +
             std::to_string(found->gap.count()) + " us, expected at least " +
             std::to_string(want.milliseconds) + " ms";
    }
  }
  for (const ObservedPause& seen : decoded.pauses) {
    if (!seen.inferred) continue;
    const bool wanted =
        std::any_of(expected.pauses.begin(), expected.pauses.end(),
                    [&](const ExpectedPause& p) { return p.symbolIndex == seen.symbolIndex; });
    if (!wanted) return "a partial ending announced a pause before " + Describe(seen.symbolIndex);
  }
  return {};
}

// ---------------------------------------------------------------------------------------------

SimulatedConverter::SimulatedConverter(ConverterConfig config) : config_(config) {}

void SimulatedConverter::receive(const uint8_t* data, std::size_t count, TimePoint firstArrival,
                                 Duration spacing) {
  std::lock_guard lock(mutex_);
  std::vector<uint8_t> echo;
  std::vector<TimePoint> echoTimes;
  if (config_.faults.unplugAfter && received_.size() >= *config_.faults.unplugAfter) {
    present_ = false;
  }
  for (std::size_t i = 0; i < count; ++i) {
    if (!present_) break;
    receiveByte(data[i], firstArrival + spacing * static_cast<int64_t>(i), echo, echoTimes);
  }
  if (config_.faults.splitEcho && !echo.empty()) {
    // A driver that closes every message it hands on and opens the next one afresh.
    if (echo.front() != 0xF0) {
      echo.insert(echo.begin(), 0xF0);
      echoTimes.insert(echoTimes.begin(), echoTimes.front());
    }
    if (echo.back() != 0xF7) {
      echo.push_back(0xF7);
      echoTimes.push_back(echoTimes.back());
    }
  }
  emitEcho(echo, echoTimes);
}

void SimulatedConverter::receiveByte(uint8_t byte, TimePoint at, std::vector<uint8_t>& echo,
                                     std::vector<TimePoint>& echoTimes) {
  received_.push_back(byte);
  processByte(byte, at, echo, echoTimes);
  if (config_.faults.unplugAfter && received_.size() >= *config_.faults.unplugAfter) {
    present_ = false;  // this byte still arrived; nothing after it does
  }
}

void SimulatedConverter::processByte(uint8_t byte, TimePoint at, std::vector<uint8_t>& echo,
                                     std::vector<TimePoint>& echoTimes) {
  if (byte >= 0xF8) return;  // real-time bytes belong to no message

  auto echoByte = [&](uint8_t b) {
    const uint64_t index = streamIndex_++;
    if (config_.faults.silentEcho) return;
    if (config_.faults.echoStops && index >= *config_.faults.echoStops) return;
    if (config_.faults.extraEcho && echoed_ == *config_.faults.extraEcho) {
      echo.push_back(static_cast<uint8_t>((b ^ 0x01) & 0x7F));  // never equal to b
      echoTimes.push_back(at);
      ++echoed_;
    }
    const Faults& f = config_.faults;
    if (f.loseEcho && index >= *f.loseEcho && index - *f.loseEcho < f.loseCount) return;
    if (f.corruptEcho && index == *f.corruptEcho) b ^= 0x01;
    echo.push_back(b);
    echoTimes.push_back(at);
    ++echoed_;
    if (f.repeatPiece) {
      recentEcho_.push_back(b);
      if (recentEcho_.size() > 32) recentEcho_.erase(recentEcho_.begin());
      if (index == *f.repeatPiece) {
        // An overloaded server that missed a cycle hands the previous one on again.
        for (uint8_t again : recentEcho_) {
          echo.push_back(again);
          echoTimes.push_back(at);
          ++echoed_;
        }
      }
    }
    if (config_.faults.strayMessage && index == *config_.faults.strayMessage) {
      // On the wire a status byte ends the System Exclusive echo; the host must notice.
      for (uint8_t stray : kStrayMessage) {
        echo.push_back(stray);
        echoTimes.push_back(at);
      }
    }
  };

  if (streaming_) {
    echoByte(byte);
    if (byte == 0xF7) {
      finishBody();
      streaming_ = false;
    } else if (byte >= 0x80) {
      decode_.violations.push_back("status byte " + std::to_string(byte) + " inside the stream");
      finishBody();
      streaming_ = false;
      if (byte == 0xF0) message_.assign(1, byte);
    } else {
      decodeBodyByte(byte, at);
    }
    return;
  }

  if (byte == 0xF0) {
    message_.assign(1, byte);
    return;
  }
  if (message_.empty()) return;  // not inside a System Exclusive message
  if (byte >= 0x80 && byte != 0xF7) {
    message_.clear();
    return;
  }
  message_.push_back(byte);
  if (byte == 0xF7) {
    if (std::equal(message_.begin(), message_.end(), kIdentifyRequest.begin(),
                   kIdentifyRequest.end())) {
      ++identifyRequests_;
      emitReply(at);
    }
    message_.clear();
    return;
  }
  if (message_.size() == kStreamHeader.size() &&
      std::equal(message_.begin(), message_.end(), kStreamHeader.begin())) {
    // From the header on every byte comes back, the header's own included.
    streaming_ = true;
    streamIndex_ = 0;
    decode_ = StreamDecode{};
    decode_.headerSeen = true;
    pending_ = Pending::None;
    for (uint8_t b : message_) echoByte(b);
    message_.clear();
    return;
  }
  if (message_.size() > kStreamHeader.size() + 64) message_.clear();  // some other long message
}

// The body decoder. A byte is only understood once the next one (or F7) arrives: a byte with bit
// 6 set is a full byte unless F7 follows (then it is the tail); a partial byte is a single ending
// unless a 0x00 follows without a pause (then the two are a double ending). The arrival gap after
// a partial ending is the pause the device waited.
void SimulatedConverter::decodeBodyByte(uint8_t byte, TimePoint at) {
  if (decode_.bodyBytes == 0) decode_.firstBodyAt = at;
  decode_.lastBodyAt = at;
  ++decode_.bodyBytes;
  if (pending_ != Pending::None) {
    commitPending(byte, at);
    if (pending_ == Pending::Double) {  // this 0x00 completes a double ending
      lastBodyAt_ = at;
      return;
    }
  }
  if (byte & 0x40) {
    pending_ = Pending::Full;
  } else {
    if ((byte & 0x0F) != 0) {
      decode_.violations.push_back("body byte " + std::to_string(decode_.bodyBytes - 1) + " (" +
                                   std::to_string(byte) + ") has no valid form");
    }
    pending_ = Pending::Partial;
  }
  pendingByte_ = byte;
  lastBodyAt_ = at;
}

void SimulatedConverter::commitPending(uint8_t next, TimePoint at) {
  const Duration gap = at - lastBodyAt_;
  auto symbolsOf = [](uint8_t b, int n, std::vector<int8_t>& out) {
    for (int i = 0; i < n; ++i) out.push_back(static_cast<int8_t>((b >> (4 - 2 * i)) & 0x03));
  };
  auto pauseHere = [&](bool inferred) {
    decode_.pauses.push_back({decode_.symbols.size(), gap, inferred});
    if (inferred && gap < kMinimumPause) {
      decode_.violations.push_back(
          "a byte arrived " + std::to_string(gap.count()) + " us after the partial ending before " +
          Describe(decode_.symbols.size()) + ", before any pause could have run out");
    }
  };
  switch (pending_) {
    case Pending::Full:
      symbolsOf(pendingByte_, 3, decode_.symbols);
      if (gap >= kMinimumPause) pauseHere(false);
      pending_ = Pending::None;
      break;
    case Pending::Partial:
      if (next == 0x00 && gap < kMinimumPause) {
        pending_ = Pending::Double;  // keeps pendingByte_: the first symbol
        return;
      }
      symbolsOf(pendingByte_, 1, decode_.symbols);
      pauseHere(true);
      pending_ = Pending::None;
      break;
    case Pending::Double:
      symbolsOf(pendingByte_, 1, decode_.symbols);
      decode_.symbols.push_back(-1);
      pauseHere(true);
      pending_ = Pending::None;
      break;
    case Pending::None:
      break;
  }
}

void SimulatedConverter::finishBody() {
  decode_.ended = true;
  if (decode_.bodyBytes == 0) {
    decode_.violations.push_back("the stream has no body");
  } else if (pending_ == Pending::Double) {
    // "X 00 F7": no tail after a double ending, so the 0x00 is taken as the tail and X as a
    // single ending whose pause was never observed.
    decode_.symbols.push_back(static_cast<int8_t>((pendingByte_ >> 4) & 0x03));
    decode_.pauses.push_back({decode_.symbols.size(), Duration::zero(), true});
    decode_.violations.push_back("a partial ending is followed by the tail without a pause");
    decode_.tailByte = 0x00;
  } else {
    decode_.tailByte = pendingByte_;
  }
  pending_ = Pending::None;
}

void SimulatedConverter::emitEcho(const std::vector<uint8_t>& echo,
                                  const std::vector<TimePoint>& times) {
  if (echo.empty()) return;
  if (!config_.faults.oddBlocks) {
    emissions_.push_back({times.back() + config_.echoDelay, echo, false});
    if (config_.faults.activeSensing)
      emissions_.back().bytes.insert(emissions_.back().bytes.begin(), kActiveSensing);
    return;
  }
  std::size_t at = 0;
  while (at < echo.size()) {
    const std::size_t size =
        std::min(kOddBlockSizes[oddBlockStep_++ % kOddBlockSizes.size()], echo.size() - at);
    Emission e;
    e.bytes.assign(echo.begin() + static_cast<std::ptrdiff_t>(at),
                   echo.begin() + static_cast<std::ptrdiff_t>(at + size));
    e.due = times[at + size - 1] + config_.echoDelay;
    e.flush = true;
    emissions_.push_back(std::move(e));
    at += size;
  }
}

void SimulatedConverter::emitReply(TimePoint requestEnd) {
  if (config_.faults.noReply) return;
  if (config_.faults.loseReplies && identifyRequests_ % *config_.faults.loseReplies == 0) return;
  std::vector<uint8_t> reply = {0xF0,       0x00, 0x20, 0x0D, kDeviceId, 0x7F,
                                kReplyCode, 0x01, 0x04, 0x00, 0x00,      0xF7};
  reply[10] = config_.kind == kKindDA ? 0x01 : 0x00;
  if (config_.faults.wrongId) reply[4] = 0x31;
  const Duration delay = config_.faults.lateReply ? config_.lateReplyDelay : config_.replyDelay;
  emissions_.push_back({requestEnd + delay, std::move(reply), false});
}

std::vector<Emission> SimulatedConverter::takeEmissions() {
  std::lock_guard lock(mutex_);
  std::vector<Emission> out;
  out.swap(emissions_);
  return out;
}

bool SimulatedConverter::completesOutput() const {
  std::lock_guard lock(mutex_);
  return present_ && !config_.faults.stallOutput;
}

bool SimulatedConverter::present() const {
  std::lock_guard lock(mutex_);
  return present_;
}

StreamDecode SimulatedConverter::decoded() const {
  std::lock_guard lock(mutex_);
  return decode_;
}

std::vector<uint8_t> SimulatedConverter::received() const {
  std::lock_guard lock(mutex_);
  return received_;
}

uint64_t SimulatedConverter::identifyRequests() const {
  std::lock_guard lock(mutex_);
  return identifyRequests_;
}

uint64_t SimulatedConverter::echoedBytes() const {
  std::lock_guard lock(mutex_);
  return echoed_;
}

ConverterConfig SimulatedConverter::config() const {
  std::lock_guard lock(mutex_);
  return config_;
}

void SimulatedConverter::setKind(uint8_t kind) {
  std::lock_guard lock(mutex_);
  config_.kind = kind;
}

void SimulatedConverter::setReplyDelay(Duration delay) {
  std::lock_guard lock(mutex_);
  config_.replyDelay = delay;
}

void SimulatedConverter::setFaults(const Faults& faults) {
  std::lock_guard lock(mutex_);
  config_.faults = faults;
}

void SimulatedConverter::restart() {
  std::lock_guard lock(mutex_);
  emissions_.clear();
  received_.clear();
  message_.clear();
  present_ = true;
  streaming_ = false;
  streamIndex_ = 0;
  echoed_ = 0;
  identifyRequests_ = 0;
  oddBlockStep_ = 0;
  recentEcho_.clear();
  decode_ = StreamDecode{};
  pending_ = Pending::None;
}

}  // namespace varnet::sim
