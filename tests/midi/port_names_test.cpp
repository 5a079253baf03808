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
