// The --json output: every object parses as JSON, carries the same facts as the text, and keeps
// names that are not plain text intact or, where they are not UTF-8, still valid.
#include "cli/json_output.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "midi/backends/virtual/virtual_platform.h"

namespace varnet {
namespace {

using nlohmann::json;

// One object on one line, nothing else.
json ParseLine(const std::string& text) {
  EXPECT_FALSE(text.empty());
  if (text.empty()) return json();
  EXPECT_EQ(text.find('\n'), text.size() - 1) << text;
  return json::parse(text);
}

TEST(JsonObject, TextSurvivesTheRoundTrip) {
  struct Case {
    std::string text;
    std::string expected;  // as parsed back
  };
  const std::vector<Case> cases = {
      {"plain.jtg", "plain.jtg"},
      {"say \"hi\" \\ there", "say \"hi\" \\ there"},
      {"line\nfeed\ttab\x01\x1b[2J", "line\nfeed\ttab\x01\x1b[2J"},
      {"Gr\xC3\xB6\xC3\x9F"
       "e.jtg",
       "Gr\xC3\xB6\xC3\x9F"
       "e.jtg"},
      // A Latin-1 file name: the stray byte becomes U+FFFD instead of breaking the object.
      {"caf\xE9.jtg", "caf\xEF\xBF\xBD.jtg"},
      {"", ""},
  };
  for (const Case& c : cases) {
    JsonObject object;
    object.set("name", c.text).set("n", uint64_t{18446744073709551615u}).setNull("none");
    const json parsed = json::parse(object.dump());
    EXPECT_EQ(parsed.at("name"), c.expected);
    EXPECT_EQ(parsed.at("n").get<uint64_t>(), 18446744073709551615u);
    EXPECT_TRUE(parsed.at("none").is_null());
  }
}

TEST(JsonObject, KeysKeepTheirOrderAndNestedObjectsCopy) {
  JsonObject inner;
  inner.set("b", 2);
  JsonObject outer;
  outer.set("z", true).set("a", inner).set("list", std::vector<JsonObject>{inner, inner});
  inner.set("b", 3);  // the outer object holds its own copy
  EXPECT_EQ(outer.dump(), R"({"z":true,"a":{"b":2},"list":[{"b":2},{"b":2}]})");
}

// The ports as `list` prints them, and a port whose name the service would not give.
TEST(ListJson, SamePortsAsTheText) {
  VirtualClock clock;
  VirtualMidiPlatform platform(clock, VirtualPorts(2, 3));
  std::ostringstream text;
  std::ostringstream out;
  platform.failOn(VirtualOp::OutGetDevCaps, 1, 1, 1);
  ListMidiPorts(platform, text);
  platform.failOn(VirtualOp::OutGetDevCaps, 1, 1, 1);
  EXPECT_EQ(ListMidiPortsJson(platform, out), 0);
  const json object = ParseLine(out.str());
  std::string fromJson;
  for (const auto& [key, word] : {std::pair{"inputs", "in"}, std::pair{"outputs", "out"}}) {
    for (const json& port : object.at(key)) {
      fromJson +=
          std::string(word) + " " + std::to_string(port.at("index").get<int>()) + ": " +
          (port.at("name").is_null() ? "(name unavailable)" : port.at("name").get<std::string>()) +
          "\n";
    }
  }
  EXPECT_EQ(fromJson, text.str());
  EXPECT_NE(text.str().find("out 1: (name unavailable)\n"), std::string::npos) << text.str();
  EXPECT_TRUE(object.at("outputs").at(1).at("name").is_null());
  EXPECT_EQ(object.at("outputs").size(), 3u);

  VirtualMidiPlatform none(clock, VirtualPorts(0, 0));
  std::ostringstream empty;
  ListMidiPortsJson(none, empty);
  EXPECT_EQ(empty.str(), "{\"inputs\":[],\"outputs\":[]}\n");
}

}  // namespace
}  // namespace varnet
