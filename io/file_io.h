// Reading a file whole into a FileBuffer, and writing a file so that it is either replaced whole
// or left as it was.
#pragma once

#include <cstddef>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

namespace varnet {

// The record through which a file is read whole and, for the settings file, written.
struct FileBuffer {
  std::vector<uint8_t> data = std::vector<uint8_t>(256);  // bytes read + 1 after a read
  uint32_t size = 0;
  uint32_t bytesRead = 0;
  std::vector<uint8_t> writeData = std::vector<uint8_t>(256);
  uint32_t writeSize = 0;
  uint32_t bytesWritten = 0;
};

// The system's reason for a path that names a device, a FIFO or a socket, which a whole-file
// read would wait on for ever or read without end.
constexpr const char* kNotRegularFileText = "not a regular file";

// Reads the existing regular file at `path` whole into `buffer` (never creates a file), or only
// its first `maxBytes` bytes. false when the file cannot be opened, is not a regular file or does
// not fit in memory; `errorText` (optional) then receives the reason.
bool ReadWholeFile(const std::string& path, FileBuffer& buffer, std::string* errorText = nullptr,
                   std::size_t maxBytes = std::numeric_limits<std::size_t>::max());

struct FileWriteOptions {
  // A folder that refuses a new file (no write permission there, while the file itself may be
  // written): rewrite the existing file in place instead of failing.
  bool rewriteInPlaceWhenFolderRefuses = false;
  // Refused when `path` names this same file (by device and inode), however it is spelt.
  std::string mustNotBe;
  // Devices, FIFOs and standard output are written directly; without this they are refused
  // (a FIFO with no reader would block the writer for ever).
  bool writeNonRegular = true;
};

// Writes `bytes` to `path` so that a regular file there is replaced only once the new contents
// are complete and on disk: a full disk, a crash or a failure leaves either the old file or the
// new one, and never a temporary file. A symbolic link is followed and its target replaced; a
// replaced file keeps its permissions; an existing file without any write permission is refused.
// Outputs that are not regular files (devices, FIFOs, the program's own standard output, "-"
// for standard output) are written directly. false with `errorText` set on failure.
bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         const FileWriteOptions& options, std::string* errorText = nullptr);

}  // namespace varnet
