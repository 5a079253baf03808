// A record of update sessions as JSON Lines, one object per line, written and flushed as things
// happen so that a crash or a kill keeps everything up to that moment. Fed by the engine's
// observer (EngineEvent); the front ends add what only they know (varnet-flash --log, the
// window with VARNET_LOG=FILE).
//
// Every line has "t_ms", milliseconds on the session's clock since the log was opened, and
// "event": ports, identify_request, identify_reply, send, pause, echo, difference, no_echo,
// stopped, outcome, and whatever a front end writes itself (summary).
#pragma once

#include <cstdio>
#include <mutex>
#include <string>

#include "engine/engine.h"

namespace varnet {

class SessionLog {
 public:
  SessionLog() = default;
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // Opens (truncates) `path` and subscribes to `engine`'s events; false, with the system's
  // reason in `error`, when the file cannot be opened. The log must outlive the subscription:
  // detach() (or the destructor) before the engine goes, and only while no session runs (the
  // observer is called on the worker thread).
  bool open(const std::string& path, Engine& engine, std::string& error);
  void detach();

  // Writes {"t_ms":..,"event":"<event>",<fields>}; `fields` is JSON members without braces (may
  // be empty). Thread-safe.
  void write(const char* event, const std::string& fields);

  // JSON helpers for callers building fields.
  static std::string Quote(const std::string& text);
  static std::string HexBytes(const uint8_t* bytes, std::size_t count);

 private:
  void onEvent(const EngineEvent& event);

  std::mutex mutex_;
  std::FILE* file_ = nullptr;
  Engine* engine_ = nullptr;
  Clock::TimePoint origin_{};
};

// The kind of a difference as the record and --json name it: "differs", "beyond", "other_input",
// "echo_stopped", "undelivered" ("none" for none).
const char* DifferenceKindName(EchoDifference::Kind kind);

// A one-line description of where the echo first went wrong, for the terminal; empty when it
// did not.
std::string DescribeDifference(const EchoDifference& difference);

}  // namespace varnet
