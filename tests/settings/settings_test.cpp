#include "settings/settings.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <random>
#include <string>
#include <vector>

#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#endif

namespace varnet {
namespace {

namespace fs = std::filesystem;

std::vector<uint8_t> SettingsBytes(uint8_t input, uint8_t output, uint8_t type,
                                   size_t size = kSettingsFileSize) {
  std::vector<uint8_t> bytes = {'u', 'p', 'd', 'i', 'n', 'i', input, output, type};
  bytes.resize(size, 0);
  return bytes;
}

class SettingsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() /
           ("varnet-settings-" + std::to_string(std::random_device{}()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add, ec);
    fs::permissions(File(), fs::perms::owner_write, fs::perm_options::add, ec);
    fs::remove_all(dir_, ec);
  }

  fs::path File() const { return dir_ / "ini.upd"; }
  void WriteFile(const std::vector<uint8_t>& bytes) {
    std::ofstream(File(), std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
  }
  std::vector<uint8_t> ReadFile() const {
    std::ifstream in(File(), std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
  }
  // Only the settings file itself may be left in the directory: no temporary file.
  size_t FilesInDirectory() const {
    return static_cast<size_t>(
        std::distance(fs::directory_iterator(dir_), fs::directory_iterator()));
  }

  int Load() { return LoadSettings(dir_.string(), buffer_, {input_, output_, type_}); }
  int Save() { return SaveSettings(dir_.string(), buffer_, {input_, output_, type_}); }
  void ExpectValues(int32_t input, int32_t output, uint8_t type) const {
    EXPECT_EQ(input_, input);
    EXPECT_EQ(output_, output);
    EXPECT_EQ(type_, type);
  }

  fs::path dir_;
  FileBuffer buffer_;
  int32_t input_ = 7;
  int32_t output_ = 8;
  uint8_t type_ = 9;
};

TEST_F(SettingsTest, SaveWritesTheDocumentedHundredBytes) {
  input_ = 1;
  output_ = 2;
  type_ = 1;
  EXPECT_EQ(Save(), 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(1, 2, 1));
  EXPECT_EQ(buffer_.writeSize, 100u);
  EXPECT_EQ(buffer_.bytesWritten, 100u);
  EXPECT_EQ(FilesInDirectory(), 1u);

  input_ = output_ = 0;
  type_ = 0;
  EXPECT_EQ(Load(), 1);
  ExpectValues(1, 2, 1);
}

TEST_F(SettingsTest, MissingFileLeavesValuesAlone) {
  EXPECT_EQ(Load(), 0);
  ExpectValues(7, 8, 9);
  EXPECT_FALSE(fs::exists(File()));
}

// A program starts on the first ports whenever the file cannot be used, and on the stored ones
// otherwise.
TEST_F(SettingsTest, DefaultsReplaceWhatAnUnusableFileWouldHaveSet) {
  struct Case {
    const char* what;
    std::vector<uint8_t> bytes;  // empty: no file
    bool loaded;
    int32_t input, output;
    uint8_t type;
  };
  const std::vector<uint8_t> stored = SettingsBytes(3, 4, 1);
  const std::vector<Case> cases = {
      {"no file", {}, false, 0, 0, 0},
      {"ten bytes", std::vector<uint8_t>(stored.begin(), stored.begin() + 10), false, 0, 0, 0},
      {"stored", SettingsBytes(3, 4, 1), true, 3, 4, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    fs::remove(File());
    if (!c.bytes.empty()) WriteFile(c.bytes);
    input_ = 7;
    output_ = 8;
    type_ = 9;
    EXPECT_EQ(LoadSettingsOrDefaults(dir_.string(), buffer_, {input_, output_, type_}), c.loaded);
    ExpectValues(c.input, c.output, c.type);
  }
}

TEST_F(SettingsTest, ElevenBytesAreEnoughTenAreNot) {
  std::vector<uint8_t> bytes = SettingsBytes(3, 4, 1, 10);
  WriteFile(bytes);
  EXPECT_EQ(Load(), 0);
  ExpectValues(7, 8, 9);

  bytes.push_back(0x55);
  WriteFile(bytes);
  EXPECT_EQ(Load(), 1);
  ExpectValues(3, 4, 1);
}

TEST_F(SettingsTest, MagicMustMatchEveryByteAndLetterCase) {
  for (size_t i = 0; i < 6; ++i) {
    std::vector<uint8_t> bytes = SettingsBytes(3, 4, 1);
    bytes[i] = static_cast<uint8_t>(bytes[i] - 'a' + 'A');
    WriteFile(bytes);
    EXPECT_EQ(Load(), 0) << i;
    ExpectValues(7, 8, 9);
  }
}

TEST_F(SettingsTest, NoSelectionIsStoredAs0xFFAndReadBackAs255) {
  input_ = -1;
  output_ = -1;
  type_ = 0xFF;
  EXPECT_EQ(Save(), 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(0xFF, 0xFF, 0xFF));
  EXPECT_EQ(Load(), 1);
  ExpectValues(255, 255, 255);
}

TEST_F(SettingsTest, OnlyTheLowByteOfAnIndexIsStored) {
  input_ = 0x1234;
  output_ = 256;
  EXPECT_EQ(Save(), 1);
  EXPECT_EQ(Load(), 1);
  ExpectValues(0x34, 0, 9);
}

TEST_F(SettingsTest, LongerFileIsAcceptedAndReplacedByHundredBytes) {
  WriteFile(SettingsBytes(5, 6, 0, 200));
  EXPECT_EQ(Load(), 1);
  ExpectValues(5, 6, 0);
  EXPECT_EQ(Save(), 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(5, 6, 0));
}

#ifndef _WIN32
TEST_F(SettingsTest, ReplacedFileKeepsItsAccessRights) {
  WriteFile(SettingsBytes(5, 6, 1));
  fs::permissions(File(), fs::perms::owner_read | fs::perms::owner_write);
  EXPECT_EQ(Save(), 1);
  EXPECT_EQ(fs::status(File()).permissions() & fs::perms::all,
            fs::perms::owner_read | fs::perms::owner_write);
}
#endif

TEST_F(SettingsTest, ReadOnlyFileIsReadAndSilentlyKept) {
  const std::vector<uint8_t> old = SettingsBytes(5, 6, 1, 120);
  WriteFile(old);
  fs::permissions(File(), fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
  EXPECT_EQ(Load(), 1);
  input_ = 9;
  EXPECT_EQ(Save(), 0);
  EXPECT_EQ(ReadFile(), old);
  EXPECT_EQ(FilesInDirectory(), 1u);
}

TEST_F(SettingsTest, DirectoryInTheWayIsLeftAlone) {
  fs::create_directory(File());
  EXPECT_EQ(Load(), 0);
  EXPECT_EQ(Save(), 0);
  EXPECT_TRUE(fs::is_directory(File()));
  EXPECT_EQ(FilesInDirectory(), 1u);
}

#ifndef _WIN32
// A write that runs out of room half way (as on a full disk) must leave the old file whole.
// The file size limit makes every write past 50 bytes fail, for root as well.
TEST_F(SettingsTest, FailedWriteLeavesTheOldFileWhole) {
  const std::vector<uint8_t> old = SettingsBytes(5, 6, 1);
  WriteFile(old);
  input_ = 1;

  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  rlimit tight = saved;
  tight.rlim_cur = 50;
  const auto previousHandler = std::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
  const int result = Save();
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, previousHandler);

  EXPECT_EQ(result, 0);
  EXPECT_EQ(ReadFile(), old);
  EXPECT_EQ(FilesInDirectory(), 1u);
}

// A folder that takes no new file while ini.upd itself may be written: the file is rewritten in
// place rather than the settings lost. Root may write into any folder, so as root the save runs
// in a child that has given up root.
TEST_F(SettingsTest, FolderRefusingNewFilesStillLetsTheFileBeRewritten) {
  WriteFile(SettingsBytes(5, 6, 1, 200));
  fs::permissions(File(), fs::perms::all);
  fs::permissions(dir_, fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                  fs::perm_options::remove);
  input_ = 1;
  int result = -1;
  if (geteuid() == 0) {
    const pid_t child = fork();
    if (child == 0) {
      if (setgid(65534) != 0 || setuid(65534) != 0) _exit(99);
      _exit(Save());
    }
    int status = 0;
    waitpid(child, &status, 0);
    result = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  } else {
    result = Save();
  }
  EXPECT_EQ(result, 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(1, 8, 9));
  EXPECT_EQ(FilesInDirectory(), 1u);
}

// Whatever stands in the place of ini.upd: a link is written through, a FIFO is neither waited on
// nor replaced, a huge file costs no more to read than a valid one.
TEST_F(SettingsTest, SpecialFilesInItsPlace) {
  WriteFile(SettingsBytes(5, 6, 1));
  fs::rename(File(), dir_ / "real.upd");
  fs::create_symlink("real.upd", File());
  input_ = 2;
  EXPECT_EQ(Save(), 1);
  EXPECT_TRUE(fs::is_symlink(fs::symlink_status(File())));
  EXPECT_EQ(ReadFile(), SettingsBytes(2, 8, 9));
  EXPECT_EQ(FilesInDirectory(), 2u);

  fs::remove(File());
  ASSERT_EQ(mkfifo(File().c_str(), 0600), 0);
  EXPECT_EQ(Load(), 0);
  EXPECT_EQ(Save(), 0);
  EXPECT_TRUE(fs::is_fifo(File()));
  EXPECT_EQ(FilesInDirectory(), 2u);

  fs::remove(File());
  WriteFile(SettingsBytes(3, 4, 0));
  fs::resize_file(File(), std::uintmax_t{1} << 30);  // sparse: costs no disk
  EXPECT_EQ(Load(), 1);
  ExpectValues(3, 4, 0);
  EXPECT_LE(buffer_.data.size(), kSettingsFileSize + 2);
}
#endif

TEST_F(SettingsTest, PathIsTheStartDirectoryNotTheCurrentOne) {
  const fs::path previous = fs::current_path();
  fs::create_directory(dir_ / "elsewhere");
  fs::current_path(dir_ / "elsewhere");
  const int result = Save();
  fs::current_path(previous);
  EXPECT_EQ(result, 1);
  EXPECT_TRUE(fs::exists(File()));
  EXPECT_FALSE(fs::exists(dir_ / "elsewhere" / "ini.upd"));
}

}  // namespace
}  // namespace varnet

namespace varnet {
namespace {

class PortNamesTest : public SettingsTest {
 protected:
  int LoadNames() {
    return LoadSettings(dir_.string(), buffer_, {input_, output_, type_, &names_});
  }
  int SaveNames() {
    return SaveSettings(dir_.string(), buffer_, {input_, output_, type_, &names_});
  }
  // What a program that knows only the indices makes of the file.
  void ExpectIndexOnlyReaderSees(uint8_t input, uint8_t output, uint8_t type) {
    int32_t in = -5, out = -5;
    uint8_t kind = 7;
    ASSERT_EQ(LoadSettings(dir_.string(), buffer_, {in, out, kind}), 1);
    EXPECT_EQ(in, input);
    EXPECT_EQ(out, output);
    EXPECT_EQ(kind, type);
  }

  StoredPortNames names_;
};

TEST_F(PortNamesTest, NamesTravelInTheReservedBytesOfTheSameHundredByteFile) {
  input_ = 1;
  output_ = 2;
  type_ = 1;
  names_ = {"J: USB 4x4 with more:midi_in 1", "J: USB 4x4 with more:midi_out 1"};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> bytes = ReadFile();
  ASSERT_EQ(bytes.size(), kSettingsFileSize);
  const std::vector<uint8_t> indexOnly = SettingsBytes(1, 2, 1);
  EXPECT_TRUE(std::equal(indexOnly.begin(), indexOnly.begin() + 9, bytes.begin()));
  ExpectIndexOnlyReaderSees(1, 2, 1);

  names_ = {"stale", "stale"};
  ASSERT_EQ(LoadNames(), 1);
  ExpectValues(1, 2, 1);
  EXPECT_EQ(names_.input, "J: USB 4x4 with more:midi_in 1");
  EXPECT_EQ(names_.output, "J: USB 4x4 with more:midi_out 1");
}

TEST_F(PortNamesTest, FileWithoutNamesLoadsAsBeforeAndWithoutNamesStaysIndexOnly) {
  WriteFile(SettingsBytes(3, 4, 1));
  names_ = {"stale", "stale"};
  ASSERT_EQ(LoadNames(), 1);
  ExpectValues(3, 4, 1);
  EXPECT_EQ(names_.input, "");
  EXPECT_EQ(names_.output, "");

  names_ = {};
  ASSERT_EQ(SaveNames(), 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(3, 4, 1));
}

TEST_F(PortNamesTest, NameTooLongIsNotStoredAndTheOtherStillIs) {
  input_ = 0;
  output_ = 1;
  names_ = {std::string(kStoredPortNameLength + 1, 'x'), "Out"};
  ASSERT_EQ(SaveNames(), 1);
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_EQ(names_.input, "");
  EXPECT_EQ(names_.output, "Out");

  names_ = {std::string(kStoredPortNameLength, 'y'), std::string(200, 'z')};
  ASSERT_EQ(SaveNames(), 1);
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_EQ(names_.input, std::string(kStoredPortNameLength, 'y'));
  EXPECT_EQ(names_.output, "");
}

TEST_F(PortNamesTest, DamagedNamesAreIgnoredAndTheIndicesStillApply) {
  input_ = 5;
  output_ = 6;
  type_ = 0;
  names_ = {"In A", "Out B"};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> good = ReadFile();
  const std::size_t firstLength = 12;  // after the marker
  struct Damage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
  };
  const std::vector<Damage> damages = {
      {"a name byte changed", [](auto& b) { b[firstLength + 2] ^= 0x20; }},
      {"the marker changed", [](auto& b) { b[9] = 'q'; }},
      {"a length past the limit", [](auto& b) { b[firstLength] = kStoredPortNameLength + 1; }},
      {"a length that runs over the next name", [](auto& b) { b[firstLength] = 30; }},
      {"the file cut inside the names", [](auto& b) { b.resize(firstLength + 3); }},
      {"the check byte changed", [](auto& b) { b[firstLength + 1 + 4 + 1 + 5] ^= 1; }},
  };
  for (const Damage& damage : damages) {
    std::vector<uint8_t> bytes = good;
    damage.apply(bytes);
    WriteFile(bytes);
    names_ = {"stale", "stale"};
    input_ = output_ = 0;
    ASSERT_EQ(LoadNames(), 1) << damage.what;
    ExpectValues(5, 6, 0);
    EXPECT_EQ(names_.input, "") << damage.what;
    EXPECT_EQ(names_.output, "") << damage.what;
  }
}

TEST(ChoosePortTest, StoredNameWinsOverAMovedIndex) {
  struct Row {
    int32_t index;
    std::string name;
    std::vector<std::string> present;
    int32_t chosen;
  };
  const std::vector<Row> rows = {
      {0, "Conv", {"Other", "Conv"}, 1},  // another device took its place
      {1, "Conv", {"Conv", "Conv"}, 1},   // two ports of that name: the stored one stays
      {0, "Gone", {"Other", "Conv"}, 0},  // name not present: the index as before
      {255, "Conv", {"Conv"}, 0},         // an index that names nothing, found by name
      {3, "", {"A", "B"}, 3},             // no name stored
      {1, "Conv", {}, 1},                 // no ports at all
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ChoosePort(row.index, row.name, row.present), row.chosen) << row.name << row.index;
  }
}

}  // namespace
}  // namespace varnet

namespace varnet {
namespace {

// The slower transfer lives in bytes 96..99 alone: the indices, the type and the names before it
// are written exactly as without it, and a file that does not say reads as the full rate.
TEST_F(PortNamesTest, SlowTransferTravelsInTheLastFourBytesAndTouchesNothingBefore) {
  input_ = 1;
  output_ = 2;
  type_ = 1;
  names_ = {"J: USB 4x4 with more:midi_in 1", "J: USB 4x4 with more:midi_out 1"};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> without = ReadFile();
  bool slow = true;
  ASSERT_EQ(SaveSettings(dir_.string(), buffer_, {input_, output_, type_, &names_, &slow}), 1);
  const std::vector<uint8_t> with = ReadFile();
  ASSERT_EQ(with.size(), kSettingsFileSize);
  EXPECT_TRUE(std::equal(without.begin(), without.begin() + 96, with.begin()));
  EXPECT_NE(with, without);
  ExpectIndexOnlyReaderSees(1, 2, 1);
  names_ = {};
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_EQ(names_.input, "J: USB 4x4 with more:midi_in 1");

  struct Case {
    const char* name;
    std::function<void(std::vector<uint8_t>&)> change;
    bool slow;
  };
  const std::vector<Case> cases = {
      {"as saved", [](auto&) {}, true},
      {"flag cleared", [](auto& b) { b[99] = 0; }, false},
      {"marker damaged", [](auto& b) { b[96] ^= 0x20; }, false},
      {"another version", [](auto& b) { b[98] = 2; }, false},
      {"file cut before the flag", [](auto& b) { b.resize(99); }, false},
      {"file without options", [](auto& b) { std::fill(b.begin() + 96, b.end(), 0); }, false},
  };
  for (const Case& c : cases) {
    std::vector<uint8_t> bytes = with;
    c.change(bytes);
    WriteFile(bytes);
    bool read = !c.slow;
    ASSERT_EQ(LoadSettings(dir_.string(), buffer_, {input_, output_, type_, nullptr, &read}), 1)
        << c.name;
    EXPECT_EQ(read, c.slow) << c.name;
  }

  // Back to the full rate: the file is as a program without the option writes it.
  slow = false;
  names_ = {"J: USB 4x4 with more:midi_in 1", "J: USB 4x4 with more:midi_out 1"};
  ASSERT_EQ(SaveSettings(dir_.string(), buffer_, {input_, output_, type_, &names_, &slow}), 1);
  EXPECT_EQ(ReadFile(), without);
  // No file: the defaults, the full rate among them.
  fs::remove(dir_ / kSettingsFileName);
  slow = true;
  EXPECT_FALSE(
      LoadSettingsOrDefaults(dir_.string(), buffer_, {input_, output_, type_, nullptr, &slow}));
  EXPECT_FALSE(slow);
}

}  // namespace
}  // namespace varnet
