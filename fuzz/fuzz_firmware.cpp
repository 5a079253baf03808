// The firmware loader on arbitrary files: read from disk and parsed, and parsed from a FileBuffer
// whose recorded counts disagree with its data (a short read, a stale buffer).
#include <unistd.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <string>

#include "engine/firmware.h"
#include "fuzz/fuzz_support.h"

namespace {

using varnet::FileBuffer;
using varnet::FirmwareImage;

std::string TempPath() {
  const char* dir = std::getenv("TMPDIR");
  return std::string(dir ? dir : "/tmp") + "/varnet-fuzz-firmware-" + std::to_string(getpid()) +
         ".jtg";
}

struct Snapshot {
  std::vector<uint8_t> payload, send, log;
  uint32_t length;
  uint8_t kind;
  explicit Snapshot(const FirmwareImage& image)
      : payload(image.PayloadBuffer),
        send(image.SendBuffer),
        log(image.SentLog),
        length(image.payloadLength),
        kind(image.converterKind) {}
  bool same(const FirmwareImage& image) const {
    return payload == image.PayloadBuffer && send == image.SendBuffer && log == image.SentLog &&
           length == image.payloadLength && kind == image.converterKind;
  }
};

// What a valid parse must leave, computed from the bytes alone.
void CheckParse(const uint8_t* data, size_t available, FirmwareImage& image, int result,
                const Snapshot& before) {
  bool valid = available > 50 && data[0] == 'J' && data[1] == 'T' && data[2] == 'G' &&
               data[4] == 0x07 && data[5] == 0x08 && data[6] == 0x01;
  uint32_t length = 0;
  if (valid) {
    length =
        (uint32_t{data[7]} << 24) | (uint32_t{data[8]} << 16) | (uint32_t{data[9]} << 8) | data[10];
    valid = length <= available - varnet::kFirmwareHeaderSize;
  }
  if (!valid) {
    FUZZ_CHECK(result == -1);
    FUZZ_CHECK(before.same(image));
    return;
  }
  FUZZ_CHECK(result == 0);
  FUZZ_CHECK(image.payloadLength == length);
  FUZZ_CHECK(image.converterKind == data[3]);
  FUZZ_CHECK(image.PayloadBuffer.size() == length);
  FUZZ_CHECK(std::equal(image.PayloadBuffer.begin(), image.PayloadBuffer.end(), data + 11));
  // Room for every message the engine assembles and logs for this payload.
  FUZZ_CHECK(image.SendBuffer.size() >= std::max<size_t>(length, 16));
  FUZZ_CHECK(image.SentLog.size() >= size_t{length} + 11);
  FUZZ_CHECK(image.SentLog.size() >= 24);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string path = TempPath();

  // Through the file system, as the window and varnet-flash load a file.
  if (std::FILE* file = std::fopen(path.c_str(), "wb")) {
    const size_t written = std::fwrite(data, 1, size, file);
    std::fclose(file);
    FUZZ_CHECK(written == size);
    FileBuffer buffer;
    std::string error;
    FUZZ_CHECK(varnet::ReadWholeFile(path, buffer, &error));
    FUZZ_CHECK(buffer.size == size);
    FUZZ_CHECK(buffer.bytesRead == size);
    FUZZ_CHECK(buffer.data.size() == size + 1);
    FUZZ_CHECK(std::equal(data, data + size, buffer.data.begin()));

    FirmwareImage image;
    const Snapshot before(image);
    CheckParse(data, size, image, varnet::ParseFirmwareImage(buffer, image), before);

    // A second file into the same image: a failed parse keeps the first one.
    if (size > 0) {
      FileBuffer other;
      other.data.assign(data, data + size / 2);
      other.data.push_back(0);
      other.size = other.bytesRead = static_cast<uint32_t>(size / 2);
      const Snapshot kept(image);
      CheckParse(data, size / 2, image, varnet::ParseFirmwareImage(other, image), kept);
    }
  }

  // A buffer whose bytesRead overstates what it holds must never be read past its end.
  {
    FileBuffer buffer;
    buffer.data.assign(data, data + size);
    buffer.size = static_cast<uint32_t>(size);
    buffer.bytesRead = static_cast<uint32_t>(size) + (size > 0 ? data[0] : 0) * 1000u;
    FirmwareImage image;
    const Snapshot before(image);
    CheckParse(data, size, image, varnet::ParseFirmwareImage(buffer, image), before);
  }
  return 0;
}
