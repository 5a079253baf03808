// varnet-flash export: the stream written whole, or nothing destroyed.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "engine/firmware.h"

namespace varnet::test {
namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

const Bytes kHeader = {0xF0, 0x00, 0x20, 0x0D, 0x32, 0x7F, 0x08, 0x15, 0x47, 0x11};

Bytes FirmwareFile(const Bytes& payload, uint8_t kind = kKindAD) {
  Bytes file = {'J', 'T', 'G', kind, 0x07, 0x08, 0x01};
  const auto length = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) file.push_back(uint8_t(length >> shift));
  file.insert(file.end(), payload.begin(), payload.end());
  while (file.size() < 51) file.push_back(0);
  return file;
}

class TempDir {
 public:
  TempDir() {
    path_ = fs::temp_directory_path() /
            ("varnet-export-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) +
             "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() { fs::remove_all(path_); }
  std::string file(const std::string& name, const Bytes& bytes = {}) const {
    const fs::path p = path_ / name;
    if (!bytes.empty()) {
      std::ofstream(p, std::ios::binary)
          .write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    return p.string();
  }
  const fs::path& path() const { return path_; }

 private:
  fs::path path_;
};

Bytes ReadAll(const std::string& path) {
  std::ifstream file(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(file), {});
}

struct CliRun {
  int exitCode;
  std::string out;
  std::string err;
};

CliRun RunCli(std::vector<std::string> args) {
  std::ostringstream out, err;
  CliContext context(out, err);
  CLI::App app;
  app.require_subcommand(1);
  AddExportCommand(app, context);
  args.insert(args.begin(), "varnet-flash");
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());
  app.parse(int(argv.size()), argv.data());
  return {context.exitCode, out.str(), err.str()};
}

TEST(ExportCommand, WritesHeaderStreamAndEndByte) {
  TempDir dir;
  const std::string in = dir.file("fw.jtg", FirmwareFile({0x01, 0x02, 0x23, 0x01}));
  const std::string out = dir.file("stream.bin");
  const CliRun run = RunCli({"export", in, out});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  Bytes expected = kHeader;
  for (uint8_t b : {0x10, 0x00, 0x74, 0xF7}) expected.push_back(b);
  EXPECT_EQ(ReadAll(out), expected);
  EXPECT_NE(run.out.find("14 bytes"), std::string::npos) << run.out;
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 2);  // no temporary file left
}

TEST(ExportCommand, ExitCodes) {
  TempDir dir;
  const std::string good = dir.file("good.jtg", FirmwareFile({0x01, 0x02, 0x03}));
  Bytes bad = FirmwareFile({0x01});
  bad[6] = 0x02;  // format bytes 07 08 02
  const std::string notValid = dir.file("bad.jtg", bad);

  EXPECT_EQ(RunCli({"export", notValid, dir.file("a.bin")}).exitCode, 1);
  EXPECT_FALSE(fs::exists(dir.file("a.bin")));

  const CliRun missing = RunCli({"export", dir.file("missing.jtg"), dir.file("b.bin")});
  EXPECT_EQ(missing.exitCode, 2);
  EXPECT_NE(missing.err.find("missing.jtg"), std::string::npos);

  const std::string unwritable = (dir.path() / "no-such-dir" / "c.bin").string();
  EXPECT_EQ(RunCli({"export", good, unwritable}).exitCode, 2);

  // A directory in the way: the stream is not written, nothing half-written is left behind.
  fs::create_directories(dir.path() / "taken");
  EXPECT_EQ(RunCli({"export", good, (dir.path() / "taken").string()}).exitCode, 2);
  EXPECT_TRUE(fs::is_empty(dir.path() / "taken"));

  // A declared length of 0: an update refuses the file, and so does export.
  const std::string empty = dir.file("empty.jtg", FirmwareFile({}));
  const CliRun none = RunCli({"export", empty, dir.file("d.bin")});
  EXPECT_EQ(none.exitCode, 1);
  EXPECT_NE(none.err.find("The firmware file holds no data!"), std::string::npos) << none.err;
  EXPECT_FALSE(fs::exists(dir.file("d.bin")));
  EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}), 4);  // three inputs, "taken"
}

#ifndef _WIN32
// What stands where the stream goes is either replaced whole by a regular file of the stream,
// written into as it is (devices), or left alone; the firmware file is never the output.
TEST(ExportCommand, NeverDestroysWhatIsInTheWay) {
  const Bytes firmware = FirmwareFile({0x03, 0x03, 0x03});
  Bytes stream = kHeader;
  for (uint8_t b : {0x7F, 0x40, 0xF7}) stream.push_back(b);
  const Bytes old(40, 0xAA);
  const fs::perms readOnly = fs::perms::owner_read | fs::perms::group_read;
  const fs::perms shared = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;

  struct Case {
    const char* name;
    // Prepares the folder, returns the output path to give.
    std::function<std::string(const TempDir&, const std::string& in)> prepare;
    int exitCode;
    const char* checked;  // the file whose contents are checked afterwards ("": the output)
    const Bytes& contents;
    fs::perms perms;  // of the checked file afterwards (none: not checked)
  };
  const std::vector<Case> cases = {
      {"link followed",
       [&](const TempDir& d, const std::string&) {
         d.file("target.bin", old);
         fs::create_symlink("target.bin", d.path() / "link.bin");
         return (d.path() / "link.bin").string();
       },
       0, "target.bin", stream, fs::perms::none},
      {"same file", [](const TempDir&, const std::string& in) { return in; }, 2, "fw.jtg", firmware,
       fs::perms::none},
      {"same file through a link",
       [](const TempDir& d, const std::string& in) {
         fs::create_symlink(in, d.path() / "other.jtg");
         return (d.path() / "other.jtg").string();
       },
       2, "fw.jtg", firmware, fs::perms::none},
      {"read-only file kept",
       [&](const TempDir& d, const std::string&) {
         const std::string out = d.file("locked.bin", old);
         fs::permissions(out, readOnly);
         return out;
       },
       2, "locked.bin", old, readOnly},
      {"permissions kept",
       [&](const TempDir& d, const std::string&) {
         const std::string out = d.file("shared.bin", old);
         fs::permissions(out, shared);
         return out;
       },
       0, "shared.bin", stream, shared},
      {"longest name",
       [&](const TempDir& d, const std::string&) { return d.file(std::string(250, 'n') + ".bin"); },
       0, "", stream, fs::perms::none},
  };
  for (const Case& c : cases) {
    TempDir dir;
    const std::string in = dir.file("fw.jtg", firmware);
    const std::string out = c.prepare(dir, in);
    const bool existed = fs::exists(out);
    const auto entries = std::distance(fs::directory_iterator(dir.path()), {});
    const CliRun run = RunCli({"export", in, out});
    EXPECT_EQ(run.exitCode, c.exitCode) << c.name << ": " << run.err;
    const std::string checked = *c.checked ? (dir.path() / c.checked).string() : out;
    EXPECT_EQ(ReadAll(checked), c.contents) << c.name;
    if (c.perms != fs::perms::none) {
      EXPECT_EQ(fs::status(checked).permissions() & fs::perms::all, c.perms) << c.name;
    }
    // Nothing left beside it: no temporary file, and the link is still a link.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir.path()), {}),
              entries + (!existed && run.exitCode == 0 ? 1 : 0))
        << c.name;
    if (fs::exists(fs::symlink_status(dir.path() / "link.bin"))) {
      EXPECT_TRUE(fs::is_symlink(fs::symlink_status(dir.path() / "link.bin"))) << c.name;
    }
  }
}

// A device is written into, never replaced by a regular file (this ran as root, once).
TEST(ExportCommand, DeviceStaysADevice) {
  TempDir dir;
  const std::string in = dir.file("fw.jtg", FirmwareFile({0x01}));
  EXPECT_EQ(RunCli({"export", in, "/dev/null"}).exitCode, 0);
  EXPECT_TRUE(fs::is_character_file("/dev/null"));
  const CliRun full = RunCli({"export", in, "/dev/full"});
  EXPECT_EQ(full.exitCode, 2);
  EXPECT_TRUE(fs::is_character_file("/dev/full"));
}
#endif

TEST(ExportCommand, ReplacesAnExistingFileWhole) {
  TempDir dir;
  const std::string in = dir.file("fw.jtg", FirmwareFile({0x03, 0x03, 0x03}));
  const std::string out = dir.file("stream.bin", Bytes(500, 0xAA));
  ASSERT_EQ(RunCli({"export", in, out}).exitCode, 0);
  Bytes expected = kHeader;
  for (uint8_t b : {0x7F, 0x40, 0xF7}) expected.push_back(b);
  EXPECT_EQ(ReadAll(out), expected);
}

}  // namespace
}  // namespace varnet::test
