#include "engine/session_log.h"

#include <cerrno>
#include <cstring>

#include "engine/echo_cause.h"

namespace varnet {

namespace {

std::string HexByte(int byte) {
  char text[8];
  std::snprintf(text, sizeof text, "0x%02X", static_cast<unsigned>(byte & 0xFF));
  return text;
}

std::string ByteOrNull(int byte) {
  return byte < 0 ? "null" : SessionLog::Quote(HexByte(byte));
}

}  // namespace

SessionLog::~SessionLog() {
  detach();
  if (file_ != nullptr) std::fclose(file_);
}

bool SessionLog::open(const std::string& path, Engine& engine, std::string& error) {
  std::FILE* file = std::fopen(path.c_str(), "w");
  if (file == nullptr) {
    error = std::strerror(errno);
    return false;
  }
  std::lock_guard lock(mutex_);
  if (file_ != nullptr) std::fclose(file_);
  file_ = file;
  origin_ = engine.clock.now();
  engine_ = &engine;
  engine.observer = [this](const EngineEvent& event) { onEvent(event); };
  return true;
}

void SessionLog::detach() {
  std::lock_guard lock(mutex_);
  if (engine_ != nullptr) engine_->observer = nullptr;
  engine_ = nullptr;
}

void SessionLog::write(const char* event, const std::string& fields) {
  std::lock_guard lock(mutex_);
  if (file_ == nullptr) return;
  const Clock::TimePoint now = engine_ != nullptr ? engine_->clock.now() : origin_;
  const double ms = std::chrono::duration<double, std::milli>(now - origin_).count();
  std::fprintf(file_, "{\"t_ms\":%.3f,\"event\":\"%s\"%s%s}\n", ms, event,
               fields.empty() ? "" : ",", fields.c_str());
  std::fflush(file_);
}

std::string SessionLog::Quote(const std::string& text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04X", u);
      out += escaped;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string SessionLog::HexBytes(const uint8_t* bytes, std::size_t count) {
  std::string text;
  char digits[4];
  for (std::size_t i = 0; i < count; ++i) {
    std::snprintf(digits, sizeof digits, "%02X", bytes[i]);
    if (i > 0) text += ' ';
    text += digits;
  }
  return Quote(text);
}

void SessionLog::onEvent(const EngineEvent& event) {
  const auto at = [this, &event] {
    return std::to_string(
        std::chrono::duration_cast<std::chrono::microseconds>(event.at - origin_).count() / 1000.0);
  };
  using K = EngineEvent::Kind;
  switch (event.kind) {
    case K::IdentifyRequest: {
      const PortPairNames ports = engine_->port.names();
      write("ports", "\"in\":{\"index\":" + std::to_string(ports.inputIndex) +
                         ",\"name\":" + Quote(ports.input) +
                         "},\"out\":{\"index\":" + std::to_string(ports.outputIndex) +
                         ",\"name\":" + Quote(ports.output) + "}");
      write("identify_request", "\"bytes\":" + HexBytes(event.bytes, event.byteCount));
      break;
    }
    case K::IdentifyReply:
      write("identify_reply", "\"bytes\":" + HexBytes(event.bytes, event.byteCount));
      break;
    case K::Piece:
      write("send", "\"piece\":" + std::to_string(event.piece) +
                        ",\"offset\":" + std::to_string(event.offset) +
                        ",\"length\":" + std::to_string(event.length) + ",\"start_ms\":" + at());
      break;
    case K::Pause:
      write("pause", "\"ms\":" + std::to_string(event.length));
      break;
    case K::EchoProgress:
      write("echo", "\"verified\":" + std::to_string(event.offset));
      break;
    case K::Difference: {
      const EchoDifference& d = event.difference;
      write("difference",
            "\"kind\":" + Quote(DifferenceKindName(d.kind)) +
                ",\"offset\":" + std::to_string(d.offset) +
                ",\"piece\":" + std::to_string(d.piece) + ",\"sent\":" + ByteOrNull(d.sent) +
                ",\"echoed\":" + ByteOrNull(d.echoed) + ",\"cause\":" + Quote(CauseName(d.cause)));
      break;
    }
    case K::NoEcho:
      write("no_echo", "\"verified\":false");
      break;
    case K::Stopped:
      write("stopped", "\"offset\":" + std::to_string(event.offset));
      break;
    case K::Outcome:
      write("outcome", "\"outcome\":" + Quote(event.text != nullptr ? event.text : "") +
                           ",\"echo_verified\":" + std::to_string(event.offset) +
                           ",\"bytes_logged\":" + std::to_string(event.length) +
                           ",\"echo_missing\":" + (engine_->echoMissing ? "true" : "false"));
      break;
  }
}

const char* DifferenceKindName(EchoDifference::Kind kind) {
  switch (kind) {
    case EchoDifference::Kind::Differs:
      return "differs";
    case EchoDifference::Kind::Beyond:
      return "beyond";
    case EchoDifference::Kind::OtherInput:
      return "other_input";
    case EchoDifference::Kind::EchoStopped:
      return "echo_stopped";
    case EchoDifference::Kind::Undelivered:
      return "undelivered";
    case EchoDifference::Kind::None:
      break;
  }
  return "none";
}

std::string DescribeDifference(const EchoDifference& d) {
  const std::string where =
      "stream byte " + std::to_string(d.offset) + " (piece " + std::to_string(d.piece) + ")";
  const std::string sent = d.sent < 0 ? "nothing" : HexByte(d.sent);
  switch (d.kind) {
    case EchoDifference::Kind::None:
      return "";
    case EchoDifference::Kind::Differs:
      return "First difference at " + where + ": sent " + sent + ", echoed " + HexByte(d.echoed);
    case EchoDifference::Kind::Beyond:
      return "First difference at " + where + ": the device echoed " + HexByte(d.echoed) +
             " past the last byte sent";
    case EchoDifference::Kind::OtherInput:
      return "First difference at " + where + ": sent " + sent +
             ", the device sent a message that is not echo (status " + HexByte(d.echoed) + ")";
    case EchoDifference::Kind::EchoStopped:
      return "First difference at " + where + ": sent " + sent +
             ", the device's echo stopped before it";
    case EchoDifference::Kind::Undelivered:
      return "Stream broken at " + where + ": the MIDI service did not deliver the piece " +
             "starting with " + sent + " (refused, or never reported sent)";
  }
  return "";
}

}  // namespace varnet
