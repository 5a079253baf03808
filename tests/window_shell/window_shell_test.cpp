// The records both windows run on: VARNET_LOG opens the session log, and a log that cannot be
// opened leaves a window that still runs.
#include "ui-common/window_shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>

#include "midi/platform_base.h"

namespace varnet {
namespace {

struct SilentPrompts final : Prompts {
  BoxAnswer showBox(const BoxRequest&) override { return BoxAnswer::Ok; }
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
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("varnet-window-shell-" + std::to_string(std::random_device{}()));
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
  std::filesystem::remove_all(dir);
}

// Options > Slow transfer: chosen for the next update, kept in the settings file from one start
// to the next, and not changed under an update that holds the ports.
TEST(WindowRecords, SlowTransferIsKeptInTheSettingsAndRefusedDuringAnUpdate) {
  const std::filesystem::path dir = std::filesystem::path(::testing::TempDir()) / "slow_transfer";
  std::filesystem::remove_all(dir);
  std::filesystem::create_directories(dir);
  UnsupportedMidiPlatform platform;
  SilentPrompts prompts;
  ShellState shell;
  shell.startDirectory = dir.string();
  {
    WindowRecords records(platform, prompts);
    StartWindowRecords(records.engine, records.fileBuffer, shell, nullptr);
    EXPECT_FALSE(shell.slowTransfer);
    EXPECT_EQ(records.engine.pieceSize, kPieceCapacity);
    records.midi.ports.sessionPortsOpen.store(1);
    EXPECT_FALSE(SetSlowTransfer(records.engine, shell, true));
    EXPECT_EQ(records.engine.pieceSize, kPieceCapacity);
    records.midi.ports.sessionPortsOpen.store(0);
    EXPECT_TRUE(SetSlowTransfer(records.engine, shell, true));
    EXPECT_EQ(records.engine.pieceSize, kSlowPieceSize);
    SaveWindowSettings(records.engine, records.fileBuffer, shell);
    ReleaseWindowRecords(records.engine, records.fileBuffer);
  }
  shell.slowTransfer = false;
  {
    WindowRecords records(platform, prompts);
    StartWindowRecords(records.engine, records.fileBuffer, shell, nullptr);
    EXPECT_TRUE(shell.slowTransfer);
    EXPECT_EQ(records.engine.pieceSize, kSlowPieceSize);
    ReleaseWindowRecords(records.engine, records.fileBuffer);
  }
}

}  // namespace
}  // namespace varnet
