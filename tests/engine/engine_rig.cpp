#include "tests/engine/engine_rig.h"

#include <cstdio>

namespace varnet::test {

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[4];
  for (uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02X", b);
    if (!text.empty()) text += ' ';
    text += digits;
  }
  return text;
}

std::string ScriptedOutput::trace() const {
  std::string text;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i == 0) {
      text = "send ";
    } else {
      const int64_t gap = Ms(pieces[i].at - pieces[i - 1].at);
      if (gap == 10) {
        text += ' ';
      } else {
        text += "; pause " + std::to_string(gap - 10) + "; send ";
      }
    }
    text += Hex(pieces[i].bytes);
  }
  return text;
}

void EngineRig::load(const Bytes& payload, uint8_t kind) {
  FileBuffer file;
  Bytes bytes = {'J', 'T', 'G', kind, 0x07, 0x08, 0x01};
  const auto length = static_cast<uint32_t>(payload.size());
  for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(length >> shift));
  bytes.insert(bytes.end(), payload.begin(), payload.end());
  while (bytes.size() < 51) bytes.push_back(0xEE);  // trailing bytes are ignored
  file.data = bytes;
  file.data.push_back(0);
  file.size = file.bytesRead = static_cast<uint32_t>(bytes.size());
  ASSERT_EQ(ParseFirmwareImage(file, image), 0);
}

Bytes Log(const FirmwareImage& image) {
  return Bytes(image.SentLog.begin(), image.SentLog.begin() + image.sentLogCount);
}

}  // namespace varnet::test
