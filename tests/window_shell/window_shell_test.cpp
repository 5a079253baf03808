// The records both windows run on: VARNET_LOG names the session log, and a log that cannot be
// kept leaves a window that still runs.
#include "ui-common/window_shell.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
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
    captions.push_back(request.caption);
    texts.push_back(request.text);
    return BoxAnswer::Ok;
  }
  std::vector<std::string> captions;
  std::vector<std::string> texts;
};

void Session(Engine& engine, const char* outcome) {
  EngineEvent request{EngineEvent::Kind::IdentifyRequest};
  request.at = engine.clock.now();
  Report(engine, request);
  EngineEvent end{EngineEvent::Kind::Outcome};
  end.text = outcome;
  Report(engine, end);
}

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

// The log is opened when a session starts, appended to, never the firmware; one that cannot be
// kept is told on stderr and in the caption of the box after the outcome, and the window runs on.
TEST(WindowRecords, VarnetLogIsOpenedAtTheSessionAndAnIncompleteRecordIsToldOnce) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("varnet-window-shell-" + std::to_string(std::random_device{}()));
  std::filesystem::create_directories(dir);
  const std::filesystem::path log = dir / "session.jsonl";
  const std::filesystem::path firmware = dir / "fw.jtg";
  struct Case {
    std::string variable;
    bool logWritten;
    bool reported;
  };
  std::vector<Case> cases = {{"", false, false},
                             {log.string(), true, false},
                             {(dir / "missing" / "x.jsonl").string(), false, true},
                             {firmware.string(), false, true},
                             {(dir / "." / "fw.jtg").string(), false, true}};
#ifndef _WIN32
  cases.push_back({"/dev/full", false, true});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.variable);
    { std::ofstream(log, std::ios::binary) << "an earlier run\n"; }
    { std::ofstream(firmware, std::ios::binary) << "firmware bytes"; }
    SetLogVariable(c.variable);
    UnsupportedMidiPlatform platform;
    SilentPrompts prompts;
    ::testing::internal::CaptureStderr();
    {
      WindowRecords records(platform, prompts);
      EXPECT_EQ(records.engine.midi, &records.midi);
      records.image.sourcePath = firmware.string();
      // Nothing is opened before a session starts.
      EXPECT_EQ(Contents(log), "an earlier run\n");
      Session(records.engine, "done");
      records.engine.prompts.showBox({"Update done!", "Done!"});
      Session(records.engine, "aborted");
      records.engine.prompts.showBox({"Update aborted!", "Abort!"});
    }
    const std::string stderrText = ::testing::internal::GetCapturedStderr();
    const std::size_t told = stderrText.find("incomplete");
    EXPECT_EQ(told != std::string::npos, c.reported) << stderrText;
    if (told != std::string::npos) {
      EXPECT_EQ(stderrText.find("incomplete", told + 1), std::string::npos) << "told twice";
    }
    ASSERT_EQ(prompts.captions.size(), 2u);
    EXPECT_EQ(prompts.captions[0],
              c.reported ? std::string("Done!") + kIncompleteRecordCaption : "Done!");
    EXPECT_EQ(prompts.captions[1], "Abort!");
    EXPECT_EQ(Contents(firmware), "firmware bytes");
    const std::string written = Contents(log);
    EXPECT_EQ(written.rfind("an earlier run\n", 0), 0u) << written;
    std::size_t summaries = 0;
    for (std::size_t at = written.find("\"summary\""); at != std::string::npos;
         at = written.find("\"summary\"", at + 1)) {
      ++summaries;
    }
    EXPECT_EQ(summaries, c.logWritten ? 2u : 0u) << written;
    if (c.logWritten) {
      EXPECT_NE(written.find("\"verified\":true"), std::string::npos) << written;
      EXPECT_NE(written.find("\"verified\":false"), std::string::npos) << written;
    }
  }
  SetLogVariable("");
  std::filesystem::remove_all(dir);
}

// Options > Slow transfer: chosen for the next update, kept in the settings file from one start
// to the next, and not changed under an update that holds the ports.
TEST(WindowRecords, SlowTransferIsKeptInTheSettingsAndRefusedDuringAnUpdate) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("varnet-slow-transfer-" + std::to_string(std::random_device{}()));
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
  std::filesystem::remove_all(dir);
}

// A chosen file that cannot be read is reported in a sentence that says what happened and what
// to do, with the system's reason inside it, and leaves no firmware loaded.
TEST(ChosenFirmware, UnreadableFileIsToldInASentenceAndLeavesNothingLoaded) {
  const std::filesystem::path dir =
      std::filesystem::temp_directory_path() /
      ("varnet-chosen-file-" + std::to_string(std::random_device{}()));
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
  std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace varnet
