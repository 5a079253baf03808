// A record of update sessions as JSON Lines, one object per line, written and flushed as things
// happen so that a crash or a kill keeps everything up to that moment. Fed by the engine's
// observer (EngineEvent); the front ends add what only they know (varnet-flash --log, the
// window with VARNET_LOG=FILE).
//
// Every line has "t_ms", milliseconds on the session's clock since the log was opened, and
// "event": ports, identify_request, identify_reply, send, pause, echo, difference, no_echo,
// stopped, outcome, and whatever a front end writes itself (summary).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "engine/engine.h"

namespace varnet {

// The record is appended to, never truncated: a log named after a file that matters (a firmware
// file, spelt another way) loses nothing, and several runs share one file, each session
// beginning with its "ports" line. A log that names the firmware of the session, "-", or a FIFO
// that no program reads is refused; one that fails while written (a full disk, a reader gone) is
// given up for the rest of the run, and takeIncomplete() says why, once.
class SessionLog {
 public:
  SessionLog();
  ~SessionLog();
  SessionLog(const SessionLog&) = delete;
  SessionLog& operator=(const SessionLog&) = delete;

  // Opens `path` now and subscribes to `engine`'s events; false, with the reason in `error`,
  // when it is refused or cannot be opened. The log must outlive the subscription: detach() (or
  // the destructor) before the engine goes, and only while no session runs (the observer is
  // called on the worker thread).
  bool open(const std::string& path, Engine& engine, std::string& error);
  // The same, with the file opened when a session starts (its first event), so that the firmware
  // it must not be is known; a refused or failed open leaves that session's record incomplete.
  void openAtSessionStart(const std::string& path, Engine& engine);
  void detach();

  // Writes {"t_ms":..,"event":"<event>",<fields>}; `fields` is JSON members without braces (may
  // be empty). Thread-safe.
  void write(const char* event, const std::string& fields);

  // Why the record is incomplete (a refused open, a failed write), the first time it is asked
  // after that happened; empty otherwise.
  std::string takeIncomplete();

  // Called after the outcome line, on the thread that reported it, with the outcome's word and
  // the time since the session's first event: the window writes its summary line there.
  std::function<void(const std::string& outcome, Clock::Duration sessionTime)> afterOutcome;

  // JSON helpers for callers building fields. Bytes that are not UTF-8 become U+FFFD, as in
  // every JSON varnet-flash writes.
  static std::string Quote(const std::string& text);
  static std::string HexBytes(const uint8_t* bytes, std::size_t count);

 private:
  struct File;
  bool openFile(std::string& error);     // mutex_ held
  void fail(const std::string& reason);  // mutex_ held
  void writeLocked(const char* event, const std::string& fields);
  void onEvent(const EngineEvent& event);

  std::mutex mutex_;
  std::unique_ptr<File> file_;
  std::string path_;
  bool deferred_ = false;  // opened at the next session start
  bool failed_ = false;    // nothing more is written
  std::string incomplete_;
  bool told_ = false;
  Engine* engine_ = nullptr;
  Clock::TimePoint origin_{};
  Clock::TimePoint sessionStart_{};
};

// "Sent N bytes in M messages, E echo bytes verified, elapsed T s" (singular for one), the
// summary line that ends an update on the terminal and in the record.
std::string SummaryLine(uint64_t bytes, uint64_t messages, uint32_t echoVerified,
                        Clock::Duration elapsed);

// The kind of a difference as the record and --json name it: "differs", "beyond", "other_input",
// "echo_stopped", "undelivered" ("none" for none).
const char* DifferenceKindName(EchoDifference::Kind kind);

// A one-line description of where the echo first went wrong, for the terminal; empty when it
// did not.
std::string DescribeDifference(const EchoDifference& difference);

}  // namespace varnet
