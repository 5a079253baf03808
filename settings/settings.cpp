#include "settings/settings.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

namespace varnet {

namespace fs = std::filesystem;

namespace {

constexpr char kMagic[6] = {'u', 'p', 'd', 'i', 'n', 'i'};
constexpr uint32_t kMinValidSize = 11;  // only bytes 0..8 are used, yet 10 bytes are too few

fs::path SettingsPath(const std::string& startDirectory) {
  return fs::path(startDirectory) / kSettingsFileName;
}

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

// Makes the rename itself durable; a failure here does not undo a save that has already happened.
void FlushDirectory([[maybe_unused]] const fs::path& directory) {
#ifndef _WIN32
  const int fd = open(directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
#endif
}

// A settings file the user made read-only is kept as it is. The permission bits are looked at as
// well as a real open for writing, because a privileged user may open a read-only file anyway,
// and the rename below would replace it regardless of its own permissions.
bool ExistingFileIsReadOnly(const fs::path& path) {
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (ec || !fs::exists(status)) return false;
  constexpr fs::perms anyWrite =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if ((status.permissions() & anyWrite) == fs::perms::none) return true;
  // "r+b" neither creates nor truncates: it only asks the system whether writing is allowed.
  std::FILE* probe = std::fopen(path.string().c_str(), "r+b");
  if (!probe) return true;
  std::fclose(probe);
  return false;
}

// Opens a file of a fresh name next to `target`, so that the final rename stays on one file
// system. "x" refuses to reuse a name that exists.
std::FILE* CreateTempBeside(const fs::path& target, fs::path& tempPath) {
  std::random_device seed;
  std::mt19937 generator(seed());
  for (int attempt = 0; attempt < 16; ++attempt) {
    char suffix[16];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(generator()));
    tempPath = target;
    tempPath += suffix;
    if (std::FILE* file = std::fopen(tempPath.string().c_str(), "wbx")) return file;
    if (errno != EEXIST) return nullptr;
  }
  return nullptr;
}

}  // namespace

int LoadSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  if (!ReadWholeFile(SettingsPath(startDirectory).string(), buffer)) return 0;
  if (buffer.bytesRead < kMinValidSize) return 0;
  if (!std::equal(std::begin(kMagic), std::end(kMagic), buffer.data.begin())) return 0;
  settings.inputDeviceIndex = buffer.data[6];
  settings.outputDeviceIndex = buffer.data[7];
  settings.deviceType = buffer.data[8];
  return 1;
}

int SaveSettings(const std::string& startDirectory, FileBuffer& buffer, Settings settings) {
  buffer.writeSize = kSettingsFileSize;
  buffer.writeData.assign(kSettingsFileSize, 0);
  std::copy(std::begin(kMagic), std::end(kMagic), buffer.writeData.begin());
  buffer.writeData[6] = static_cast<uint8_t>(settings.inputDeviceIndex & 0xFF);
  buffer.writeData[7] = static_cast<uint8_t>(settings.outputDeviceIndex & 0xFF);
  buffer.writeData[8] = settings.deviceType;

  const fs::path path = SettingsPath(startDirectory);
  if (ExistingFileIsReadOnly(path)) return 0;

  // The new contents go to a temporary file that replaces the old one only once it is complete
  // and on disk: a full disk or a crash leaves either the old file or the new one, never a part.
  fs::path tempPath;
  std::FILE* file = CreateTempBeside(path, tempPath);
  if (!file) return 0;
  buffer.bytesWritten =
      static_cast<uint32_t>(std::fwrite(buffer.writeData.data(), 1, buffer.writeSize, file));
  const bool flushed = FlushToDisk(file);
  const bool closed = std::fclose(file) == 0;
  std::error_code ec;
  if (buffer.bytesWritten != buffer.writeSize || !flushed || !closed) {
    fs::remove(tempPath, ec);
    return 0;
  }
  // The replacement keeps the access rights the user gave the old file.
  const fs::file_status old = fs::status(path, ec);
  if (!ec && fs::exists(old)) fs::permissions(tempPath, old.permissions(), ec);
  fs::rename(tempPath, path, ec);
  if (ec) {
    fs::remove(tempPath, ec);
    return 0;
  }
  FlushDirectory(path.parent_path().empty() ? fs::path(".") : path.parent_path());
  return 1;
}

}  // namespace varnet
