#include "cli/names.h"

#include <algorithm>
#include <cstdio>

namespace varnet {

namespace {

bool IsControl(unsigned char c) {
  return c < 0x20 || c == 0x7F;
}

}  // namespace

std::string PrintableName(const std::string& name) {
  if (std::none_of(name.begin(), name.end(), [](char c) { return IsControl(c); })) return name;
  std::string text = "\"";
  for (const char c : name) {
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
        if (IsControl(byte)) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
          text += escaped;
        } else {
          text += c;
        }
    }
  }
  return text + "\"";
}

}  // namespace varnet
