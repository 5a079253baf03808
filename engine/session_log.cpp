#include "engine/session_log.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <nlohmann/json.hpp>
#include <system_error>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

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

// The log's file, written with one system call per line so that a line is either whole or
// reported as failed. On POSIX it is opened without blocking and stays so: a FIFO that no
// program reads is refused at once, and one whose reader stops reading fails the record instead
// of holding up the update.
struct SessionLog::File {
#ifdef _WIN32
  std::FILE* stream = nullptr;
  ~File() {
    if (stream != nullptr) std::fclose(stream);
  }
  bool open(const std::string& path, std::string& error) {
    stream = std::fopen(path.c_str(), "ab");
    if (stream == nullptr) error = std::strerror(errno);
    return stream != nullptr;
  }
  bool write(const std::string& line, std::string& error) {
    if (std::fwrite(line.data(), 1, line.size(), stream) == line.size() &&
        std::fflush(stream) == 0) {
      return true;
    }
    error = std::strerror(errno);
    return false;
  }
#else
  int fd = -1;
  ~File() {
    if (fd >= 0) ::close(fd);
  }
  bool open(const std::string& path, std::string& error) {
    fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
    if (fd >= 0) return true;
    error = errno == ENXIO ? "a FIFO that no program reads" : std::strerror(errno);
    return false;
  }
  bool write(const std::string& line, std::string& error) {
    std::size_t done = 0;
    while (done < line.size()) {
      const ssize_t n = ::write(fd, line.data() + done, line.size() - done);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
      } else if (n < 0 && errno == EINTR) {
        continue;
      } else {
        error = n < 0 && errno == EAGAIN ? "its reader does not keep up"
                : n < 0                  ? std::strerror(errno)
                                         : "nothing was written";
        return false;
      }
    }
    return true;
  }
#endif
};

SessionLog::SessionLog() = default;

SessionLog::~SessionLog() {
  detach();
}

namespace {

// Why the log may not be `path`: standard output carries the program's own lines, and the
// firmware file must survive the record (named by a link or another spelling too).
std::string Refusal(const std::string& path, const std::string& firmware) {
  if (path == "-") return "the record cannot go to standard output; name a file";
  std::error_code ec;
  if (!firmware.empty() && std::filesystem::equivalent(path, firmware, ec)) {
    return "that is the firmware file";
  }
  return {};
}

}  // namespace

bool SessionLog::openFile(std::string& error) {
  error = Refusal(path_, engine_ != nullptr ? engine_->image.sourcePath : std::string());
  if (!error.empty()) return false;
  auto file = std::make_unique<File>();
  if (!file->open(path_, error)) return false;
  file_ = std::move(file);
  return true;
}

void SessionLog::fail(const std::string& reason) {
  if (failed_) return;
  failed_ = true;
  file_.reset();
  incomplete_ = reason;
}

bool SessionLog::open(const std::string& path, Engine& engine, std::string& error) {
  std::lock_guard lock(mutex_);
  file_.reset();
  path_ = path;
  engine_ = &engine;
  deferred_ = false;
  if (!openFile(error)) {
    engine_ = nullptr;
    return false;
  }
  origin_ = sessionStart_ = engine.clock.now();
  engine.observer = [this](const EngineEvent& event) { onEvent(event); };
  return true;
}

void SessionLog::openAtSessionStart(const std::string& path, Engine& engine) {
  std::lock_guard lock(mutex_);
  file_.reset();
  path_ = path;
  engine_ = &engine;
  deferred_ = true;
  origin_ = sessionStart_ = engine.clock.now();
  engine.observer = [this](const EngineEvent& event) { onEvent(event); };
}

void SessionLog::detach() {
  std::lock_guard lock(mutex_);
  if (engine_ != nullptr) engine_->observer = nullptr;
  engine_ = nullptr;
}

void SessionLog::write(const char* event, const std::string& fields) {
  std::lock_guard lock(mutex_);
  writeLocked(event, fields);
}

void SessionLog::writeLocked(const char* event, const std::string& fields) {
  if (failed_ || file_ == nullptr) return;
  const Clock::TimePoint now = engine_ != nullptr ? engine_->clock.now() : origin_;
  const double ms = std::chrono::duration<double, std::milli>(now - origin_).count();
  char stamp[48];
  std::snprintf(stamp, sizeof stamp, "{\"t_ms\":%.3f,\"event\":", ms);
  const std::string line = stamp + Quote(event) + (fields.empty() ? "" : ",") + fields + "}\n";
  std::string error;
  if (!file_->write(line, error)) fail(error);
}

std::string SessionLog::takeIncomplete() {
  std::lock_guard lock(mutex_);
  if (!failed_ || told_) return {};
  told_ = true;
  return incomplete_;
}

std::string SessionLog::Quote(const std::string& text) {
  return nlohmann::json(text).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
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
  std::unique_lock lock(mutex_);
  if (event.kind == K::IdentifyRequest) {
    sessionStart_ = event.at;
    std::string error;
    if (deferred_ && file_ == nullptr && !failed_ && !openFile(error)) {
      fail(error);
    } else if (file_ != nullptr) {
      // A firmware chosen after the log was opened may be the log itself.
      error = Refusal(path_, engine_->image.sourcePath);
      if (!error.empty()) fail(error);
    }
  }
  const auto write = [this](const char* name, const std::string& fields) {
    writeLocked(name, fields);
  };
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
      if (afterOutcome) {
        const Clock::Duration sessionTime = engine_->clock.now() - sessionStart_;
        lock.unlock();
        afterOutcome(event.text != nullptr ? event.text : "", sessionTime);
      }
      break;
  }
}

std::string SummaryLine(uint64_t bytes, uint64_t messages, uint32_t echoVerified,
                        Clock::Duration elapsed) {
  const auto count = [](uint64_t n, const char* one, const char* many) {
    return std::to_string(n) + " " + (n == 1 ? one : many);
  };
  char seconds[32];
  std::snprintf(
      seconds, sizeof seconds, "%.1f",
      static_cast<double>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count()) /
          1000.0);
  return "Sent " + count(bytes, "byte", "bytes") + " in " + count(messages, "message", "messages") +
         ", " + count(echoVerified, "echo byte", "echo bytes") + " verified, elapsed " + seconds +
         " s";
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
