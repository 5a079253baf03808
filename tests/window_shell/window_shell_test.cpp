// The records both windows run on: VARNET_LOG opens the session log, and a log that cannot be
// opened leaves a window that still runs.
#include "ui-common/window_shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include "midi/platform_base.h"

namespace varnet {
namespace {

struct SilentPrompts final : Prompts {
  BoxAnswer showBox(const BoxRequest& request) override {
    texts.push_back(request.text);
    return BoxAnswer::Ok;
  }
  std::vector<std::string> texts;
};

void SetLogVariable(const std::string& value) {
#ifdef _WIN32
  _putenv_s("VARNET_LOG", value.c_str());  // an empty value removes it
#else
  if (value.empty()) {
    unsetenv("VARNET_LOG");
  } else {
    setenv("VARNET_LOG", value.c_str(), 1);
  }
#endif
}

std::string Contents(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(WindowRecords, VarnetLogOpensTheSessionLogAndAFailedOpenIsOnlyReported) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "window_shell";
  std::filesystem::create_directories(dir);
  const std::filesystem::path log = dir / "session.jsonl";
  struct Case {
    std::string variable;
    bool logWritten;
    bool reported;
  };
  for (const Case& c : {Case{"", false, false}, Case{log.string(), true, false},
                        Case{(dir / "missing" / "x.jsonl").string(), false, true}}) {
    SCOPED_TRACE(c.variable);
    { std::ofstream(log) << "an earlier run\n"; }
    SetLogVariable(c.variable);
    UnsupportedMidiPlatform platform;
    SilentPrompts prompts;
    ::testing::internal::CaptureStderr();
    {
      WindowRecords records(platform, prompts);
      EXPECT_EQ(records.engine.midi, &records.midi);
      records.sessionLog.write("summary", "");
    }
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(stderrText.find("VARNET_LOG") != std::string::npos, c.reported) << stderrText;
    const std::string written = Contents(log);
    EXPECT_EQ(written.find("an earlier run") == std::string::npos, c.logWritten);
    EXPECT_EQ(written.find("\"summary\"") != std::string::npos, c.logWritten) << written;
  }
  SetLogVariable("");
}

// A chosen file that cannot be read is reported in a sentence that says what happened and what
// to do, with the system's reason inside it, and leaves no firmware loaded.
TEST(ChosenFirmware, UnreadableFileIsToldInASentenceAndLeavesNothingLoaded) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "chosen_file";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir / "folder.jtg");
  std::vector<std::filesystem::path> paths = {dir / "missing.jtg", dir / "folder.jtg"};
#ifndef _WIN32
  ASSERT_EQ(mkfifo((dir / "pipe.jtg").c_str(), 0600), 0);
  paths.push_back(dir / "pipe.jtg");
#endif
  for (const std::filesystem::path& path : paths) {
    SCOPED_TRACE(path.string());
    SetLogVariable("");
    UnsupportedMidiPlatform platform;
    SilentPrompts prompts;
    WindowRecords records(platform, prompts);
    ShellState shell;
    LoadChosenFirmware(records.engine, records.fileBuffer, shell, path.string(), "x.jtg", nullptr);
    ASSERT_EQ(prompts.texts.size(), 1u);
    const std::string& text = prompts.texts.front();
    EXPECT_EQ(text.rfind("The chosen file could not be read (", 0), 0u) << text;
    EXPECT_GT(text.size(), std::string("The chosen file could not be read ()").size() + 4) << text;
    EXPECT_NE(text.find("Please select"), std::string::npos) << text;
    EXPECT_EQ(text.back(), '.');
    EXPECT_TRUE(shell.firmwarePath.empty());
    EXPECT_EQ(records.image.payloadLength, 0u);
  }
}

}  // namespace
}  // namespace varnet
