#include "cli/names.h"

#include <cstdio>

namespace varnet {

namespace {

// The length of the valid UTF-8 sequence at `at` holding a character other than a C1 control,
// or 0.
std::size_t PrintableSequence(const std::string& text, std::size_t at) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  const unsigned char lead = byte(at);
  if (lead >= 0x20 && lead < 0x7F) return 1;
  std::size_t length = 0;
  uint32_t code = 0;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
    code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
    code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
    code = lead & 0x07;
  } else {
    return 0;
  }
  if (at + length > text.size()) return 0;
  for (std::size_t i = 1; i < length; ++i) {
    if ((byte(at + i) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(at + i) & 0x3F);
  }
  // Overlong forms, surrogates and code points past U+10FFFF are not UTF-8.
  static constexpr uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < kSmallest[length] || (code >= 0xD800 && code <= 0xDFFF) || code > 0x10FFFF) return 0;
  if (code <= 0x9F) return 0;  // C1 control
  return length;
}

void AppendHex(std::string& text, const char* format, unsigned value) {
  char escaped[12];
  std::snprintf(escaped, sizeof escaped, format, value);
  text += escaped;
}

}  // namespace

std::string PrintableName(const std::string& name) {
  bool plain = true;
  for (std::size_t at = 0; at < name.size() && plain;) {
    const std::size_t length = PrintableSequence(name, at);
    plain = length > 0;
    at += length;
  }
  if (plain) return name;
  std::string text = "\"";
  for (std::size_t at = 0; at < name.size();) {
    const char c = name[at];
    const std::size_t length = PrintableSequence(name, at);
    if (length > 0 && c != '"' && c != '\\') {
      text.append(name, at, length);
      at += length;
      continue;
    }
    const auto byte = static_cast<unsigned char>(c);
    switch (c) {
      case '\n':
        text += "\\n";
        break;
      case '\t':
        text += "\\t";
        break;
      case '\r':
        text += "\\r";
        break;
      case '"':
      case '\\':
        text += '\\';
        text += c;
        break;
      default:
        // A C1 control written in UTF-8 is one character: its code point, not its two bytes.
        if (byte == 0xC2 && at + 1 < name.size() &&
            (static_cast<unsigned char>(name[at + 1]) & 0xE0) == 0x80) {
          AppendHex(text, "\\u%04X", static_cast<unsigned char>(name[at + 1]));
          at += 2;
          continue;
        }
        AppendHex(text, "\\x%02X", byte);
    }
    ++at;
  }
  return text + "\"";
}

std::string FirmwareViaLine(const std::string& path, uint32_t payloadBytes, int32_t input,
                            const std::string& inputName, int32_t output,
                            const std::string& outputName) {
  return "Firmware " + PrintableName(path) + " (" + std::to_string(payloadBytes) +
         " payload bytes) via in " + std::to_string(input) + ": " + PrintableName(inputName) +
         ", out " + std::to_string(output) + ": " + PrintableName(outputName);
}

}  // namespace varnet
