// Names from outside (files, MIDI ports) as varnet-flash prints them: as they are when a terminal
// shows them harmlessly, quoted and escaped otherwise; and the same names in JSON.
#include "cli/names.h"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sstream>
#include <string>

#include "cli/commands.h"
#include "cli/detect_command.h"
#include "core/clock.h"
#include "engine/session_log.h"
#include "midi/backends/virtual/virtual_platform.h"

namespace varnet {
namespace {

TEST(PrintableName, EscapesWhatATerminalWouldActOn) {
  struct Case {
    std::string name;
    std::string printed;
  };
  for (const Case& c : {
           Case{"fw.jtg", "fw.jtg"},
           Case{"J: system:midi_capture_1", "J: system:midi_capture_1"},
           Case{"Gr\xC3\xBC\xC3\x9F"
                "e \xE2\x82\xAC \xF0\x9F\x8E\xB9",
                "Gr\xC3\xBC\xC3\x9F"
                "e \xE2\x82\xAC \xF0\x9F\x8E\xB9"},
           Case{"a\"b\\c", "a\"b\\c"},  // printable: as it is
           Case{"nl\nx", "\"nl\\nx\""},
           Case{"\x1b[31mred", "\"\\x1B[31mred\""},
           Case{"tab\t\"q\"", "\"tab\\t\\\"q\\\"\""},
           Case{"del\x7f", "\"del\\x7F\""},
           Case{"csi\xC2\x9B"
                "2J",
                "\"csi\\u009B2J\""},  // C1 in UTF-8
           Case{"raw\x9B"
                "2J",
                "\"raw\\x9B2J\""},                            // C1 as a single byte
           Case{"latin \xE9t\xE9", "\"latin \\xE9t\\xE9\""},  // not UTF-8
           Case{"cut \xE2\x82", "\"cut \\xE2\\x82\""},        // a sequence cut short
           Case{"overlong \xC0\xAF", "\"overlong \\xC0\\xAF\""},
           Case{"surrogate \xED\xA0\x80", "\"surrogate \\xED\\xA0\\x80\""},
       }) {
    EXPECT_EQ(PrintableName(c.name), c.printed);
  }
}

// The name the issue was found with, on every writer that shows port names.
TEST(PortNamesInOutput, AreEscapedInTextAndValidInJson) {
  const std::string hostile = "nl\nx\xff\xfe\x01\x1b[31m";
  VirtualClock clock;
  VirtualPlatformConfig config;
  config.inputs = {hostile};
  config.outputs = {"plain out"};
  VirtualMidiPlatform platform(clock, config);

  std::ostringstream list;
  ListMidiPorts(platform, list);
  EXPECT_EQ(list.str(), "in 0: \"nl\\nx\\xFF\\xFE\\x01\\x1B[31m\"\nout 0: plain out\n");

  DetectReport report;
  report.found = {{0, 0, kKindAD}};
  report.outputsAsked = 1;
  report.unusable = {{true, 0, "busy"}};
  EXPECT_EQ(FoundLine(platform, report.found[0]),
            "found: in 0 (\"nl\\nx\\xFF\\xFE\\x01\\x1B[31m\") out 0 (plain out): AD converter");
  std::ostringstream skipped;
  WriteUnusablePorts(platform, report, skipped);
  EXPECT_EQ(skipped.str().find('\x1b'), std::string::npos);
  EXPECT_EQ(skipped.str().find('\n'), skipped.str().size() - 1);
  EXPECT_EQ(
      FirmwareViaLine("fw.jtg", 3, 0, hostile, 0, "plain out"),
      "Firmware fw.jtg (3 payload bytes) via in 0: \"nl\\nx\\xFF\\xFE\\x01\\x1B[31m\", out 0: "
      "plain out");

  // The same replacement everywhere: detect --json, the session log and list --json.
  const std::string replaced = "nl\nx\xEF\xBF\xBD\xEF\xBF\xBD\x01\x1b[31m";
  std::ostringstream listJson;
  ListMidiPortsJson(platform, listJson);
  EXPECT_EQ(nlohmann::json::parse(listJson.str())["inputs"][0]["name"], replaced);
  EXPECT_EQ(nlohmann::json::parse(DetectJson(platform, report).dump())["found"][0]["in_name"],
            replaced);
  EXPECT_EQ(nlohmann::json::parse(SessionLog::Quote(hostile)), replaced);
}

TEST(CountWords, OneIsSingular) {
  DetectReport report;
  for (const auto& [asked, line] : {std::pair<uint32_t, const char*>{0, "on 0 outputs."},
                                    {1, "on 1 output."},
                                    {2, "on 2 outputs."}}) {
    report.outputsAsked = asked;
    EXPECT_NE(NoneAnsweredLine(report).find(line), std::string::npos) << NoneAnsweredLine(report);
  }
  EXPECT_EQ(SummaryLine(1, 1, 1, std::chrono::milliseconds(1500)),
            "Sent 1 byte in 1 message, 1 echo byte verified, elapsed 1.5 s");
  EXPECT_EQ(SummaryLine(8, 2, 0, std::chrono::milliseconds(0)),
            "Sent 8 bytes in 2 messages, 0 echo bytes verified, elapsed 0.0 s");
}

}  // namespace
}  // namespace varnet
