#include "midi/port_names.h"

#include <gtest/gtest.h>

#include <set>

namespace varnet {
namespace {

// Whether `s` is whole UTF-8: no sequence cut short at either end.
bool WholeUtf8(const std::string& s) {
  std::size_t i = 0;
  while (i < s.size()) {
    const auto lead = static_cast<unsigned char>(s[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : 2;
    if ((lead & 0xC0) == 0x80 || i + length > s.size()) return false;
    for (std::size_t k = 1; k < length; ++k) {
      if ((static_cast<unsigned char>(s[i + k]) & 0xC0) != 0x80) return false;
    }
    i += length;
  }
  return true;
}

std::string Full(const PortNameParts& p) {
  return p.client + p.joiner + p.own;
}

TEST(FitPortName, KeepsThePortsOwnPartAndShortensTheClient) {
  const std::string longClient = "USB MIDI Interface 4x4 with MIDI Thru";
  struct Case {
    const char* what;
    PortNameParts port;
    std::size_t room;
    bool keepsOwnPart;
  };
  const Case cases[] = {
      {"fits", {"system", ":", "midi_capture_1"}, 31, true},
      {"exactly fits", {std::string(16, 'c'), ":", std::string(14, 'p')}, 31, true},
      {"long client", {longClient, ":", "midi_capture_1"}, 31, true},
      {"long client, tagged room", {longClient, ":", "midi_playback_1"}, 28, true},
      {"client repeated in the port", {"USB MIDI Interface 4x4 with", "", " MIDI 4"}, 28, true},
      {"own part alone too long", {"a2j", ":", longClient + " [20] (capture): MIDI 1"}, 28, false},
      {"no client", {"", "", std::string(40, 'y')}, 31, false},
      {"accented client", {"Écho Interface à 4 entrées numériques", ":", "in_1"}, 28, true},
      {"wide characters", {"ミディインターフェース", ":", "出力 2"}, 28, true},
      {"wide characters, own too long", {"", "", "ミディインターフェース 出力 2"}, 20, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string name = FitPortName(c.port, c.room);
    EXPECT_LE(name.size(), c.room);
    EXPECT_TRUE(WholeUtf8(name)) << name;
    const std::string full = Full(c.port);
    if (full.size() <= c.room) {
      EXPECT_EQ(name, full);
      continue;
    }
    EXPECT_GE(name.size(), c.room - 3) << name;  // room is not wasted (a wide character may end it)
    if (c.keepsOwnPart) {
      EXPECT_TRUE(name.ends_with(c.port.joiner + c.port.own)) << name;
      EXPECT_EQ(name.substr(0, 1), c.port.client.substr(0, 1)) << name;
    } else {
      // The end, where the ports of one device differ, stays.
      EXPECT_EQ(name.back(), full.back()) << name;
    }
  }
}

TEST(FitPortNames, InputAndOutputOfOneDeviceNeverLookTheSame) {
  const std::string device = "USB MIDI Interface 4x4 with MIDI Thru";
  struct Case {
    const char* what;
    std::vector<PortNameParts> listing;
    std::size_t room;
  };
  const Case cases[] = {
      {"JACK ports of one device",
       {{device, ":", "midi_capture_1"},
        {device, ":", "midi_capture_2"},
        {device, ":", "midi_playback_1"},
        {"system", ":", "capture_1"}},
       28},
      {"ALSA ports repeating their client",
       {{device, "", " MIDI 1"}, {device, "", " MIDI 2"}, {device, "", " MIDI 3"}},
       28},
      {"bridged names that differ only in the middle",
       {{"a2j", ":", device + " [20] (capture): " + device + " MIDI 1"},
        {"a2j", ":", device + " [24] (capture): " + device + " MIDI 1"},
        {"a2j", ":", device + " [28] (capture): " + device + " MIDI 1"}},
       28},
      {"tiny room", {{"", "", "abcdef1"}, {"", "", "abcdef2"}, {"", "", "abcdeg1"}}, 4},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> names = FitPortNames(c.listing, c.room);
    ASSERT_EQ(names.size(), c.listing.size());
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size())
        << names[0] << " / " << names[1];
    for (const std::string& name : names) {
      EXPECT_LE(name.size(), c.room) << name;
      EXPECT_TRUE(WholeUtf8(name)) << name;
    }
  }
}

// Where shortened names meet, each shows the part of its own full name that differs, never a
// number from its place in the list: the same port reads the same whichever ports come before it.
TEST(FitPortNames, AlikeNamesShowWhatTellsThemApart) {
  const std::string unit = "converter-rack-left-unit-000";
  struct Case {
    const char* what;
    std::vector<PortNameParts> listing;
    std::size_t room;
    std::vector<std::string> endings;  // what each name must end with
    std::vector<std::string> distinct = {};
  };
  const Case cases[] = {
      {"units of one long prefix",
       {{unit + "1", ":", "out"}, {unit + "2", ":", "out"}},
       28,
       {"1:out", "2:out"},
       {}},
      {"the same units after another one",
       {{unit + "0", ":", "out"}, {unit + "1", ":", "out"}, {unit + "2", ":", "out"}},
       28,
       {"0:out", "1:out", "2:out"},
       {}},
      {"identical names the system tells apart",
       {{"USB MIDI Interface with a long name", "", " MIDI 1"},
        {"USB MIDI Interface with a long name", "", " MIDI 1"}},
       28,
       {"[24:0]", "[28:0]"},
       {"24:0", "28:0"}},
      {"a difference far from the end",
       {{"a2j", ":", "Some Long Device Name [20] (capture): Some Long Device Name MIDI 1"},
        {"a2j", ":", "Some Long Device Name [24] (capture): Some Long Device Name MIDI 1"}},
       28,
       {"MIDI 1", "MIDI 1"},
       {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::vector<std::string> names = FitPortNames(c.listing, c.room, c.distinct);
    ASSERT_EQ(names.size(), c.endings.size());
    EXPECT_EQ(std::set<std::string>(names.begin(), names.end()).size(), names.size());
    for (std::size_t i = 0; i < names.size(); ++i) {
      EXPECT_LE(names[i].size(), c.room) << names[i];
      EXPECT_TRUE(names[i].ends_with(c.endings[i])) << names[i];
      EXPECT_EQ(names[i].find(" #"), std::string::npos) << names[i];
      EXPECT_TRUE(WholeUtf8(names[i])) << names[i];
    }
  }
  // A unit reads the same with or without another unit listed before it.
  const auto alone = FitPortNames({{unit + "1", ":", "out"}, {unit + "2", ":", "out"}}, 28);
  const auto after = FitPortNames(
      {{unit + "0", ":", "out"}, {unit + "1", ":", "out"}, {unit + "2", ":", "out"}}, 28);
  EXPECT_EQ(alone[0], after[1]);
  // Bridged ports whose names differ only in the middle show that middle.
  const auto bridged = FitPortNames(
      {{"a2j", ":", "Some Long Device Name [20] (capture): Some Long Device Name MIDI 1"},
       {"a2j", ":", "Some Long Device Name [24] (capture): Some Long Device Name MIDI 1"}},
      28);
  EXPECT_NE(bridged[0].find("0]"), std::string::npos) << bridged[0];
  EXPECT_NE(bridged[1].find("4]"), std::string::npos) << bridged[1];
}

TEST(IsUpdaterClient, OnlyTheUpdatersNameAndTheServersSuffix) {
  struct Row {
    const char* client;
    bool updater;
  };
  const Row rows[] = {
      {"varnet-update", true},    {"varnet-update-01", true},
      {"varnet-update-2", true},  {"varnet-update-", false},
      {"varnet-update-x", false}, {"varnet-updater", false},
      {"varnet-upd", false},      {"", false},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(IsUpdaterClient(row.client, "varnet-update"), row.updater) << row.client;
  }
}

TEST(CopyDeviceName, CutsBetweenCharactersAndZeroFills) {
  char name[kMidiNameLength];
  std::fill(std::begin(name), std::end(name), 'x');
  // 30 ASCII bytes, then a two-byte character that would end at byte 32.
  const std::string longName = std::string(30, 'a') + "é";
  EXPECT_EQ(CopyDeviceName(std::vector<std::string>{"In", longName}, 1, name), MMSYSERR_NOERROR);
  EXPECT_EQ(std::string(name), std::string(30, 'a'));
  EXPECT_EQ(name[kMidiNameLength - 1], '\0');
  EXPECT_EQ(CopyDeviceName(std::vector<std::string>{"In"}, 1, name), MMSYSERR_BADDEVICEID);
}

}  // namespace
}  // namespace varnet
