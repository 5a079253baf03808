#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/firmware_file.h"
#include "varnet_version.h"

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace varnet {
namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// cmd.exe /c drops the first and the last quote of a command that starts with one; a pair
// around the whole command keeps the quoted paths inside intact.
std::string Shell(const std::string& command) {
#ifdef _WIN32
  return "\"" + command + "\"";
#else
  return command;
#endif
}

// What a program printed, with Windows line ends (text-mode output there) read as "\n".
std::string Lines(std::string text) {
#ifdef _WIN32
  std::erase(text, '\r');
#endif
  return text;
}

class InspectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varnet-cli-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  fs::path WriteFirmware(const std::string& name, uint8_t kind, std::vector<uint8_t> payload) {
    const auto length = static_cast<uint32_t>(payload.size());
    std::vector<uint8_t> bytes = {'J',
                                  'T',
                                  'G',
                                  kind,
                                  0x07,
                                  0x08,
                                  0x01,
                                  static_cast<uint8_t>(length >> 24),
                                  static_cast<uint8_t>(length >> 16),
                                  static_cast<uint8_t>(length >> 8),
                                  static_cast<uint8_t>(length)};
    bytes.insert(bytes.end(), payload.begin(), payload.end());
    bytes.resize(std::max<size_t>(bytes.size(), 51), 0);
    const fs::path path = dir_ / name;
    std::ofstream(path, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
    return path;
  }

  // Runs the built varnet-flash; returns its exit code and keeps what it printed.
  int RunFlash(const std::string& arguments) {
    const std::string command = std::string("\"") + VARNET_FLASH + "\" " + arguments + " >\"" +
                                (dir_ / "out.txt").string() + "\" 2>\"" +
                                (dir_ / "err.txt").string() + "\"";
    const int status = std::system(Shell(command).c_str());
    out_ = Lines(ReadText(dir_ / "out.txt"));
    err_ = Lines(ReadText(dir_ / "err.txt"));
#ifdef _WIN32
    return status;
#else
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
#endif
  }

  // Runs inspect in this process.
  int RunInspect(const fs::path& file, bool json = false) {
    std::ostringstream out;
    std::ostringstream err;
    CliContext context{out, err};
    CLI::App app;
    AddInspectCommand(app, context);
    const std::string path = file.string();
    const char* argv[] = {"varnet-flash", "inspect", path.c_str(), "--json"};
    app.parse(json ? 4 : 3, argv);
    out_ = out.str();
    err_ = err.str();
    return context.exitCode;
  }

  fs::path dir_;
  std::string out_;
  std::string err_;
};

TEST_F(InspectTest, ExitCodesOfTheProgram) {
  const fs::path example = fs::path(VARNET_SOURCE_DIR) / "examples" / "varnet-ad-example.jtg";
  EXPECT_EQ(RunFlash("inspect \"" + example.string() + "\""), 0);
  EXPECT_NE(out_.find("Converter kind:   AD"), std::string::npos) << out_;

  const fs::path notValid = dir_ / "notes.jtg";
  std::ofstream(notValid) << std::string(80, 'x');
  EXPECT_EQ(RunFlash("inspect \"" + notValid.string() + "\""), 1);
  EXPECT_EQ(err_, "Failed opening file! File not valid!\n");

  const fs::path missing = dir_ / "missing.jtg";
  EXPECT_EQ(RunFlash("inspect \"" + missing.string() + "\""), 2);
  EXPECT_NE(err_.find(std::generic_category().message(ENOENT)), std::string::npos) << err_;
  EXPECT_FALSE(fs::exists(missing));

  EXPECT_EQ(RunFlash("inspect \"" + dir_.string() + "\""), 2);
}

TEST_F(InspectTest, VersionAndHelp) {
  EXPECT_EQ(RunFlash("--version"), 0);
  EXPECT_EQ(out_, "varnet-flash " VARNET_VERSION "\n");
  EXPECT_EQ(RunFlash("--help"), 0);
  EXPECT_NE(out_.find("inspect"), std::string::npos);
  EXPECT_NE(RunFlash("inspect"), 0);  // the file is required
}

TEST_F(InspectTest, ReportsKindLengthPausesAndEstimate) {
  // Sends 5B, then 20 ms, then 46 70. 0xC0 combines two codes and so calls for no pause.
  const fs::path file =
      WriteFirmware("da.jtg", 0xDA, {0x01, 0x02, 0x03, 0x10, 0x01, 0x02, 0x03, 0xC0});
  ASSERT_EQ(RunInspect(file), 0) << err_;
  EXPECT_NE(out_.find("Converter kind:   DA\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Payload length:   8 bytes\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0x10 (   20 ms): 1 byte\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("0x40 (  115 ms): 0 bytes\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Encoded stream:   3 bytes in 2 sends\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Estimated time:   0.04 s"), std::string::npos) << out_;
  EXPECT_EQ(out_.find("first payload byte"), std::string::npos) << out_;
}

// Counts of one read as one; a file whose header declares no payload is reported, then refused
// as an update would refuse it.
TEST_F(InspectTest, SingularCountsAndTheEmptyPayload) {
  ASSERT_EQ(RunInspect(WriteFirmware("one.jtg", 0xAD, {0x01})), 0) << err_;
  EXPECT_NE(out_.find("Payload length:   1 byte\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("Encoded stream:   1 byte in 1 send\n"), std::string::npos) << out_;

  EXPECT_EQ(RunInspect(WriteFirmware("empty.jtg", 0xAD, {})), 1);
  EXPECT_NE(out_.find("Payload length:   0 bytes\n"), std::string::npos) << out_;
  EXPECT_EQ(err_,
            "An update refuses this file: The firmware file holds no data! Please select the "
            "firmware file again.\n");
}

// Bytes after the declared payload are never sent; inspect says how many, so that two images
// joined do not pass as the first without a word.
TEST_F(InspectTest, TrailingBytesAreCountedAndIgnored) {
  struct Case {
    std::size_t payload;
    std::size_t appended;
    uint64_t trailing;  // the file is padded to 51 bytes
  };
  for (const Case& c : {Case{40, 0, 0}, Case{39, 0, 1}, Case{8, 0, 32}, Case{40, 300, 300}}) {
    SCOPED_TRACE(c.payload);
    const fs::path file = WriteFirmware("t.jtg", 0xAD, std::vector<uint8_t>(c.payload, 0x01));
    std::ofstream(file, std::ios::binary | std::ios::app) << std::string(c.appended, 'x');
    ASSERT_EQ(RunInspect(file), 0) << err_;
    const std::string line = "Trailing bytes:   " + std::to_string(c.trailing) +
                             (c.trailing == 1 ? " byte" : " bytes") +
                             " after the declared payload, ignored\n";
    EXPECT_EQ(out_.find(line) != std::string::npos, c.trailing > 0) << out_;
    EXPECT_EQ(out_.find("Trailing bytes:") != std::string::npos, c.trailing > 0) << out_;
    ASSERT_EQ(RunInspect(file, true), 0) << err_;
    EXPECT_EQ(nlohmann::json::parse(out_).at("trailing_bytes"), c.trailing) << out_;
  }
}

// A file the loader refused is "not valid" unless its header is good and its payload all there:
// then only memory can have been missing.
TEST(RefusedForWantOfMemory, OnlyForAValidHeaderAndAWholePayload) {
  const std::vector<uint8_t> good = {'J', 'T', 'G', 0xAD, 0x07, 0x08, 0x01, 0, 0, 0, 40};
  struct Case {
    std::size_t at;  // byte changed in `good` (11: none)
    uint8_t value;
    std::size_t size;  // bytes read
    bool expected;
  };
  const std::vector<Case> cases = {
      {11, 0, 51, true},     // 40 declared, 40 there
      {10, 41, 51, false},   // one more declared than there
      {7, 0x80, 51, false},  // gigabytes declared
      {0, 'j', 51, false},   // magic
      {6, 0x02, 51, false},  // format
      {3, 0x00, 51, true},   // any kind: refused later by the handshake
      {11, 0, 50, false},    // too short to be valid
  };
  for (const Case& c : cases) {
    FileBuffer buffer;
    buffer.data = good;
    buffer.data.resize(c.size + 1, 0x01);
    if (c.at < good.size()) buffer.data[c.at] = c.value;
    buffer.size = buffer.bytesRead = static_cast<uint32_t>(c.size);
    EXPECT_EQ(RefusedForWantOfMemory(buffer), c.expected) << c.at << " " << c.size;
  }
}

// Every program tells the same three failures apart, each with a reason it can print.
TEST_F(InspectTest, LoadTellsUnreadableFromNotValid) {
  const fs::path notValid = dir_ / "notes.jtg";
  std::ofstream(notValid) << std::string(80, 'x');
  struct Case {
    fs::path path;
    FirmwareLoadStatus status;
    std::string reason;  // "" where the system's words vary
  };
  const std::vector<Case> cases = {
      {WriteFirmware("good.jtg", 0xAD, {0x01, 0x02}), FirmwareLoadStatus::Loaded, ""},
      {dir_ / "missing.jtg", FirmwareLoadStatus::Unreadable,
       std::generic_category().message(ENOENT)},
      {dir_, FirmwareLoadStatus::Unreadable, ""},
      {notValid, FirmwareLoadStatus::NotValid, "Failed opening file! File not valid!"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path.string());
    FileBuffer buffer;
    FirmwareImage image;
    const FirmwareLoad load = LoadFirmwareFile(c.path.string(), buffer, image);
    EXPECT_EQ(load.status, c.status);
    EXPECT_EQ(load.loaded(), c.status == FirmwareLoadStatus::Loaded);
    EXPECT_EQ(load.reason.empty(), c.status == FirmwareLoadStatus::Loaded);
    EXPECT_EQ(load.reason.find('\n'), std::string::npos);
    if (!c.reason.empty()) {
      EXPECT_EQ(load.reason, c.reason);
    }
    EXPECT_EQ(image.payloadLength, c.status == FirmwareLoadStatus::Loaded ? 2u : 0u);
  }
}

// The object and the text describe one file alike; the exit codes do not depend on --json.
TEST_F(InspectTest, JsonHasTheSameFactsAndExitCodesAsTheText) {
  struct Case {
    const char* name;
    fs::path path;
    int exit;
    uint64_t payload;
    const char* kind;      // nullptr: no object at all
    const char* textKind;  // as the text shows it
  };
  const fs::path notValid = dir_ / "notes.jtg";
  std::ofstream(notValid) << std::string(80, 'x');
  const std::vector<Case> cases = {
      {"da.jtg", WriteFirmware("da.jtg", 0xDA, {0x01, 0x02, 0x03, 0x10, 0x01, 0x02, 0x03, 0xC0}), 0,
       8, "DA", "Converter kind:   DA\n"},
      {"odd.jtg", WriteFirmware("odd.jtg", 0x00, {0x81, 0x01}), 0, 2, "0x00",
       "Converter kind:   0x00\n"},
      {"empty.jtg", WriteFirmware("empty.jtg", 0xAD, {}), 1, 0, "AD", "Converter kind:   AD\n"},
      {"notes.jtg", notValid, 1, 0, nullptr, nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = c.path.string();
    const int textExit = RunInspect(c.path);
    const std::string text = out_;
    const std::string textErr = err_;
    EXPECT_EQ(RunInspect(c.path, true), c.exit);
    EXPECT_EQ(textExit, c.exit);
    EXPECT_EQ(err_, textErr);  // the reasons stay on standard error, as they were
    if (c.kind == nullptr) {
      EXPECT_EQ(out_, "");
      continue;
    }
    ASSERT_EQ(out_.find('\n'), out_.size() - 1) << out_;
    const nlohmann::json object = nlohmann::json::parse(out_);
    EXPECT_EQ(object.at("file"), path);
    EXPECT_EQ(object.at("converter_kind"), c.kind);
    EXPECT_NE(text.find(c.textKind), std::string::npos) << text;
    const uint64_t payload = object.at("payload_bytes");
    EXPECT_EQ(payload, c.payload);
    EXPECT_NE(text.find("Payload length:   " + std::to_string(payload)), std::string::npos);
    EXPECT_NE(text.find("Encoded stream:   " +
                        std::to_string(object.at("encoded_bytes").get<uint64_t>())),
              std::string::npos)
        << text;
    EXPECT_EQ(object.at("pause_codes").size(), 4u);
    for (const nlohmann::json& pause : object.at("pause_codes")) {
      char line[80];
      std::snprintf(line, sizeof line, "  0x%02X (%5u ms): %u ", pause.at("code").get<unsigned>(),
                    pause.at("pause_ms").get<unsigned>(), pause.at("bytes").get<unsigned>());
      EXPECT_NE(text.find(line), std::string::npos) << line;
    }
    EXPECT_DOUBLE_EQ(
        object.at("estimated_seconds").get<double>(),
        object.at("sending_seconds").get<double>() + object.at("pausing_seconds").get<double>());
    EXPECT_EQ(object.at("update_refuses").is_null(), c.exit == 0);
  }
}

TEST_F(InspectTest, UnknownKindIsShownInHex) {
  ASSERT_EQ(RunInspect(WriteFirmware("odd.jtg", 0x00, {0x81, 0x01})), 0);
  EXPECT_NE(out_.find("Converter kind:   0x00\n"), std::string::npos) << out_;
  EXPECT_NE(out_.find("first payload byte carries a pause code"), std::string::npos) << out_;
}

// The committed example files are what the committed generator makes.
TEST_F(InspectTest, ExamplesMatchTheirGenerator) {
  const std::string command = std::string("\"") + VARNET_MAKE_EXAMPLES + "\" \"" + dir_.string() +
                              "\" >\"" + (dir_ / "log.txt").string() + "\"";
  ASSERT_EQ(std::system(Shell(command).c_str()), 0);
  for (const char* name : {"varnet-ad-example.jtg", "varnet-da-example.jtg"}) {
    const std::string made = ReadText(dir_ / name);
    EXPECT_GT(made.size(), 51u) << name;
    EXPECT_TRUE(made == ReadText(fs::path(VARNET_SOURCE_DIR) / "examples" / name)) << name;
  }
}

}  // namespace
}  // namespace varnet
