// The update session on a terminal: boxes become "Caption: text" lines on standard error,
// questions are answered on standard input (or by Ctrl-C), and the progress area becomes a
// progress bar or, where the output is not a terminal, plain lines at most once a second.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <vector>

#include "core/clock.h"
#include "core/prompts.h"
#include "engine/session.h"

namespace varnet {

// The two output streams and whether a progress bar occupies the current line of the
// terminal, so that a box or the summary starts on a line of its own.
struct Console {
  std::ostream& out;
  std::ostream& err;
  bool barOnLine = false;
  // While a question waits for its answer the progress display keeps still: its redraw would
  // wipe the question from the line the user types on.
  bool questionOpen = false;

  void endBarLine();
};

// Interrupts (Ctrl-C) counted by the signal handler and acknowledged by the program.
struct InterruptCounter {
  const std::atomic<int>& raised;
  int acknowledged = 0;

  // True, and acknowledged, when an interrupt arrived since the last one acknowledged.
  bool takeNew();
};

class CliPrompts final : public Prompts {
 public:
  // `inputFd`: where answers are read (standard input). `yesToWarning`: the warning before the
  // stream (the only Yes / No question) is answered Yes without asking.
  CliPrompts(Console& console, int inputFd, InterruptCounter& interrupts, bool yesToWarning)
      : console_(console), inputFd_(inputFd), interrupts_(interrupts), yes_(yesToWarning) {}

  BoxAnswer showBox(const BoxRequest& request) override;
  // Ends an open cancel question with Cancel, saying so before the session prints its outcome.
  void closeSessionQuestions() override;

  // Called about every 20 ms while a question waits for its answer, as a window's timer keeps
  // firing under an owner-less box. Returns false when the question has lost its object (the
  // session it asks about has ended); it is then answered with its negative button.
  std::function<bool()> pump;

  // Nonzero once the program was told to terminate (SIGTERM, SIGHUP): the warning is answered
  // No and the cancel question OK without asking.
  const std::atomic<int>* terminations = nullptr;

  // The options given that answer a question Yes (BoxRequest::agreeOption).
  std::vector<std::string> agreedOptions;

 private:
  enum class Reply { Line, Interrupt, EndOfInput, Moot, Unclear };
  // The warning before the stream (Yes / No) and the cancel question (OK / Cancel), once the box's
  // text is on the terminal.
  BoxAnswer answerYesNo();
  BoxAnswer answerOkCancel(bool aboutSession);
  Reply waitForReply(std::string& line, bool waitPastEndOfInput);
  // Asks `prompt` until the answer is one of the clear ones (`clear` returns true and sets the
  // answer), at most three times: `Reply::Line` when it was clear, `Reply::Unclear` after three
  // answers that were not.
  Reply ask(const char* prompt, bool waitPastEndOfInput,
            const std::function<bool(const std::string&)>& clear);
  bool terminating() const { return terminations != nullptr && terminations->load() != 0; }

  Console& console_;
  int inputFd_;
  InterruptCounter& interrupts_;
  bool yes_;
  bool endOfInput_ = false;
  std::string pending_;  // bytes read past the last line
  bool sessionQuestionOpen_ = false;
  bool sessionQuestionClosed_ = false;  // closed by closeSessionQuestions: answer Cancel
};

// The session's view on a terminal: captions and button states have no place there, the
// progress area is repainted by the program's loop after each tick that asked for it.
class CliSessionView final : public SessionView {
 public:
  void setRunUpdateCaption(const std::string& caption) override { runUpdateCaption = caption; }
  void setRunUpdateEnabled(bool enabled) override { runUpdateEnabled = enabled; }
  void setSelectFileEnabled(bool enabled) override { selectFileEnabled = enabled; }
  void invalidateProgress() override { progressDirty = true; }
  bool startProgressTimer() override {
    timerRunning = true;
    return true;
  }
  void killProgressTimer() override { timerRunning = false; }

  std::string runUpdateCaption = "Run Update";
  bool runUpdateEnabled = true;
  bool selectFileEnabled = true;
  bool progressDirty = false;
  bool timerRunning = false;
};

// What the progress display shows, taken from the engine's words.
struct ProgressSample {
  uint32_t bytesSent = 0;
  int32_t sessionState = Idle;
  uint32_t aborted = 0;
};

class ProgressPrinter {
 public:
  // `streamBytes` and `streamMs`: what the whole stream sends and how long it takes (estimate).
  ProgressPrinter(Console& console, bool terminal, uint64_t streamBytes, uint64_t streamMs)
      : console_(console), terminal_(terminal), streamBytes_(streamBytes), streamMs_(streamMs) {}

  // `elapsed`: time since the stream began, on the session's clock; `wallMs`: a real-time
  // stamp that limits how often lines are written where the output is not a terminal.
  void show(const ProgressSample& sample, Clock::Duration elapsed, uint64_t wallMs);

  static std::string FormatBar(const ProgressSample& sample, uint64_t streamBytes, uint64_t msLeft);

 private:
  Console& console_;
  bool terminal_;
  uint64_t streamBytes_;
  uint64_t streamMs_;
  bool shownOnce_ = false;
  uint64_t lastLineWallMs_ = 0;
  std::string lastText_;
};

}  // namespace varnet
