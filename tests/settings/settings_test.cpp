#include "settings/settings.h"

#include <gtest/gtest.h>

#include <algorithm>
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
    return LoadSettings(dir_.string(), buffer_, {input_, output_, type_, &names_, &why_});
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
  static StoredPorts Stale() {
    StoredPorts stale;
    stale.input = stale.output = {StoredPort::Kind::ShownName, 0, 0, "stale"};
    return stale;
  }
  // The block an earlier version wrote: marker, version 1, two shown names, check byte.
  static std::vector<uint8_t> VersionOneFile(const std::string& in, const std::string& out) {
    std::vector<uint8_t> bytes = SettingsBytes(1, 2, 0);
    std::size_t at = 9;
    for (uint8_t b : {uint8_t('p'), uint8_t('n'), uint8_t(1)}) bytes[at++] = b;
    for (const std::string* name : {&in, &out}) {
      bytes[at++] = static_cast<uint8_t>(name->size());
      for (char c : *name) bytes[at++] = static_cast<uint8_t>(c);
    }
    uint8_t sum = 0x5A;
    for (std::size_t i = 9; i < at; ++i) sum = static_cast<uint8_t>(sum * 31 + bytes[i]);
    bytes[at] = sum;
    return bytes;
  }

  StoredPorts names_;
  std::string why_;
};

TEST_F(PortNamesTest, IdentitiesTravelInTheReservedBytesOfTheSameHundredByteFile) {
  input_ = 1;
  output_ = 2;
  type_ = 1;
  const std::string longName = "J: converter-rack-left-unit-0001:out with a long tail to it";
  names_ = {StorePort({longName, ""}, "J: converter-rack-left-u..1:out"),
            StorePort({"A: USB MIDI:USB MIDI 1", "24:0"}, "A: USB MIDI 1")};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> bytes = ReadFile();
  ASSERT_EQ(bytes.size(), kSettingsFileSize);
  const std::vector<uint8_t> indexOnly = SettingsBytes(1, 2, 1);
  EXPECT_TRUE(std::equal(indexOnly.begin(), indexOnly.begin() + 9, bytes.begin()));
  EXPECT_TRUE(std::all_of(bytes.begin() + 96, bytes.end(), [](uint8_t b) { return b == 0; }));
  ExpectIndexOnlyReaderSees(1, 2, 1);

  const StoredPorts saved = names_;
  names_ = Stale();
  ASSERT_EQ(LoadNames(), 1);
  ExpectValues(1, 2, 1);
  EXPECT_TRUE(names_.input == saved.input);
  EXPECT_TRUE(names_.output == saved.output);
  EXPECT_EQ(FindStoredPort(names_.input, {{"J: other", ""}, {longName, ""}}).index, 1);
}

TEST_F(PortNamesTest, LongestRecordsStayClearOfTheLastFourBytes) {
  // The largest block there is: two identities with the longest shown names.
  std::vector<uint8_t> file = SettingsBytes(0, 0, 0);
  for (std::size_t i = 96; i < 100; ++i) file[i] = static_cast<uint8_t>(0x50 + i);
  WriteFile(file);
  const std::string shown(40, 's');
  names_ = {StorePort({"in", "1:0"}, shown), StorePort({"out", "1:1"}, shown)};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> bytes = ReadFile();
  ASSERT_EQ(bytes.size(), kSettingsFileSize);
  for (std::size_t i = 96; i < 100; ++i) EXPECT_EQ(bytes[i], 0x50 + i) << i;
  const StoredPorts saved = names_;
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_TRUE(names_.input == saved.input);
  EXPECT_EQ(names_.output.shownName.size(), kStoredShownNameLength);
  // A long shown name keeps its end, where ports of one device differ.
  const StoredPort unit = StorePort({"x", ""}, "J: converter-rack-left-u..1:out");
  EXPECT_LE(unit.shownName.size(), kStoredShownNameLength);
  EXPECT_TRUE(unit.shownName.starts_with("J: conv")) << unit.shownName;
  EXPECT_TRUE(unit.shownName.ends_with("..1:out")) << unit.shownName;
}

TEST_F(PortNamesTest, TheLastFourBytesOfAValidFileSurviveASave) {
  struct Row {
    const char* what;
    std::vector<uint8_t> before;
    bool kept;
  };
  std::vector<uint8_t> valid = SettingsBytes(0, 0, 0);
  std::vector<uint8_t> longer = SettingsBytes(0, 0, 0, 200);
  std::vector<uint8_t> otherMagic = SettingsBytes(0, 0, 0);
  otherMagic[0] = 'U';
  for (auto* bytes : {&valid, &longer, &otherMagic}) {
    for (std::size_t i = 96; i < 100; ++i) (*bytes)[i] = static_cast<uint8_t>(i);
  }
  const std::vector<Row> rows = {
      {"a valid file", valid, true},
      {"a longer valid file", longer, true},
      {"a file that is not a settings file", otherMagic, false},
      {"a file too short to hold them", SettingsBytes(0, 0, 0, 60), false},
  };
  for (const Row& row : rows) {
    WriteFile(row.before);
    names_ = {StorePort({"in", ""}, "in"), {}};
    ASSERT_EQ(SaveNames(), 1) << row.what;
    const std::vector<uint8_t> bytes = ReadFile();
    ASSERT_EQ(bytes.size(), kSettingsFileSize);
    for (std::size_t i = 96; i < 100; ++i) {
      EXPECT_EQ(bytes[i], row.kept ? i : 0) << row.what << " byte " << i;
    }
  }
}

TEST_F(PortNamesTest, AnEarlierVersionsNamesAreReadAsShownNames) {
  WriteFile(VersionOneFile("J: converter-rack-left-un..:out", "Virtual Out 1"));
  names_ = Stale();
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_EQ(names_.input.kind, StoredPort::Kind::ShownName);
  EXPECT_EQ(names_.input.shownName, "J: converter-rack-left-un..:out");
  EXPECT_EQ(names_.output.shownName, "Virtual Out 1");
  // Written again unchanged, they keep meaning what they meant.
  const StoredPorts read = names_;
  ASSERT_EQ(SaveNames(), 1);
  names_ = Stale();
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_TRUE(names_.input == read.input);
  EXPECT_TRUE(names_.output == read.output);
}

TEST_F(PortNamesTest, FileWithoutNamesLoadsAsBeforeAndWithoutNamesStaysIndexOnly) {
  WriteFile(SettingsBytes(3, 4, 1));
  names_ = Stale();
  ASSERT_EQ(LoadNames(), 1);
  ExpectValues(3, 4, 1);
  EXPECT_EQ(names_.input.kind, StoredPort::Kind::None);
  EXPECT_EQ(names_.output.kind, StoredPort::Kind::None);

  names_ = {};
  ASSERT_EQ(SaveNames(), 1);
  EXPECT_EQ(ReadFile(), SettingsBytes(3, 4, 1));
}

TEST_F(PortNamesTest, DamagedRecordsAreIgnoredAndTheIndicesStillApply) {
  input_ = 5;
  output_ = 6;
  type_ = 0;
  names_ = {StorePort({"In A", ""}, "In A"), StorePort({"Out B", ""}, "Out B")};
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> good = ReadFile();
  const std::size_t firstKind = 12;  // after the marker and version
  const std::size_t firstShown = firstKind + 1 + 8 + 4;
  const std::size_t check = firstShown + 1 + 4 + 1 + 8 + 4 + 1 + 5;
  struct Damage {
    const char* what;
    std::function<void(std::vector<uint8_t>&)> apply;
  };
  const std::vector<Damage> damages = {
      {"a hash byte changed", [](auto& b) { b[firstKind + 3] ^= 0x20; }},
      {"a name byte changed", [](auto& b) { b[firstShown + 2] ^= 0x20; }},
      {"the marker changed", [](auto& b) { b[9] = 'q'; }},
      {"an unknown version", [](auto& b) { b[11] = 3; }},
      {"an unknown kind", [](auto& b) { b[firstKind] = 7; }},
      {"a length past the limit", [](auto& b) { b[firstShown] = kStoredShownNameLength + 1; }},
      {"the file cut inside the records", [](auto& b) { b.resize(firstShown + 3); }},
      {"the check byte changed", [check](auto& b) { b[check] ^= 1; }},
  };
  ASSERT_EQ(good[check + 1], 0);  // the check byte is the last of the block
  for (const Damage& damage : damages) {
    std::vector<uint8_t> bytes = good;
    damage.apply(bytes);
    WriteFile(bytes);
    names_ = Stale();
    input_ = output_ = 0;
    ASSERT_EQ(LoadNames(), 1) << damage.what;
    ExpectValues(5, 6, 0);
    EXPECT_EQ(names_.input.kind, StoredPort::Kind::None) << damage.what;
    EXPECT_EQ(names_.output.kind, StoredPort::Kind::None) << damage.what;
  }
}

#ifndef _WIN32
// Whatever stands where the file should be is ignored, and load says why; only a missing file
// (a first start) has nothing to say.
TEST_F(PortNamesTest, AnUnusableFileSaysWhyItIsIgnored) {
  struct Row {
    const char* what;
    std::function<void()> make;
    const char* reason;  // a part of the reason; null: none
  };
  const std::vector<Row> rows = {
      {"no file", [] {}, nullptr},
      {"a directory", [this] { fs::create_directory(File()); }, "directory"},
      {"a FIFO", [this] { ASSERT_EQ(mkfifo(File().c_str(), 0600), 0); }, "not a regular file"},
      {"a link to /dev/zero", [this] { fs::create_symlink("/dev/zero", File()); },
       "not a regular file"},
      {"a dangling link", [this] { fs::create_symlink("gone.upd", File()); }, "No such file"},
      {"ten bytes", [this] { WriteFile(SettingsBytes(1, 1, 1, 10)); }, "only 10 bytes"},
      {"another magic", [this] { WriteFile(std::vector<uint8_t>(100, 'u')); }, "updini"},
  };
  for (const Row& row : rows) {
    fs::remove_all(File());
    row.make();
    why_ = "stale";
    EXPECT_EQ(LoadNames(), 0) << row.what;
    if (row.reason == nullptr) {
      EXPECT_EQ(why_, "") << row.what;
    } else {
      EXPECT_NE(why_.find(row.reason), std::string::npos) << row.what << ": " << why_;
    }
  }
  fs::remove_all(File());
  WriteFile(SettingsBytes(1, 1, 1, 11));
  why_ = "stale";
  EXPECT_EQ(LoadNames(), 1);
  EXPECT_EQ(why_, "");
}
#endif

TEST(FindStoredPortTest, OnlyWhatNamesExactlyOnePortFindsIt) {
  using R = PortMatch::Result;
  const std::string unit = "J: converter-rack-left-unit-000";
  const std::vector<PresentPort> jack = {
      {unit + "0:out", ""}, {unit + "1:out", ""}, {unit + "2:out", ""}};
  const std::vector<PresentPort> twins = {{"A: USB MIDI:USB MIDI 1", "24:0"},
                                          {"A: USB MIDI:USB MIDI 1", "28:0"}};
  const StoredPort shown = {StoredPort::Kind::ShownName, 0, 0, "J: converter-rack-left-un..:out"};
  const StoredPort shownSecond = {StoredPort::Kind::ShownName, 0, 0,
                                  "J: converter-rack-left-un..:o #2"};
  const StoredPort shownWhole = {StoredPort::Kind::ShownName, 0, 0, "Virtual Out 2"};
  struct Row {
    const char* what;
    StoredPort stored;
    std::vector<PresentPort> present;
    R result;
    int32_t index;
    std::vector<int32_t> candidates;
    std::vector<std::string> shown = {};  // what the list shows now
  };
  const std::vector<Row> rows = {
      {"nothing stored", {}, jack, R::NotStored, -1, {}},
      // An ALSA port's name repeats its client's, which the list leaves out.
      {"an earlier version's whole name as the list shows it",
       {StoredPort::Kind::ShownName, 0, 0, "A: unit-1 out"},
       {{"A: unit-0:unit-0 out", "128:1"}, {"A: unit-1:unit-1 out", "129:1"}},
       R::Found,
       1,
       {},
       {"A: unit-0 out", "A: unit-1 out"}},
      {"a shortened name never by what the list shows",
       {StoredPort::Kind::ShownName, 0, 0, "J: converter-rack-left-un..:out"},
       {{"J: converter-rack-left-unit-0000:out", ""}},
       R::Uncertain,
       -1,
       {0},
       {"J: converter-rack-left-un..:out"}},
      {"found where another device moved it",
       StorePort({unit + "1:out", ""}, "x"),
       jack,
       R::Found,
       1,
       {}},
      {"gone", StorePort({unit + "3:out", ""}, "x"), jack, R::NoneMatch, -1, {}},
      {"no ports at all", StorePort({unit + "1:out", ""}, "x"), {}, R::NoneMatch, -1, {}},
      {"twins told apart by the system", StorePort(twins[1], "x"), twins, R::Found, 1, {}},
      {"twins the system numbers anew",
       StorePort({twins[0].fullName, "20:0"}, "x"),
       twins,
       R::Several,
       -1,
       {0, 1}},
      {"twins without system identity",
       StorePort({twins[0].fullName, ""}, "x"),
       twins,
       R::Several,
       -1,
       {0, 1}},
      {"an earlier version's whole name",
       shownWhole,
       {{"Virtual Out 1", ""}, {"Virtual Out 2", ""}},
       R::Found,
       1,
       {}},
      {"an earlier version's whole name, gone",
       shownWhole,
       {{"Virtual Out 1", ""}},
       R::NoneMatch,
       -1,
       {}},
      {"an earlier version's shortened name", shown, jack, R::Uncertain, -1, {0, 1, 2}},
      {"a shortened name that one port fits",
       shown,
       {jack[0], {"J: system:out", ""}},
       R::Uncertain,
       -1,
       {0}},
      {"a name told apart by position", shownSecond, jack, R::Uncertain, -1, {0, 1, 2}},
  };
  for (const Row& row : rows) {
    const PortMatch match = FindStoredPort(row.stored, row.present, row.shown);
    EXPECT_EQ(match.result, row.result) << row.what;
    EXPECT_EQ(match.index, row.index) << row.what;
    EXPECT_EQ(match.candidates, row.candidates) << row.what;
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
  const StoredPorts chosen{
      StorePort({"J: USB 4x4 with more:midi_in 1", ""}, "J: USB 4x4 with more:midi_in 1"),
      StorePort({"J: USB 4x4 with more:midi_out 1", ""}, "J: USB 4x4 with more:midi_out 1")};
  names_ = chosen;
  ASSERT_EQ(SaveNames(), 1);
  const std::vector<uint8_t> without = ReadFile();
  bool slow = true;
  ASSERT_EQ(SaveSettings(dir_.string(), buffer_, {input_, output_, type_, &names_, nullptr, &slow}),
            1);
  const std::vector<uint8_t> with = ReadFile();
  ASSERT_EQ(with.size(), kSettingsFileSize);
  EXPECT_TRUE(std::equal(without.begin(), without.begin() + 96, with.begin()));
  EXPECT_NE(with, without);
  ExpectIndexOnlyReaderSees(1, 2, 1);
  names_ = {};
  ASSERT_EQ(LoadNames(), 1);
  EXPECT_EQ(names_.input, chosen.input);

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
    ASSERT_EQ(
        LoadSettings(dir_.string(), buffer_, {input_, output_, type_, nullptr, nullptr, &read}), 1)
        << c.name;
    EXPECT_EQ(read, c.slow) << c.name;
  }

  // Back to the full rate: the file is as a program without the option writes it.
  slow = false;
  names_ = chosen;
  ASSERT_EQ(SaveSettings(dir_.string(), buffer_, {input_, output_, type_, &names_, nullptr, &slow}),
            1);
  EXPECT_EQ(ReadFile(), without);
  // No file: the defaults, the full rate among them.
  fs::remove(dir_ / kSettingsFileName);
  slow = true;
  EXPECT_FALSE(LoadSettingsOrDefaults(dir_.string(), buffer_,
                                      {input_, output_, type_, nullptr, nullptr, &slow}));
  EXPECT_FALSE(slow);
}

}  // namespace
}  // namespace varnet
