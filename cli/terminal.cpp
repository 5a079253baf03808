#include "cli/terminal.h"

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <io.h>
#include <windows.h>
#else
#include <poll.h>
#endif
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>

namespace varnet {

void Console::endBarLine() {
  if (!barOnLine) return;
  out << "\n";
  out.flush();
  barOnLine = false;
}

bool InterruptCounter::takeNew() {
  const int now = raised.load();
  if (now == acknowledged) return false;
  acknowledged = now;
  return true;
}

namespace {

std::string Lowered(std::string text) {
  // Trailing carriage return of a line typed on another system's terminal.
  while (!text.empty() && (text.back() == '\r' || text.back() == ' ')) text.pop_back();
  while (!text.empty() && text.front() == ' ') text.erase(text.begin());
  std::transform(text.begin(), text.end(), text.begin(),
                 [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
  return text;
}

constexpr int kPumpMs = 20;
// The longest answer taken as one line: endless input without line ends (`< /dev/zero`) is cut
// into answers of this size, each of them unclear, instead of being gathered for ever.
constexpr std::size_t kMaxAnswerLength = 256;
constexpr int kAskAtMost = 3;

#ifdef _WIN32
// Windows has no poll() on standard input. Like poll: 1 when a read will not block (input, end
// of input or an error), 0 after `ms` with nothing to read.
int WaitForInput(int fd, int ms) {
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(fd));
  if (handle == INVALID_HANDLE_VALUE) return 1;
  switch (GetFileType(handle)) {
    case FILE_TYPE_PIPE: {
      DWORD available = 0;
      if (!PeekNamedPipe(handle, nullptr, 0, nullptr, &available, nullptr)) return 1;  // closed
      if (available > 0) return 1;
      Sleep(static_cast<DWORD>(ms));
      return 0;
    }
    case FILE_TYPE_CHAR: {
      // A console: only a key press means a line is being typed; focus and mouse events would
      // leave the read blocked, so they are taken out of the way.
      if (WaitForSingleObject(handle, static_cast<DWORD>(ms)) != WAIT_OBJECT_0) return 0;
      INPUT_RECORD record;
      DWORD count = 0;
      while (PeekConsoleInputA(handle, &record, 1, &count) && count == 1) {
        if (record.EventType == KEY_EVENT && record.Event.KeyEvent.bKeyDown) return 1;
        ReadConsoleInputA(handle, &record, 1, &count);
      }
      return 0;
    }
    default:
      return 1;  // a file: reads never wait
  }
}
#endif

}  // namespace

CliPrompts::Reply CliPrompts::waitForReply(std::string& line, bool waitPastEndOfInput) {
  for (;;) {
    const std::size_t newline = pending_.find('\n');
    if (newline != std::string::npos && newline <= kMaxAnswerLength) {
      line = pending_.substr(0, newline);
      pending_.erase(0, newline + 1);
      return Reply::Line;
    }
    if (pending_.size() >= kMaxAnswerLength) {
      line = pending_.substr(0, kMaxAnswerLength);
      pending_.erase(0, kMaxAnswerLength);
      return Reply::Line;
    }
    if (interrupts_.takeNew()) return Reply::Interrupt;
    if (sessionQuestionClosed_ || (pump && !pump())) return Reply::Moot;
    if (endOfInput_) {
      // Nothing more will be typed. The cancel question still waits for Ctrl-C (or for the
      // session to end), so that a run with no input can be cancelled all the same.
      if (!pump || !waitPastEndOfInput) return Reply::EndOfInput;
#ifdef _WIN32
      Sleep(kPumpMs);
#else
      pollfd none{-1, 0, 0};
      poll(&none, 0, kPumpMs);
#endif
      continue;
    }
#ifdef _WIN32
    const int ready = WaitForInput(inputFd_, kPumpMs);
#else
    pollfd input{inputFd_, POLLIN, 0};
    const int ready = poll(&input, 1, kPumpMs);
#endif
    if (ready < 0) {
      if (errno == EINTR) continue;  // Ctrl-C: seen at the top of the loop
      endOfInput_ = true;
      continue;
    }
    if (ready == 0) continue;
    char bytes[256];
    const ssize_t count = read(inputFd_, bytes, sizeof bytes);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) {
      endOfInput_ = true;
      if (!pending_.empty()) {
        line = pending_;
        pending_.clear();
        return Reply::Line;
      }
      continue;
    }
    pending_.append(bytes, static_cast<std::size_t>(count));
  }
}

CliPrompts::Reply CliPrompts::ask(const char* prompt, bool waitPastEndOfInput,
                                  const std::function<bool(const std::string&)>& clear) {
  struct QuestionOpen {
    Console& console;
    explicit QuestionOpen(Console& c) : console(c) { console.questionOpen = true; }
    ~QuestionOpen() { console.questionOpen = false; }
  } open(console_);
  for (int attempt = 1;; ++attempt) {
    console_.err << prompt;
    console_.err.flush();
    std::string line;
    const Reply reply = waitForReply(line, waitPastEndOfInput);
    if (reply != Reply::Line || clear(Lowered(line))) return reply;
    if (attempt == kAskAtMost) return Reply::Unclear;
  }
}

BoxAnswer CliPrompts::showBox(const BoxRequest& request) {
  console_.endBarLine();
  console_.err << request.caption << ": " << request.text << "\n";
  console_.err.flush();

  if (request.agreeOption != nullptr) {
    // Not asked on the terminal: a script that answers every question with yes must not agree
    // to this one by accident.
    const std::string option = request.agreeOption;
    if (std::find(agreedOptions.begin(), agreedOptions.end(), option) != agreedOptions.end()) {
      console_.err << "(answered Yes: " << option << ")\n";
      return BoxAnswer::Yes;
    }
    console_.err << "(answered No: pass " << option << " to go ahead all the same)\n";
    return BoxAnswer::No;
  }
  switch (request.buttons) {
    case BoxButtons::Ok:
      return BoxAnswer::Ok;
    case BoxButtons::YesNo:
      return answerYesNo();
    case BoxButtons::OkCancel:
      return answerOkCancel(request.aboutSession);
  }
  return BoxAnswer::Cancel;
}

BoxAnswer CliPrompts::answerYesNo() {
  // A Ctrl-C while the device was being asked who it is: the user wants out before anything
  // of the update has been sent, --yes or not.
  if (terminating()) {
    interrupts_.takeNew();
    console_.err << "(terminating: No)\n";
    return BoxAnswer::No;
  }
  if (interrupts_.takeNew()) {
    console_.err << "(interrupted: No)\n";
    return BoxAnswer::No;
  }
  if (yes_) {
    console_.err << "(answered Yes: --yes)\n";
    return BoxAnswer::Yes;
  }
  // Enter takes the default, No; anything else that is not a yes or a no is asked again.
  BoxAnswer answer = BoxAnswer::No;
  const Reply reply = ask("Answer yes or no [y/N]: ", false, [&answer](const std::string& text) {
    answer = text == "y" || text == "yes" ? BoxAnswer::Yes : BoxAnswer::No;
    return text.empty() || text == "y" || text == "yes" || text == "n" || text == "no";
  });
  switch (reply) {
    case Reply::Line:
      return answer;
    case Reply::Interrupt:
      console_.err << "\n(interrupted: No)\n";
      return BoxAnswer::No;
    case Reply::EndOfInput:
      console_.err << "\n(end of input: No)\n";
      return BoxAnswer::No;
    case Reply::Unclear:
      console_.err << "(no clear answer: No)\n";
      return BoxAnswer::No;
    case Reply::Moot:
      console_.err << "\n(no answer: No)\n";
      return BoxAnswer::No;
  }
  return BoxAnswer::No;
}

BoxAnswer CliPrompts::answerOkCancel(bool aboutSession) {
  if (terminating()) {
    interrupts_.takeNew();
    console_.err << "(terminating: OK)\n";
    return BoxAnswer::Ok;
  }
  BoxAnswer answer = BoxAnswer::Cancel;
  const auto clear = [&answer](const std::string& text) {
    answer = text == "ok" || text == "y" || text == "yes" ? BoxAnswer::Ok : BoxAnswer::Cancel;
    return text.empty() || answer == BoxAnswer::Ok || text == "cancel" || text == "n" ||
           text == "no";
  };
  sessionQuestionOpen_ = aboutSession;
  sessionQuestionClosed_ = false;
  const Reply reply =
      ask("Type ok (or press Ctrl-C again) for OK, Enter for Cancel: ", true, clear);
  const bool noted = sessionQuestionClosed_;
  sessionQuestionOpen_ = false;
  sessionQuestionClosed_ = false;
  switch (reply) {
    case Reply::Interrupt:
      console_.err << "\n(Ctrl-C: OK)\n";
      return BoxAnswer::Ok;
    case Reply::Moot:
      if (!noted) console_.err << "\n(the update has ended meanwhile: Cancel)\n";
      return BoxAnswer::Cancel;
    case Reply::EndOfInput:
      console_.err << "\n(end of input: Cancel)\n";
      return BoxAnswer::Cancel;
    case Reply::Unclear:
      console_.err << "(no clear answer: Cancel)\n";
      return BoxAnswer::Cancel;
    case Reply::Line:
      return answer;
  }
  return BoxAnswer::Cancel;
}

void CliPrompts::closeSessionQuestions() {
  if (!sessionQuestionOpen_ || sessionQuestionClosed_) return;
  sessionQuestionClosed_ = true;
  console_.err << "\n(the update has ended meanwhile: Cancel)\n";
  console_.err.flush();
}

std::string ProgressPrinter::FormatBar(const ProgressSample& sample, uint64_t streamBytes,
                                       uint64_t msLeft) {
  constexpr int kWidth = 30;
  // Only stream bytes count, and never more than the stream has.
  const uint64_t sent = std::min<uint64_t>(sample.bytesSent, streamBytes);
  const uint64_t total = std::max<uint64_t>(streamBytes, 1);
  const uint64_t percent = std::min<uint64_t>(100, sent * 100 / total);
  const int filled = static_cast<int>(percent * kWidth / 100);
  // Appended piece by piece: GCC 12 at -O3 sees a false overlap in the chain of operator+.
  std::string text = "[";
  text.append(filled, '#').append(kWidth - filled, '.').append("] ");
  char tail[96];
  if (sample.aborted != 0) {
    std::snprintf(tail, sizeof tail, "%3u%%  %llu/%llu bytes  Please wait...",
                  static_cast<unsigned>(percent), static_cast<unsigned long long>(sent),
                  static_cast<unsigned long long>(streamBytes));
  } else {
    const uint64_t seconds = (msLeft + 999) / 1000;
    std::snprintf(tail, sizeof tail, "%3u%%  %llu/%llu bytes  %llu:%02llu left",
                  static_cast<unsigned>(percent), static_cast<unsigned long long>(sent),
                  static_cast<unsigned long long>(streamBytes),
                  static_cast<unsigned long long>(seconds / 60),
                  static_cast<unsigned long long>(seconds % 60));
  }
  return text + tail;
}

void ProgressPrinter::show(const ProgressSample& sample, Clock::Duration elapsed, uint64_t wallMs) {
  const uint64_t elapsedMs =
      static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(elapsed).count());
  const uint64_t msLeft = streamMs_ > elapsedMs ? streamMs_ - elapsedMs : 0;
  if (console_.questionOpen) return;
  const std::string text = FormatBar(sample, streamBytes_, msLeft);
  if (terminal_) {
    if (text == lastText_ && console_.barOnLine) return;
    console_.out << "\r" << text << "\x1b[K";
    console_.out.flush();
    console_.barOnLine = true;
  } else {
    if (shownOnce_ && wallMs < lastLineWallMs_ + 1000) return;
    console_.out << text << "\n";
    console_.out.flush();
    lastLineWallMs_ = wallMs;
    shownOnce_ = true;
  }
  lastText_ = text;
}

}  // namespace varnet
