// varnet-flash update (and list) run as a user runs them: the built binary, its exit status and
// what it prints, against the simulated converter. Most runs are on virtual time (--fast); the
// Ctrl-C run is real time and takes about a second and a half.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../session/session_rig.h"
#include "cli/commands.h"

namespace varnet::testing {
namespace {

namespace fs = std::filesystem;
using std::chrono::milliseconds;

const std::string kFlash = VARNET_FLASH_BINARY;
const std::string kExample = std::string(VARNET_SOURCE_DIR) + "/examples/varnet-ad-example.jtg";

std::string ReadText(const fs::path& path) {
  std::ifstream file(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(file), {});
}

std::vector<uint8_t> ReadBytes(const fs::path& path) {
  const std::string text = ReadText(path);
  return std::vector<uint8_t>(text.begin(), text.end());
}

void WriteBytes(const fs::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file.write(reinterpret_cast<const char*>(bytes.data()),
             static_cast<std::streamsize>(bytes.size()));
}

struct FlashRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A private working directory per test (ini.upd is read from the current directory).
class FlashTest : public ::testing::Test {
 protected:
  void SetUp() override {
    // A parameterised test's name holds a '/': one folder, not a case folder inside a shared one
    // that nobody removes.
    std::string name = ::testing::UnitTest::GetInstance()->current_test_info()->name();
    std::replace(name.begin(), name.end(), '/', '-');
    dir_ =
        fs::temp_directory_path() / ("varnet-cli-update-" + std::to_string(getpid()) + "-" + name);
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  // Where the child's standard output goes: the file "stdout", a full device, nowhere (closed),
  // or a pipe whose reading end `pipeReader_` the test holds.
  enum class Output { File, Full, Closed, Pipe };

  // Starts varnet-flash with `args`, standard input from `input` (or from the file `inputPath`),
  // standard error into a file.
  pid_t Spawn(const std::vector<std::string>& args, const std::string& input = "",
              Output output = Output::File, const std::string& inputPath = "") {
    WriteBytes(dir_ / "stdin", std::vector<uint8_t>(input.begin(), input.end()));
    WriteBytes(dir_ / "stdout", {});
    int pipeEnds[2] = {-1, -1};
    if (output == Output::Pipe && pipe(pipeEnds) != 0) return -1;
    const pid_t pid = fork();
    if (pid == 0) {
      if (chdir(dir_.c_str()) != 0) _exit(127);
      const int in = open(inputPath.empty() ? "stdin" : inputPath.c_str(), O_RDONLY);
      const int out = output == Output::Pipe   ? pipeEnds[1]
                      : output == Output::Full ? open("/dev/full", O_WRONLY)
                                               : open("stdout", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      const int err = open("stderr", O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (in < 0 || out < 0 || err < 0) _exit(127);
      if (output == Output::Pipe) close(pipeEnds[0]);
      dup2(in, 0);
      dup2(out, 1);
      dup2(err, 2);
      if (output == Output::Closed) close(1);
      std::vector<char*> argv;
      argv.push_back(const_cast<char*>(kFlash.c_str()));
      for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
      argv.push_back(nullptr);
      execv(kFlash.c_str(), argv.data());
      _exit(127);
    }
    if (output == Output::Pipe) {
      close(pipeEnds[1]);
      pipeReader_ = pipeEnds[0];
    }
    return pid;
  }

  // Reads the pipe up to its first line end, then closes it, as `| head -1` does.
  std::string ReadOneLineAndClose() {
    std::string line;
    char c = 0;
    while (read(pipeReader_, &c, 1) == 1 && c != '\n') line.push_back(c);
    close(pipeReader_);
    pipeReader_ = -1;
    return line;
  }

  FlashRun Wait(pid_t pid, std::chrono::seconds limit = std::chrono::seconds(60)) {
    FlashRun run;
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int status = 0;
    while (waitpid(pid, &status, WNOHANG) == 0) {
      if (std::chrono::steady_clock::now() > deadline) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        ADD_FAILURE() << "varnet-flash did not end in time";
        return run;
      }
      std::this_thread::sleep_for(milliseconds(5));
    }
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    run.out = ReadText(dir_ / "stdout");
    run.err = ReadText(dir_ / "stderr");
    return run;
  }

  FlashRun Flash(const std::vector<std::string>& args, const std::string& input = "") {
    return Wait(Spawn(args, input));
  }

  bool WaitForError(const std::string& text,
                    std::chrono::seconds limit = std::chrono::seconds(20)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (ReadText(dir_ / "stderr").find(text) == std::string::npos) {
      if (std::chrono::steady_clock::now() > deadline) return false;
      std::this_thread::sleep_for(milliseconds(5));
    }
    return true;
  }

  fs::path dir_;
  int pipeReader_ = -1;
};

const std::regex kSummary(
    R"(Sent \d+ bytes in \d+ messages?, \d+ echo bytes? verified, elapsed \d+\.\d s\n$)");

TEST_F(FlashTest, CompleteUpdateExitsZeroWithDoneAndSummary) {
  const FlashRun run = Flash({"update", kExample, "--simulate", "--fast", "--yes"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.err.find("Warning: WARNING! The update operation must not be interrupted!"),
            std::string::npos);
  EXPECT_NE(run.err.find("\nDone!: Update done! Please switch the device off and on again to "
                         "activate the new firmware.\n"),
            std::string::npos);
  EXPECT_TRUE(std::regex_search(run.out, kSummary)) << run.out;
  // 1 identify request + 1 header + the stream's pieces + 1 end byte, all echo but the end.
  EXPECT_NE(run.out.find("Sent 24056 bytes in 784 messages"), std::string::npos) << run.out;
}

struct FaultCase {
  std::vector<std::string> extra;
  std::vector<std::string> boxes;  // in order
};

class FlashFault : public FlashTest, public ::testing::WithParamInterface<FaultCase> {};

TEST_P(FlashFault, EndsWithExitOneAndTheBoxesInOrder) {
  std::vector<std::string> args = {"update", kExample, "--fast", "--yes"};
  args.insert(args.end(), GetParam().extra.begin(), GetParam().extra.end());
  const FlashRun run = Flash(args);
  EXPECT_EQ(run.status, 1) << run.err;
  std::size_t at = 0;
  for (const std::string& box : GetParam().boxes) {
    const std::size_t found = run.err.find(box, at);
    ASSERT_NE(found, std::string::npos) << "missing or out of order: " << box << "\n" << run.err;
    at = found + box.size();
  }
  EXPECT_EQ(run.err.find("Done!"), std::string::npos);
  EXPECT_TRUE(std::regex_search(run.out, kSummary)) << run.out;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, FlashFault,
    ::testing::Values(
        FaultCase{{"--simulate", "--fault", "no-reply"},
                  {"Error!: No response received! Please check connection or device type!"}},
        FaultCase{{"--simulate", "--fault", "wrong-id"}, {"Error!: Wrong device ID!"}},
        FaultCase{{"--simulate=da"}, {"Error!: Firmware mismatch!"}},
        FaultCase{{"--simulate", "--fault", "corrupt-echo:500"},
                  {"Warning: WARNING!", "Error!: Update failed! Do not switch off the device!",
                   "Abort!: Update aborted! Do not switch off the device!",
                   "First difference at stream byte 500 (piece "}},
        // The technician is told where the echo went wrong, whatever the way.
        FaultCase{{"--simulate", "--fault", "corrupt-echo:0"},
                  {"Error!: Update failed!", "Abort!: Update aborted!",
                   "First difference at stream byte 0 (piece 1): sent 0xF0, the device sent a "
                   "message that is not echo (status 0xF1)"}},
        FaultCase{{"--simulate", "--fault", "echo-stops:3000"},
                  {"Error!: Update failed!", "Abort!: Update aborted!",
                   "First difference at stream byte 3000 (piece ",
                   "the device's echo stopped before it"}},
        FaultCase{{"--simulate", "--fault", "stray-message:400"},
                  {"Error!: Update failed!", "Abort!: Update aborted!",
                   "the device sent a message that is not echo (status 0xB0)"}}));

// A device that echoes nothing passes, but the terminal says plainly that nothing was verified.
TEST_F(FlashTest, SilentDevicePassesWithAWarningThatNothingWasVerified) {
  const FlashRun silent =
      Flash({"update", kExample, "--simulate", "--fast", "--yes", "--fault", "silent-echo"});
  EXPECT_EQ(silent.status, 0) << silent.err;
  EXPECT_NE(silent.err.find("Warning: the device echoed nothing, so the update could not be "
                            "verified."),
            std::string::npos)
      << silent.err;
  EXPECT_NE(silent.out.find("0 echo bytes verified"), std::string::npos) << silent.out;
  EXPECT_NE(silent.out.find("(not verified: the device echoed nothing)"), std::string::npos);

  const FlashRun echoing = Flash({"update", kExample, "--simulate", "--fast", "--yes"});
  EXPECT_EQ(echoing.err.find("could not be verified"), std::string::npos);
  EXPECT_EQ(echoing.out.find("not verified"), std::string::npos);
}

// update --json: standard output holds one JSON object, the summary's facts, whatever the
// outcome; the lines a person reads move to standard error and the exit code stays.
TEST_F(FlashTest, JsonSummaryHasTheSummaryLinesFacts) {
  struct Case {
    std::vector<std::string> extra;
    int status;
    const char* outcome;
    bool verified;
    const char* difference;  // its kind; nullptr for none
    const char* cause = nullptr;
    const char* said = nullptr;  // on standard error, with the class
  };
  const std::vector<Case> cases = {
      {{}, 0, "done", true, nullptr},
      {{"--fault", "silent-echo"}, 0, "done", false, nullptr},
      {{"--fault", "corrupt-echo:500"},
       1,
       "failed",
       false,
       "differs",
       "changed",
       "Cause: changed bits: 1 bit of that byte came back different"},
      {{"--fault", "echo-stops:3000"},
       1,
       "failed",
       false,
       "echo_stopped",
       "stopped",
       "Cause: stopped"},
      {{"--fault", "lose-echo:700:5"},
       1,
       "failed",
       false,
       "differs",
       "lost",
       "the link dropped 5 bytes. Try another MIDI interface or cable, or the slower transfer"},
      {{"--fault", "split-echo"},
       1,
       "failed",
       false,
       "differs",
       "split",
       "The MIDI driver splits the stream into separate System Exclusive messages; this "
       "connection cannot carry a firmware update."},
      {{"--fault", "stray-message:600"},
       1,
       "failed",
       false,
       "other_input",
       "other_input",
       "Cause: other input: a controller message"},
      {{"--fault", "no-reply"}, 1, "refused", false, nullptr},
  };
  const std::regex summary(
      R"(Sent (\d+) bytes in (\d+) messages?, (\d+) echo bytes? verified, elapsed (\d+\.\d) s)");
  for (const Case& c : cases) {
    std::vector<std::string> args = {"update", kExample, "--simulate", "--fast", "--yes", "--json"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    const FlashRun run = Flash(args);
    SCOPED_TRACE(c.outcome + (c.extra.empty() ? std::string() : " " + c.extra.back()));
    EXPECT_EQ(run.status, c.status) << run.err;
    ASSERT_FALSE(run.out.empty()) << run.err;
    EXPECT_EQ(run.out.find('\n'), run.out.size() - 1) << run.out;
    const nlohmann::json object = nlohmann::json::parse(run.out);
    EXPECT_EQ(object.at("outcome"), c.outcome);
    EXPECT_EQ(object.at("verified"), c.verified);
    if (c.difference == nullptr) {
      EXPECT_TRUE(object.at("first_difference").is_null()) << run.out;
    } else {
      const nlohmann::json& first = object.at("first_difference");
      EXPECT_EQ(first.at("kind"), c.difference);
      EXPECT_EQ(first.at("cause"), c.cause);
      EXPECT_NE(run.err.find(first.at("text").get<std::string>()), std::string::npos) << run.err;
      EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
    }
    std::smatch match;
    ASSERT_TRUE(std::regex_search(run.err, match, summary)) << run.err;
    EXPECT_EQ(object.at("bytes_sent").get<uint64_t>(), std::stoull(match[1]));
    EXPECT_EQ(object.at("messages_sent").get<uint64_t>(), std::stoull(match[2]));
    EXPECT_EQ(object.at("echo_verified_bytes").get<uint64_t>(), std::stoull(match[3]));
    EXPECT_NEAR(object.at("elapsed_seconds").get<double>(), std::stod(match[4]), 0.0501);
  }
}

// The outcome is one of README's four words also for a press that never became a session, and
// the cases README lists print no object at all.
TEST_F(FlashTest, JsonOutcomeWordsAndTheRunsWithoutObject) {
  std::vector<uint8_t> empty = {'J', 'T', 'G', 0xAD, 0x07, 0x08, 0x01, 0, 0, 0, 0};
  empty.resize(51, 0);
  WriteBytes(dir_ / "empty.jtg", empty);
  const FlashRun refused =
      Flash({"update", "empty.jtg", "--simulate", "--fast", "--yes", "--json"});
  EXPECT_EQ(refused.status, 1) << refused.err;
  ASSERT_FALSE(refused.out.empty()) << refused.err;
  EXPECT_EQ(nlohmann::json::parse(refused.out)["outcome"], "refused") << refused.out;

  for (const std::vector<std::string>& args :
       {std::vector<std::string>{"update", kExample, "--simulate", "--fast", "--yes", "--json",
                                 "--detect", "--fault", "no-reply"},
        std::vector<std::string>{"update", kExample, "--simulate", "--fast", "--yes", "--json",
                                 "--log", "-"}}) {
    SCOPED_TRACE(args.back());
    const FlashRun run = Flash(args);
    EXPECT_NE(run.status, 0) << run.err;
    EXPECT_EQ(run.out, "") << run.err;
  }
}

// --log that would destroy or hang is refused before anything is sent; one that cannot be
// written is told once and leaves the update's exit code alone; an earlier record is kept.
TEST_F(FlashTest, LogIsRefusedOrGivenUpSafely) {
  fs::copy_file(kExample, dir_ / "fw.jtg");
  const std::string firmware = ReadText(dir_ / "fw.jtg");
  fs::create_symlink("fw.jtg", dir_ / "link.jtg");
  ASSERT_EQ(mkfifo((dir_ / "fifo").c_str(), 0600), 0);
  { std::ofstream(dir_ / "old.jsonl") << "an earlier run\n"; }
  struct Case {
    std::string log;
    int status;
    std::string told;  // on standard error
    bool done;
  };
  for (const Case& c : {Case{"fw.jtg", 2, "that is the firmware file", false},
                        Case{"./link.jtg", 2, "that is the firmware file", false},
                        Case{(dir_ / "fw.jtg").string(), 2, "that is the firmware file", false},
                        Case{"-", 2, "standard output", false},
                        Case{"fifo", 2, "a FIFO that no program reads", false},
                        Case{"/dev/full", 0, "is incomplete: No space left on device", true},
                        Case{"old.jsonl", 0, "", true}}) {
    SCOPED_TRACE(c.log);
    const FlashRun run =
        Wait(Spawn({"update", "fw.jtg", "--simulate", "--fast", "--yes", "--log", c.log}),
             std::chrono::seconds(20));
    EXPECT_EQ(run.status, c.status) << run.err;
    EXPECT_EQ(run.out.find("Update done!") != std::string::npos ||
                  run.err.find("Update done!") != std::string::npos,
              c.done)
        << run.out << run.err;
    if (c.told.empty()) {
      EXPECT_EQ(run.err.find("incomplete"), std::string::npos) << run.err;
    } else {
      const std::size_t at = run.err.find(c.told);
      EXPECT_NE(at, std::string::npos) << run.err;
      EXPECT_EQ(run.err.find(c.told, at + 1), std::string::npos) << "told twice: " << run.err;
    }
    EXPECT_EQ(ReadText(dir_ / "fw.jtg"), firmware);
    EXPECT_FALSE(fs::exists(dir_ / "-"));
  }
  const std::string kept = ReadText(dir_ / "old.jsonl");
  EXPECT_EQ(kept.rfind("an earlier run\n{\"t_ms\"", 0), 0u) << kept.substr(0, 80);
  EXPECT_NE(kept.find("\"event\":\"summary\""), std::string::npos);
}

// --log FILE: one JSON object per line, in the order things happened.
TEST_F(FlashTest, LogRecordsTheSessionAsJsonLines) {
  const FlashRun run = Flash({"update", kExample, "--simulate", "--fast", "--yes", "--fault",
                              "corrupt-echo:500", "--log", "session.jsonl"});
  EXPECT_EQ(run.status, 1) << run.err;
  std::istringstream lines(ReadText(dir_ / "session.jsonl"));
  const std::regex shape("^\\{\"t_ms\":[0-9]+\\.[0-9]+,\"event\":\"([a-z_]+)\".*\\}$");
  std::vector<std::string> events;
  std::string line;
  std::string difference;
  while (std::getline(lines, line)) {
    std::smatch match;
    ASSERT_TRUE(std::regex_match(line, match, shape)) << line;
    if (events.empty() || events.back() != match[1]) events.push_back(match[1]);
    if (match[1] == "difference") difference = line;
  }
  ASSERT_GE(events.size(), 8u);
  EXPECT_EQ(std::vector<std::string>(events.begin(), events.begin() + 4),
            (std::vector<std::string>{"ports", "identify_request", "send", "identify_reply"}));
  EXPECT_NE(std::find(events.begin(), events.end(), "pause"), events.end());
  EXPECT_EQ(std::vector<std::string>(events.end() - 3, events.end()),
            (std::vector<std::string>{"send", "outcome", "summary"}));
  EXPECT_EQ(std::count(events.begin(), events.end(), "difference"), 1);
  EXPECT_NE(difference.find(R"("kind":"differs","offset":500,"piece":)"), std::string::npos)
      << difference;
  EXPECT_NE(difference.find(R"("cause":"changed")"), std::string::npos) << difference;
}

// --slow: the same update in smaller pieces, done and verified, and inspect's figures for it.
TEST_F(FlashTest, SlowTransferSendsTheSameStreamInSmallerPieces) {
  const FlashRun full = Flash({"update", kExample, "--simulate", "--fast", "--yes", "--json"});
  const FlashRun slow =
      Flash({"update", kExample, "--simulate", "--fast", "--yes", "--json", "--slow"});
  ASSERT_EQ(full.status, 0) << full.err;
  ASSERT_EQ(slow.status, 0) << slow.err;
  const nlohmann::json a = nlohmann::json::parse(full.out);
  const nlohmann::json b = nlohmann::json::parse(slow.out);
  EXPECT_EQ(b.at("verified"), true);
  EXPECT_EQ(b.at("bytes_sent"), a.at("bytes_sent"));
  EXPECT_GT(b.at("messages_sent").get<uint64_t>(), a.at("messages_sent").get<uint64_t>());
  EXPECT_LE(b.at("messages_sent").get<uint64_t>(), 2 * a.at("messages_sent").get<uint64_t>());
  EXPECT_GT(b.at("elapsed_seconds").get<double>(), a.at("elapsed_seconds").get<double>());
  EXPECT_NE(slow.err.find("Slow transfer: 16-byte pieces 10 ms apart"), std::string::npos);

  const FlashRun inspect = Flash({"inspect", kExample, "--json"});
  ASSERT_EQ(inspect.status, 0) << inspect.err;
  const nlohmann::json facts = nlohmann::json::parse(inspect.out);
  EXPECT_GT(facts.at("slow_estimated_seconds").get<double>(),
            facts.at("estimated_seconds").get<double>());
  EXPECT_LE(facts.at("pauses_held_by_usb_midi").get<uint64_t>(), facts.at("sends").get<uint64_t>());
  // The slow run takes what inspect says it will, and the handshake and header (under a
  // second) besides: 16 bytes go out within their 10 ms even on a wire-timed port.
  const double slowEstimate = facts.at("slow_estimated_seconds").get<double>();
  EXPECT_GE(b.at("elapsed_seconds").get<double>(), slowEstimate);
  EXPECT_LE(b.at("elapsed_seconds").get<double>(), slowEstimate + 1.0);
}

// check-link: the verdict in words, the exit status and one JSON object.
TEST_F(FlashTest, CheckLinkSaysWhetherTheLinkIsFit) {
  struct Row {
    std::vector<std::string> extra;
    int status;
    const char* said;  // part of the report
    uint64_t received;
    uint64_t lost;
  };
  const std::vector<Row> rows = {
      {{}, 0, "The link looks fit for an update.", 8, 0},
      {{"--fault", "lose-replies:2"}, 1, "4 of 8 replies were lost", 4, 4},
      {{"--fault", "no-reply"}, 1, "the converter never answered", 0, 8},
      {{"--detect"}, 0, "via in 1: Varnet Simulator In, out 2: Varnet Simulator Out", 8, 0},
  };
  for (const Row& row : rows) {
    std::vector<std::string> args = {"check-link", "--simulate", "--fast", "--count", "8"};
    args.insert(args.end(), row.extra.begin(), row.extra.end());
    const FlashRun text = Flash(args);
    EXPECT_EQ(text.status, row.status) << text.err;
    EXPECT_NE(text.out.find(row.said), std::string::npos) << text.out;
    args.push_back("--json");
    const FlashRun json = Flash(args);
    EXPECT_EQ(json.status, row.status) << json.err;
    ASSERT_EQ(json.out.find('\n'), json.out.size() - 1) << json.out;
    const nlohmann::json object = nlohmann::json::parse(json.out);
    EXPECT_EQ(object.at("fit"), row.status == 0);
    EXPECT_EQ(object.at("sent").get<uint64_t>(), 8u);
    EXPECT_EQ(object.at("received").get<uint64_t>(), row.received);
    EXPECT_EQ(object.at("lost").get<uint64_t>(), row.lost);
    EXPECT_EQ(object.at("round_trip_ms").is_null(), row.received == 0) << json.out;
    EXPECT_NE(json.err.find("Replies: "), std::string::npos) << json.err;
  }
  for (const std::vector<std::string>& usage :
       {std::vector<std::string>{"check-link", "--count", "0"},
        {"check-link", "--detect", "--in", "1"},
        {"check-link", "--fault", "no-reply"},
        {"check-link", "--simulate", "--fault", "melt"}}) {
    EXPECT_EQ(Flash(usage).status, 2) << usage.back();
  }
}

TEST_F(FlashTest, WarningAnsweredOnTheTerminal) {
  FlashRun no = Flash({"update", kExample, "--simulate", "--fast"}, "n\n");
  EXPECT_EQ(no.status, 1);
  EXPECT_NE(no.err.find("Answer yes or no [y/N]"), std::string::npos);
  EXPECT_EQ(no.err.find("Done!"), std::string::npos);
  EXPECT_NE(no.out.find("Sent 8 bytes in 1 message,"), std::string::npos) << no.out;

  // No input at all is a No, never a silent Yes.
  FlashRun none = Flash({"update", kExample, "--simulate", "--fast"});
  EXPECT_EQ(none.status, 1);

  FlashRun yes = Flash({"update", kExample, "--simulate", "--fast"}, "y\n");
  EXPECT_EQ(yes.status, 0) << yes.err;
}

TEST_F(FlashTest, UsageErrorsAndUnreadableFilesExitTwo) {
  EXPECT_EQ(Flash({"update"}).status, 2);
  EXPECT_EQ(Flash({"update", kExample, "--fault", "no-reply"}).status, 2);  // needs --simulate
  EXPECT_EQ(Flash({"update", kExample, "--simulate", "--fault", "bogus"}).status, 2);
  EXPECT_EQ(Flash({"update", kExample, "--simulate=xx"}).status, 2);
  EXPECT_EQ(Flash({"update", kExample, "--in", "-1"}).status, 2);

  const FlashRun missing =
      Flash({"update", (dir_ / "missing.jtg").string(), "--simulate", "--yes"});
  EXPECT_EQ(missing.status, 2);
  EXPECT_NE(missing.err.find("missing.jtg"), std::string::npos);

  WriteBytes(dir_ / "bad.jtg", std::vector<uint8_t>(80, 'x'));
  const FlashRun bad = Flash({"update", (dir_ / "bad.jtg").string(), "--simulate", "--yes"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_NE(bad.err.find("Filetype mismatch!: Failed opening file! File not valid!"),
            std::string::npos);
}

TEST_F(FlashTest, PortsComeFromTheSettingsFileUnlessGiven) {
  std::vector<uint8_t> settings(100, 0);
  const std::string magic = "updini";
  std::copy(magic.begin(), magic.end(), settings.begin());
  settings[6] = 1;  // input 1: the virtual platform has only input 0
  settings[7] = 0;
  WriteBytes(dir_ / "ini.upd", settings);

  // The simulated converter has ports of its own: indices stored for a real device are not used.
  const FlashRun stored = Flash({"update", kExample, "--simulate", "--fast", "--yes"});
  EXPECT_EQ(stored.status, 0) << stored.err;

  // For the machine's own ports, a stored index that names no port is explained, not tried.
  settings[6] = 200;
  WriteBytes(dir_ / "ini.upd", settings);
  const FlashRun missing = Flash({"update", kExample, "--yes", "--out", "0"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_NE(missing.err.find("ini.upd names input port 200, which does not exist"),
            std::string::npos)
      << missing.err;
  EXPECT_NE(missing.err.find("varnet-flash list"), std::string::npos);
  EXPECT_EQ(missing.err.find("output port"), std::string::npos) << "--out was given";

  const FlashRun given = Flash({"update", kExample, "--simulate", "--fast", "--yes", "--in", "0"});
  EXPECT_EQ(given.status, 0) << given.err;

  const FlashRun output =
      Flash({"update", kExample, "--simulate", "--fast", "--yes", "--in", "0", "--out", "3"});
  EXPECT_EQ(output.status, 1);
  EXPECT_NE(output.err.find("MIDI-Output Error: "), std::string::npos) << output.err;
}

TEST_F(FlashTest, CtrlCAsksTheCancelQuestionAndASecondOneConfirmsIt) {
  // About three seconds of stream in real time, so that there is time to interrupt it.
  WriteBytes(dir_ / "long.jtg", FirmwareFile(kKindAD, PlainPayload(30000)));
  const pid_t pid = Spawn({"update", (dir_ / "long.jtg").string(), "--simulate", "--yes"});
  ASSERT_TRUE(WaitForError("(answered Yes: --yes)"));
  std::this_thread::sleep_for(milliseconds(400));  // header, then some of the stream
  kill(pid, SIGINT);
  ASSERT_TRUE(WaitForError("Warning!: Update is not complete!"));
  kill(pid, SIGINT);
  const FlashRun run = Wait(pid);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("(Ctrl-C: OK)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Abort!: Update aborted! Do not switch off the device! Please restart "
                         "and complete the update..."),
            std::string::npos)
      << run.err;
  EXPECT_EQ(run.err.find("Done!"), std::string::npos);
  EXPECT_TRUE(std::regex_search(run.out, kSummary)) << run.out;
}

TEST_F(FlashTest, CancelQuestionStillOpenWhenTheUpdateEndsIsClosedBeforeTheOutcome) {
  WriteBytes(dir_ / "short.jtg", FirmwareFile(kKindAD, PlainPayload(3000)));  // about 0.4 s
  const pid_t pid = Spawn({"update", (dir_ / "short.jtg").string(), "--simulate", "--yes"});
  ASSERT_TRUE(WaitForError("(answered Yes: --yes)"));
  std::this_thread::sleep_for(milliseconds(150));
  kill(pid, SIGINT);  // asks; nobody answers
  const FlashRun run = Wait(pid);
  EXPECT_EQ(run.status, 0) << run.err;
  const std::size_t question = run.err.find("Warning!: Update is not complete!");
  const std::size_t closed = run.err.find("(the update has ended meanwhile: Cancel)");
  const std::size_t done = run.err.find("Done!: Update done!");
  ASSERT_NE(question, std::string::npos) << run.err;
  ASSERT_NE(closed, std::string::npos) << run.err;
  ASSERT_NE(done, std::string::npos) << run.err;
  EXPECT_LT(question, closed);
  EXPECT_LT(closed, done) << run.err;
  EXPECT_EQ(run.err.find("(the update has ended meanwhile", closed + 1), std::string::npos);
}

TEST_F(FlashTest, TerminationCancelsWithoutAskingAndStillEndsTheStream) {
  WriteBytes(dir_ / "long.jtg", FirmwareFile(kKindAD, PlainPayload(30000)));
  const pid_t pid = Spawn({"update", (dir_ / "long.jtg").string(), "--simulate", "--yes"});
  ASSERT_TRUE(WaitForError("(answered Yes: --yes)"));
  std::this_thread::sleep_for(milliseconds(400));
  kill(pid, SIGTERM);  // not a death: the session still sends the end byte and closes the ports
  const FlashRun run = Wait(pid);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("(terminating: OK)"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Abort!: Update aborted!"), std::string::npos) << run.err;
  EXPECT_TRUE(std::regex_search(run.out, kSummary)) << run.out;
}

TEST_F(FlashTest, CtrlCBeforeTheWarningRefusesEvenWithYes) {
  const pid_t pid = Spawn({"update", kExample, "--simulate", "--yes"});
  // The port line is printed just before the 500 ms identification begins.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (ReadText(dir_ / "stdout").find("via in 0") == std::string::npos) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::sleep_for(milliseconds(2));
  }
  kill(pid, SIGINT);
  const FlashRun run = Wait(pid);
  EXPECT_EQ(run.status, 1) << run.err;
  EXPECT_NE(run.err.find("(interrupted: No)"), std::string::npos) << run.err;
  EXPECT_NE(run.out.find("Sent 8 bytes in 1 message,"), std::string::npos) << run.out;
}

// However the update is stopped from outside, the device's stream is closed with F7 and the
// outcome is reported: a signal that would kill the program mid-stream is taken as a cancel.
struct StopCase {
  const char* name;
  int signal;       // sent once the stream runs, or 0
  bool pipeClosed;  // standard output read by `head -1`
  bool fast;        // on virtual time
  const char* outcome;
};

class FlashStop : public FlashTest, public ::testing::WithParamInterface<StopCase> {};

TEST_P(FlashStop, StreamEndsWithF7AndTheOutcome) {
  const StopCase& c = GetParam();
  WriteBytes(dir_ / "long.jtg", FirmwareFile(kKindAD, PlainPayload(c.fast ? 3000 : 30000)));
  std::vector<std::string> args = {"update", (dir_ / "long.jtg").string(), "--simulate", "--yes"};
  if (c.fast) args.push_back("--fast");
  const pid_t pid = Spawn(args, "", c.pipeClosed ? Output::Pipe : Output::File);
  if (c.pipeClosed) {
    EXPECT_NE(ReadOneLineAndClose().find("Firmware "), std::string::npos);
  }
  if (c.signal != 0) {
    ASSERT_TRUE(WaitForError("(answered Yes: --yes)"));
    std::this_thread::sleep_for(milliseconds(400));
    kill(pid, c.signal);
  }
  const FlashRun run = Wait(pid);
  EXPECT_TRUE(run.status == 0 || run.status == 1) << "killed: " << run.status << "\n" << run.err;
  EXPECT_NE(run.err.find(c.outcome), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("Simulated converter: received"), std::string::npos) << run.err;
  EXPECT_NE(run.err.find("the stream ended with F7"), std::string::npos) << run.err;
}

INSTANTIATE_TEST_SUITE_P(
    Cli, FlashStop,
    ::testing::Values(StopCase{"quit", SIGQUIT, false, false, "Abort!: Update aborted!"},
                      StopCase{"pipe", SIGPIPE, false, false, "Abort!: Update aborted!"},
                      // The reader goes away after the first line; the next progress line finds
                      // the pipe closed while the stream runs.
                      StopCase{"head", 0, true, false, "Abort!: Update aborted!"},
                      // On virtual time the stream may be over before anything more is written:
                      // then it ends as it would have, done.
                      StopCase{"head_fast", 0, true, true, "!: Update "}),
    [](const ::testing::TestParamInfo<StopCase>& info) { return info.param.name; });

// Verbs whose output is their result must not pass for a success when it was not written.
TEST_F(FlashTest, UnwritableOutputIsAnErrorExceptForAnUpdate) {
  const std::vector<std::vector<std::string>> verbs = {
      {"inspect", kExample}, {"--help"}, {"--version"}, {"export", kExample, "-"}};
  for (const Output output : {Output::Full, Output::Closed}) {
    for (const std::vector<std::string>& verb : verbs) {
      const FlashRun run = Wait(Spawn(verb, "", output));
      EXPECT_EQ(run.status, 2) << verb[0] << ": " << run.err;
      EXPECT_NE(run.err.find("varnet-flash: standard output: "), std::string::npos) << run.err;
    }
  }
  // The update's own outcome stands: the device was updated whatever became of the lines.
  const FlashRun update =
      Wait(Spawn({"update", kExample, "--simulate", "--fast", "--yes"}, "", Output::Full));
  EXPECT_EQ(update.status, 0) << update.err;
}

struct AnswerCase {
  const char* input;
  int status;
  const char* said;  // on standard error after the question
  int asked;         // how often the question was put
};

TEST_F(FlashTest, WarningAnswersAreBoundedAndAskedAgainWhenUnclear) {
  const std::vector<AnswerCase> cases = {
      {"", 1, "(end of input: No)", 1},
      {"\n", 1, "", 1},  // Enter takes the default
      {"yes please\nYES\n", 0, "Done!", 2},
      {"maybe\nperhaps\nsure\ny\n", 1, "(no clear answer: No)", 3},
      {"what\n", 1, "(end of input: No)", 2},
  };
  for (const AnswerCase& c : cases) {
    const FlashRun run = Flash({"update", kExample, "--simulate", "--fast"}, c.input);
    EXPECT_EQ(run.status, c.status) << c.input << run.err;
    EXPECT_NE(run.err.find(c.said), std::string::npos) << c.input << run.err;
    std::size_t asked = 0;
    for (std::size_t at = run.err.find("[y/N]"); at != std::string::npos;
         at = run.err.find("[y/N]", at + 1)) {
      ++asked;
    }
    EXPECT_EQ(asked, static_cast<std::size_t>(c.asked)) << c.input << run.err;
  }
  // Endless input without a line end is cut into answers instead of being gathered for ever.
  const FlashRun zero =
      Wait(Spawn({"update", kExample, "--simulate", "--fast"}, "", Output::File, "/dev/zero"),
           std::chrono::seconds(20));
  EXPECT_EQ(zero.status, 1);
  EXPECT_NE(zero.err.find("(no clear answer: No)"), std::string::npos) << zero.err;
}

struct UsageCase {
  std::vector<std::string> args;
  const char* said;
};

TEST_F(FlashTest, UsageErrorsSayWhatWasExpected) {
  const std::vector<UsageCase> cases = {
      {{"update", kExample, "--in", "-1"}, "--in: expected a port index (0 or more)"},
      {{"update", kExample, "--out", "abc"}, "--out: expected a port index (0 or more)"},
      {{"update", kExample, "--in", "99999999999"}, "--in: expected a port index (0 or more)"},
      {{"bogus"}, "unknown command 'bogus'; the commands are inspect, update, list, export"},
      {{"--version", "bogus"}, "unknown command 'bogus'"},
      {{"update", kExample, "--simulate=xx"}, "expected --simulate, --simulate=ad or"},
      // The kind is never taken from the next word: here the file would be "da".
      {{"update", "--simulate", "da", kExample}, "not expected"},
  };
  for (const UsageCase& c : cases) {
    const FlashRun run = Flash(c.args);
    EXPECT_EQ(run.status, 2) << c.args[0] << " " << c.args.back();
    EXPECT_NE(run.err.find(c.said), std::string::npos) << run.err;
  }
  // A bare --simulate before the file leaves the file where it is.
  EXPECT_EQ(Flash({"update", "--simulate", kExample, "--fast", "--yes"}).status, 0);
}

// Names that are not files, and names with control characters: refused at once, printed
// harmlessly.
TEST_F(FlashTest, SpecialFilesAreRefusedWithoutWaiting) {
  ASSERT_EQ(mkfifo((dir_ / "fifo.jtg").c_str(), 0600), 0);
  const std::string fifo = (dir_ / "fifo.jtg").string();
  const std::vector<std::vector<std::string>> cases = {
      {"inspect", fifo},
      {"update", fifo, "--simulate", "--yes"},
      {"export", fifo, (dir_ / "out.bin").string()},
      {"inspect", "/dev/zero"},
  };
  for (const std::vector<std::string>& args : cases) {
    const FlashRun run = Wait(Spawn(args), std::chrono::seconds(10));
    EXPECT_EQ(run.status, 2) << args[0] << " " << args[1];
    EXPECT_NE(run.err.find("not a regular file"), std::string::npos) << run.err;
  }
  EXPECT_FALSE(fs::exists(dir_ / "out.bin"));

  // A FIFO in place of ini.upd is not waited on either: the update goes on without settings.
  ASSERT_EQ(mkfifo((dir_ / "ini.upd").c_str(), 0600), 0);
  const FlashRun settings = Wait(Spawn({"update", kExample, "--yes"}), std::chrono::seconds(10));
  EXPECT_EQ(settings.status, 1) << settings.err;

  const std::string odd = (dir_ / "a\x1b[2Jb\nc.jtg").string();
  const FlashRun named = Flash({"inspect", odd});
  EXPECT_EQ(named.status, 2);
  EXPECT_NE(named.err.find("a\\x1B[2Jb\\nc.jtg\""), std::string::npos) << named.err;
  EXPECT_EQ(named.err.find('\x1b'), std::string::npos);
}

// Whatever stands in the place of ini.upd is ignored, and the command line says so and why
// (the window keeps silent); a missing file is a first start and says nothing.
TEST_F(FlashTest, AnIgnoredSettingsFileIsReportedWithItsReason) {
  struct Row {
    const char* what;
    std::function<void(const fs::path&)> make;
    const char* reason;  // null: nothing to report
  };
  const std::vector<Row> rows = {
      {"missing", [](const fs::path&) {}, nullptr},
      {"a directory", [](const fs::path& p) { fs::create_directory(p); }, "directory"},
      {"a FIFO", [](const fs::path& p) { ASSERT_EQ(mkfifo(p.c_str(), 0600), 0); },
       "not a regular file"},
      {"a link to /dev/zero", [](const fs::path& p) { fs::create_symlink("/dev/zero", p); },
       "not a regular file"},
      {"ten bytes",
       [](const fs::path& p) {
         WriteBytes(p, {'u', 'p', 'd', 'i', 'n', 'i', 0, 0, 0, 0});
       },
       "only 10 bytes"},
      {"another file", [](const fs::path& p) { WriteBytes(p, std::vector<uint8_t>(100, 'x')); },
       "updini"},
  };
  for (const Row& row : rows) {
    const fs::path settings = dir_ / "ini.upd";
    fs::remove_all(settings);
    row.make(settings);
    const FlashRun run = Wait(Spawn({"update", kExample, "--yes"}), std::chrono::seconds(10));
    EXPECT_EQ(run.status, 1) << row.what << ": " << run.err;
    const std::size_t line = run.err.find("Warning: ini.upd is ignored (");
    if (row.reason == nullptr) {
      EXPECT_EQ(line, std::string::npos) << row.what << ": " << run.err;
    } else {
      ASSERT_NE(line, std::string::npos) << row.what << ": " << run.err;
      EXPECT_NE(run.err.find(row.reason, line), std::string::npos) << row.what << ": " << run.err;
    }
  }
  // With both ports given there is nothing the file would have chosen.
  WriteBytes(dir_ / "ini.upd", std::vector<uint8_t>(5, 'x'));
  const FlashRun given = Flash({"update", kExample, "--yes", "--in", "0", "--out", "0"});
  EXPECT_EQ(given.err.find("is ignored"), std::string::npos) << given.err;
}

TEST_F(FlashTest, ExportToStandardOutputKeepsTheReportApart) {
  ASSERT_EQ(Flash({"export", kExample, (dir_ / "stream.bin").string()}).status, 0);
  const FlashRun run = Flash({"export", kExample, "-"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(run.out, ReadText(dir_ / "stream.bin"));
  EXPECT_NE(run.err.find("bytes to -"), std::string::npos) << run.err;
}

#ifdef VARNET_SIM_BINARY
// varnet-sim fails with 2 for every usage error, and before any MIDI port is opened for a file
// it could only have found wrong at the end of the run.
TEST_F(FlashTest, SimulatorUsageErrorsExitTwoAtOnce) {
  const std::string sim = VARNET_SIM_BINARY;
  const std::vector<std::vector<std::string>> cases = {
      {"--kind", "xx"},
      {"--bogus"},
      {"--alsa", "--jack"},
      {"--expect", (dir_ / "missing.jtg").string()},
      {"--symbols-out", (dir_ / "no-such-dir" / "symbols.txt").string()},
      {"--symbols-out", dir_.string()},
  };
  for (const std::vector<std::string>& args : cases) {
    std::string command = "'" + sim + "'";
    for (const std::string& arg : args) command += " '" + arg + "'";
    command += " >/dev/null 2>'" + (dir_ / "sim-err").string() + "'";
    const int status = std::system(command.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << args[0] << ": " << status;
    const bool namesAFile = args.size() == 2 && args[1].rfind(dir_.string(), 0) == 0;
    if (namesAFile) {
      EXPECT_NE(ReadText(dir_ / "sim-err").find(args[0]), std::string::npos) << args[0];
    }
  }
  EXPECT_FALSE(fs::exists(dir_ / "no-such-dir"));
}
#endif

TEST_F(FlashTest, ListShowsNoPortsWithoutFailing) {
  // Whatever the machine has: every line names a direction, an index and a name.
  const FlashRun run = Flash({"list"});
  EXPECT_EQ(run.status, 0) << run.err;
  const std::regex line(R"((in|out) \d+: .+)");
  std::size_t start = 0;
  while (start < run.out.size()) {
    const std::size_t end = run.out.find('\n', start);
    ASSERT_NE(end, std::string::npos);
    EXPECT_TRUE(std::regex_match(run.out.substr(start, end - start), line));
    start = end + 1;
  }
}

TEST(ListPorts, OneLinePerPortWithItsIndex) {
  VirtualClock clock;
  VirtualMidiPlatform platform(clock, VirtualPorts(2, 3));
  std::ostringstream out;
  EXPECT_EQ(ListMidiPorts(platform, out), 0);
  EXPECT_EQ(out.str(),
            "in 0: Varnet Simulator In\nin 1: Virtual In 2\nout 0: Varnet Simulator Out\n"
            "out 1: Virtual Out 2\nout 2: Virtual Out 3\n");
}

// The whole road once: what the device decodes is the file's symbols and pauses, and the bytes
// it receives are exactly what `varnet-flash export` says an update sends.
TEST_F(FlashTest, EndToEndDeviceReceivesTheExportedStreamAndDecodesTheFile) {
  const FlashRun exported = Flash({"export", kExample, (dir_ / "stream.bin").string()});
  ASSERT_EQ(exported.status, 0) << exported.err;
  const std::vector<uint8_t> stream = ReadBytes(dir_ / "stream.bin");
  ASSERT_GT(stream.size(), 12u);

  const std::vector<uint8_t> file = ReadBytes(kExample);
  const std::vector<uint8_t> payload(file.begin() + 11, file.end());
  SessionRig rig(sim::ConverterConfig{});
  rig.converter.setKind(sim::kKindAD);
  rig.load(kKindAD, payload);
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  ASSERT_EQ(rig.session->lastOutcome, SessionOutcome::Done);

  std::vector<uint8_t> expected = kIdentifyRequest;
  expected.insert(expected.end(), stream.begin(), stream.end());
  EXPECT_EQ(rig.converter.received(), expected);
  const sim::StreamDecode decoded = rig.converter.decoded();
  EXPECT_TRUE(decoded.ended);
  const sim::ExpectedStream wanted = sim::ExpectStream(payload);
  EXPECT_EQ(decoded.symbols, wanted.symbols);
  EXPECT_EQ(decoded.tailByte, wanted.tailByte);

  // Every pause of the file, at its place in the symbols.
  ASSERT_EQ(decoded.pauses.size(), wanted.pauses.size());
  for (std::size_t i = 0; i < wanted.pauses.size(); ++i) {
    EXPECT_EQ(decoded.pauses[i].symbolIndex, wanted.pauses[i].symbolIndex) << "pause " << i;
  }
}

// Each pause must last at least its length where it matters, at the device. The wire is slower
// than the sender's 10 ms slots (32 bytes need 10.24 ms at 31250 baud), so a pause timed from the
// sender's own schedule would reach the device a few milliseconds short; pauses start when the
// last piece has been delivered.
TEST_F(FlashTest, EndToEndPausesLastTheirLengthAtTheDevice) {
  const std::vector<uint8_t> file = ReadBytes(kExample);
  const std::vector<uint8_t> payload(file.begin() + 11, file.end());
  SessionRig rig(sim::ConverterConfig{});
  rig.converter.setKind(sim::kKindAD);
  rig.load(kKindAD, payload);
  OnRunUpdate(*rig.session);
  ASSERT_TRUE(rig.runToFinish());
  const sim::StreamDecode decoded = rig.converter.decoded();
  EXPECT_TRUE(decoded.violations.empty());
  EXPECT_EQ(sim::CompareStream(sim::ExpectStream(payload), decoded), "");
}

TEST_F(FlashTest, DetectFindsTheSimulatedConverterAmongSilentPorts) {
  struct Row {
    std::vector<std::string> args;
    int status;
    std::string out;  // exact, or a part of it when `partOfOut`
    bool partOfOut = false;
  };
  const std::vector<Row> rows = {
      {{"detect", "--simulate", "--fast"},
       0,
       "found: in 1 (Varnet Simulator In) out 2 (Varnet Simulator Out): AD converter\n"},
      {{"detect", "--simulate=da", "--fast", "--json"},
       0,
       R"({"found":[{"in":1,"in_name":"Varnet Simulator In","out":2,)"
       R"("out_name":"Varnet Simulator Out","kind":"DA"}],"outputs_asked":3,"skipped":[]})"
       "\n"},
      {{"update", kExample, "--detect", "--simulate", "--fast", "--yes"},
       0,
       "via in 1: Varnet Simulator In, out 2: Varnet Simulator Out",
       true},
      {{"update", kExample, "--detect", "--in", "0"}, 2, ""},
  };
  for (const Row& row : rows) {
    const FlashRun run = Flash(row.args);
    EXPECT_EQ(run.status, row.status) << row.args[0] << " " << row.args[1] << "\n" << run.err;
    if (row.partOfOut) {
      EXPECT_NE(run.out.find(row.out), std::string::npos) << run.out;
    } else {
      EXPECT_EQ(run.out, row.out);
    }
  }
}

}  // namespace
}  // namespace varnet::testing
