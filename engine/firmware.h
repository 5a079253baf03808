// The firmware file (.jtg): read whole, validate, and take into the FirmwareImage together with
// the engine's working buffers and counters.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "io/file_io.h"

namespace varnet {

// The loaded firmware with the engine's buffers and counters. progressTotal and bytesSent are
// read by the painting thread while the worker writes them, hence atomic.
struct FirmwareImage {
  std::vector<uint8_t> PayloadBuffer = std::vector<uint8_t>(256);
  std::vector<uint8_t> SendBuffer = std::vector<uint8_t>(256);
  std::vector<uint8_t> SentLog = std::vector<uint8_t>(256);
  uint32_t payloadLength = 0;
  std::atomic<uint32_t> progressTotal{0};
  std::atomic<uint32_t> bytesSent{0};
  uint32_t sentLogCount = 0;
  uint32_t echoVerifiedCount = 0;
  uint8_t converterKind = 0;
  // The file LoadFirmwareFile took it from: a session log must never be written over it.
  std::string sourcePath;
};

constexpr uint8_t kKindAD = 0xAD;
constexpr uint8_t kKindDA = 0xDA;
constexpr uint32_t kFirmwareHeaderSize = 11;
// The smallest working blocks a load leaves, whatever the payload: the handshake's messages (up
// to 10 bytes) are put together in SendBuffer, and a session start clears 24 bytes of SentLog.
constexpr std::size_t kMinSendBufferSize = 16;
constexpr std::size_t kMinSentLogSize = 24;

// What the user is told when a file is not a valid firmware file (text and caption of the box).
constexpr const char* kFirmwareNotValidText = "Failed opening file! File not valid! \n";
constexpr const char* kFirmwareNotValidCaption = "Filetype mismatch!";

// What a load allocates besides the payload. An update needs the working blocks (SendBuffer and
// SentLog, each about the payload's size); a look at the file alone does not, and skipping them
// keeps a large file's cost to its payload. PayloadOnly leaves both blocks empty, which the
// encoder and the sender refuse to stream from.
enum class FirmwareBlocks { ForUpdate, PayloadOnly };

// 0 when the file in `buffer` is a valid firmware file and has been taken into `image`, -1
// otherwise (the image is then untouched).
int ParseFirmwareImage(const FileBuffer& buffer, FirmwareImage& image,
                       FirmwareBlocks blocks = FirmwareBlocks::ForUpdate);

}  // namespace varnet
