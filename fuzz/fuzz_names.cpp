// Names from outside (MIDI port names, file names) through every writer of text and JSON that
// carries them: each JSON object must parse and keep a valid UTF-8 name exactly, and no text line
// may carry a control character a terminal would act on, nor be split by a name.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <vector>

#include "cli/commands.h"
#include "cli/detect_command.h"
#include "cli/json_output.h"
#include "cli/names.h"
#include "core/clock.h"
#include "engine/session_log.h"
#include "fuzz/fuzz_support.h"
#include "midi/backends/virtual/virtual_platform.h"
#include "midi/platform.h"
#include "midi/port_scan.h"

namespace varnet {
namespace {

// Decodes one UTF-8 character at `at`; 0 when the bytes there are not UTF-8.
std::size_t Utf8At(const std::string& text, std::size_t at, uint32_t& code) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  std::size_t length = lead < 0x80                    ? 1
                       : lead >= 0xC2 && lead <= 0xDF ? 2
                       : lead >= 0xE0 && lead <= 0xEF ? 3
                       : lead >= 0xF0 && lead <= 0xF4 ? 4
                                                      : 0;
  if (length == 0 || at + length > text.size()) return 0;
  code = length == 1 ? lead : lead & (0x7F >> length);
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  return length;
}

bool IsUtf8(const std::string& text) {
  uint32_t code = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8At(text, at, code);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

// `text` is valid UTF-8 with `lines` line feeds, each ending a line, and no other C0, DEL or C1.
void CheckText(const std::string& text, std::size_t lines) {
  std::size_t feeds = 0;
  uint32_t code = 0;
  for (std::size_t at = 0; at < text.size();) {
    const std::size_t length = Utf8At(text, at, code);
    FUZZ_CHECK(length > 0);
    FUZZ_CHECK(code == '\n' || (code >= 0x20 && code != 0x7F && (code < 0x80 || code > 0x9F)));
    if (code == '\n') ++feeds;
    at += length;
  }
  FUZZ_CHECK(feeds == lines);
  FUZZ_CHECK(lines == 0 || text.back() == '\n');
}

nlohmann::json Parse(const std::string& text) {
  nlohmann::json json = nlohmann::json::parse(text, nullptr, false);
  FUZZ_CHECK(!json.is_discarded());
  return json;
}

// A name kept exactly when it was UTF-8 (the service's copy is cut at its first NUL).
void CheckName(const nlohmann::json& value, const std::string& name) {
  FUZZ_CHECK(value.is_string());
  if (IsUtf8(name)) FUZZ_CHECK(value.get<std::string>() == name);
}

}  // namespace
}  // namespace varnet

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  using namespace varnet;
  // Names separated by 0x01 0x00 (a byte pair no test relies on being inside a name): two inputs,
  // two outputs, a file name, a reason.
  std::vector<std::string> names(6);
  std::size_t which = 0;
  for (std::size_t i = 0; i < size; ++i) {
    if (i + 1 < size && data[i] == 0x01 && data[i + 1] == 0x00 && which + 1 < names.size()) {
      ++which;
      ++i;
      continue;
    }
    names[which] += static_cast<char>(data[i]);
  }
  const std::string& file = names[4];
  const std::string& reason = names[5];

  VirtualClock clock;
  VirtualPlatformConfig config;
  config.inputs = {names[0], names[1]};
  config.outputs = {names[2], names[3]};
  VirtualMidiPlatform platform(clock, config);
  // The names as the service gives them (cut to its length, as each backend cuts them).
  const std::vector<std::string> inputs = PortNames(platform, true);
  const std::vector<std::string> outputs = PortNames(platform, false);
  FUZZ_CHECK(inputs.size() == 2 && outputs.size() == 2);
  const std::string &in0 = inputs[0], &in1 = inputs[1], &out0 = outputs[0], &out1 = outputs[1];

  std::ostringstream list;
  ListMidiPorts(platform, list);
  CheckText(list.str(), 4);
  std::ostringstream listJson;
  ListMidiPortsJson(platform, listJson);
  const nlohmann::json ports = Parse(listJson.str());
  CheckName(ports.at("inputs").at(0).at("name"), in0);
  CheckName(ports.at("outputs").at(1).at("name"), out1);

  DetectReport report;
  report.found = {{1, 0, kKindAD}};
  report.outputsAsked = 2;
  report.unusable = {{true, 0, reason}, {false, 1, "cannot open"}};
  CheckText(FoundLine(platform, report.found[0]) + "\n", 1);
  // The reason is the service's own text; the port names around it are what must be escaped.
  DetectReport withoutReason = report;
  withoutReason.unusable[0].reason = "cannot open";
  std::ostringstream skipped;
  WriteUnusablePorts(platform, withoutReason, skipped);
  CheckText(skipped.str(), 2);
  const nlohmann::json detect = Parse(DetectJson(platform, report).dump());
  CheckName(detect.at("found").at(0).at("in_name"), in1);
  CheckName(detect.at("found").at(0).at("out_name"), out0);
  CheckName(detect.at("skipped").at(0).at("reason"), reason);

  CheckText(PrintableName(file) + "\n", 1);
  CheckText(FirmwareViaLine(file, 72000, 0, in0, 1, out1) + "\n", 1);
  JsonObject inspect;
  inspect.set("file", file);
  CheckName(Parse(inspect.dump()).at("file"), file);

  // The session log's fields, as its lines carry them.
  const nlohmann::json line = Parse("{\"name\":" + SessionLog::Quote(file) + ",\"bytes\":" +
                                    SessionLog::HexBytes(data, size < 16 ? size : 16) + "}");
  CheckName(line.at("name"), file);
  return 0;
}
