// The progress display on a terminal: what it shows and when it keeps still.
#include "cli/terminal.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <sstream>
#include <vector>

#ifndef _WIN32
#include <unistd.h>
#endif

namespace varnet {
namespace {

// Only stream bytes against the stream's total, whatever the engine's counter holds before the
// stream begins (the identify request and the header) or after it (the end byte).
TEST(ProgressBar, NeverShowsMoreThanTheStream) {
  struct Case {
    uint32_t sent;
    uint64_t total;
    const char* shown;
  };
  for (const Case& c :
       {Case{0, 4, " 0/4 bytes"}, Case{2, 4, " 2/4 bytes"}, Case{18, 4, " 4/4 bytes"},
        Case{5, 4, " 4/4 bytes"}, Case{1, 0, " 0/0 bytes"}}) {
    const std::string bar = ProgressPrinter::FormatBar({c.sent, Running, 0}, c.total, 0);
    EXPECT_NE(bar.find(c.shown), std::string::npos) << bar;
  }
}

// The redraw would wipe a question from the line the user types the answer on.
TEST(ProgressBar, KeepsStillWhileAQuestionIsOpen) {
  for (const bool terminal : {true, false}) {
    std::ostringstream out;
    std::ostringstream err;
    Console console{out, err};
    ProgressPrinter progress(console, terminal, 100, 1000);
    console.questionOpen = true;
    progress.show({10, Running, 0}, std::chrono::milliseconds(100), 0);
    EXPECT_EQ(out.str(), "");
    console.questionOpen = false;
    progress.show({10, Running, 0}, std::chrono::milliseconds(100), 5000);
    EXPECT_NE(out.str().find("10/100 bytes"), std::string::npos) << out.str();
  }
}

#ifndef _WIN32
// A question only an option answers Yes is never asked on the terminal: --yes, or a "y" waiting
// on standard input (a script that answers every question), must not agree to it.
TEST(CliPrompts, AQuestionAnOptionAnswersIsNotAskedAndNoWithoutTheOption) {
  struct Case {
    bool yes;
    std::vector<std::string> options;
    BoxAnswer answer;
  };
  for (const Case& c : {Case{false, {}, BoxAnswer::No}, Case{true, {}, BoxAnswer::No},
                        Case{true, {"--other"}, BoxAnswer::No},
                        Case{false, {"--allow-other-senders"}, BoxAnswer::Yes}}) {
    int input[2];
    ASSERT_EQ(pipe(input), 0);
    ASSERT_EQ(write(input[1], "y\ny\n", 4), 4);
    std::ostringstream out;
    std::ostringstream err;
    Console console{out, err};
    std::atomic<int> raised{0};
    InterruptCounter interrupts{raised};
    CliPrompts prompts(console, input[0], interrupts, c.yes);
    prompts.agreedOptions = c.options;
    BoxRequest question{"Other programs send", "Other senders", BoxIcon::Warning,
                        BoxButtons::YesNo};
    question.defaultNo = true;
    question.agreeOption = "--allow-other-senders";
    EXPECT_EQ(prompts.showBox(question), c.answer);
    EXPECT_NE(err.str().find("--allow-other-senders"), std::string::npos) << err.str();
    // The answers on standard input are still there for the warning that follows.
    char left[4] = {};
    EXPECT_EQ(read(input[0], left, sizeof left), 4);
    close(input[0]);
    close(input[1]);
  }
}
#endif

}  // namespace
}  // namespace varnet
