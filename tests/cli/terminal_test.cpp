// The progress display on a terminal: what it shows and when it keeps still.
#include "cli/terminal.h"

#include <gtest/gtest.h>

#include <chrono>
#include <sstream>

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

}  // namespace
}  // namespace varnet
