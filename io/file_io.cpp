#include "io/file_io.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <new>
#include <random>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

namespace varnet {

namespace fs = std::filesystem;

namespace {

std::string SystemReason(int error) {
  return std::generic_category().message(error);
}

bool Fail(std::string* errorText, const std::string& reason) {
  if (errorText) *errorText = reason;
  return false;
}

struct FileCloser {
  void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Holds the whole read in 32-bit counts, with the terminating byte the buffer keeps after it.
bool ResizeForRead(FileBuffer& buffer, uint64_t fileSize, std::size_t maxBytes,
                   std::string* errorText) {
  const uint64_t wanted = std::min<uint64_t>(fileSize, maxBytes);
  if (wanted >= std::numeric_limits<uint32_t>::max()) return Fail(errorText, SystemReason(EFBIG));
  try {
    buffer.data.resize(static_cast<std::size_t>(wanted) + 1);
  } catch (const std::bad_alloc&) {
    return Fail(errorText, SystemReason(ENOMEM));
  }
  buffer.size = static_cast<uint32_t>(wanted);
  buffer.bytesRead = 0;
  return true;
}

bool FlushToDisk(std::FILE* file) {
  if (std::fflush(file) != 0) return false;
#ifdef _WIN32
  return _commit(_fileno(file)) == 0;
#else
  return fsync(fileno(file)) == 0;
#endif
}

// Makes a rename durable; a failure here does not undo a replacement that has already happened.
void FlushDirectory([[maybe_unused]] const fs::path& directory) {
#ifndef _WIN32
  const int fd = open(directory.empty() ? "." : directory.c_str(), O_RDONLY | O_DIRECTORY);
  if (fd >= 0) {
    fsync(fd);
    close(fd);
  }
#endif
}

bool WriteAll(std::FILE* file, const std::vector<uint8_t>& bytes, int& error) {
  errno = 0;
  const std::size_t written = std::fwrite(bytes.data(), 1, bytes.size(), file);
  if (written == bytes.size() && std::fflush(file) == 0) return true;
  error = errno != 0 ? errno : EIO;
  return false;
}

// The file a chain of symbolic links ends at (which need not exist yet): that is the file to
// replace, in its own folder, so that the link itself stays a link.
fs::path FollowLinks(fs::path path) {
  for (int hop = 0; hop < 40; ++hop) {
    std::error_code ec;
    if (!fs::is_symlink(fs::symlink_status(path, ec)) || ec) return path;
    const fs::path target = fs::read_symlink(path, ec);
    if (ec) return path;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  return path;
}

// True when `path` is the file our standard output already writes to (`/dev/stdout` or its
// own name after `>`): replacing it would leave the output on a deleted file.
bool IsStandardOutput([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
  return false;
#else
  struct stat out {};
  struct stat named {};
  return fstat(STDOUT_FILENO, &out) == 0 && stat(path.c_str(), &named) == 0 &&
         out.st_dev == named.st_dev && out.st_ino == named.st_ino;
#endif
}

// Outputs that are not regular files take the bytes as they come: a device, a FIFO or a
// terminal cannot be renamed over, and must never be replaced by a regular file.
bool WriteDirectly(const std::string& path, const std::vector<uint8_t>& bytes,
                   std::string* errorText) {
  int error = 0;
  if (path == "-" || IsStandardOutput(path)) {
    if (!WriteAll(stdout, bytes, error)) return Fail(errorText, SystemReason(error));
    return true;
  }
  errno = 0;
  // "r+b" neither creates nor truncates: only an existing device or FIFO is opened here.
  FilePtr file(std::fopen(path.c_str(), "r+b"));
  if (!file) {
    // A FIFO or a write-only device cannot be opened for reading too.
    file.reset(std::fopen(path.c_str(), "wb"));
  }
  if (!file) return Fail(errorText, SystemReason(errno != 0 ? errno : EACCES));
  if (!WriteAll(file.get(), bytes, error)) return Fail(errorText, SystemReason(error));
  return true;
}

// Opens a file of a fresh, short name in `folder`: the name does not grow with the target's, and
// "x" refuses a name that exists (also a link planted there).
FilePtr CreateTemporaryIn(const fs::path& folder, fs::path& tempPath, int& error) {
  std::random_device seed;
  std::mt19937 generator(seed());
  for (int attempt = 0; attempt < 16; ++attempt) {
    char name[32];
    std::snprintf(name, sizeof name, ".varnet-%08x.tmp", static_cast<unsigned>(generator()));
    tempPath = folder / name;
    errno = 0;
    if (std::FILE* file = std::fopen(tempPath.string().c_str(), "wbx")) return FilePtr(file);
    error = errno != 0 ? errno : EACCES;
    if (error != EEXIST) return nullptr;
  }
  return nullptr;
}

bool FolderRefusesNewFile(int error) {
#ifdef EDQUOT
  if (error == EDQUOT) return true;
#endif
  return error == EACCES || error == EPERM || error == EROFS || error == ENOSPC;
}

// The documented way of writing the settings file, for a folder that allows no new file: the
// file's own bytes are rewritten and cut to the new length.
bool RewriteInPlace(const fs::path& target, const std::vector<uint8_t>& bytes,
                    std::string* errorText) {
  errno = 0;
  FilePtr file(std::fopen(target.string().c_str(), "r+b"));
  if (!file) return Fail(errorText, SystemReason(errno != 0 ? errno : EACCES));
  int error = 0;
  if (!WriteAll(file.get(), bytes, error)) return Fail(errorText, SystemReason(error));
  std::error_code ec;
  file.reset();
  fs::resize_file(target, bytes.size(), ec);
  if (ec) return Fail(errorText, ec.message());
  return true;
}

}  // namespace

bool ReadWholeFile(const std::string& path, FileBuffer& buffer, std::string* errorText,
                   std::size_t maxBytes) {
#ifdef _WIN32
  std::error_code ec;
  const fs::file_status status = fs::status(path, ec);
  if (fs::is_directory(status)) return Fail(errorText, SystemReason(EISDIR));
  if (fs::exists(status) && !fs::is_regular_file(status)) {
    return Fail(errorText, kNotRegularFileText);
  }
  // "rb" opens an existing file only: a file that vanished since it was chosen is reported, not
  // recreated empty.
  errno = 0;
  FilePtr file(std::fopen(path.c_str(), "rb"));
  if (!file) return Fail(errorText, SystemReason(errno != 0 ? errno : ENOENT));
  const std::uintmax_t fileSize = fs::file_size(path, ec);
  if (ec) return Fail(errorText, ec.message());
  if (!ResizeForRead(buffer, fileSize, maxBytes, errorText)) return false;
  // A failed or short read shows only as a small bytesRead, which validation then rejects.
  buffer.bytesRead =
      static_cast<uint32_t>(std::fread(buffer.data.data(), 1, buffer.size, file.get()));
  return true;
#else
  // Opened without waiting, so that a FIFO with no writer is refused instead of blocking the
  // open; what it is is then asked of the open file itself, not of a name that may change.
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return Fail(errorText, SystemReason(errno));
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  struct stat status {};
  if (fstat(fd, &status) != 0) return Fail(errorText, SystemReason(errno));
  if (S_ISDIR(status.st_mode)) return Fail(errorText, SystemReason(EISDIR));
  if (!S_ISREG(status.st_mode)) return Fail(errorText, kNotRegularFileText);
  if (!ResizeForRead(buffer, static_cast<uint64_t>(status.st_size), maxBytes, errorText)) {
    return false;
  }
  // A failed or short read shows only as a small bytesRead, which validation then rejects.
  uint32_t done = 0;
  while (done < buffer.size) {
    const ssize_t count = read(fd, buffer.data.data() + done, buffer.size - done);
    if (count < 0 && errno == EINTR) continue;
    if (count <= 0) break;
    done += static_cast<uint32_t>(count);
  }
  buffer.bytesRead = done;
  return true;
#endif
}

bool WriteFileAtomically(const std::string& path, const std::vector<uint8_t>& bytes,
                         const FileWriteOptions& options, std::string* errorText) {
  std::error_code ec;
  if (!options.mustNotBe.empty() && path != "-" && fs::equivalent(path, options.mustNotBe, ec)) {
    return Fail(errorText, "input and output are the same file");
  }
  if (path == "-") {
    if (!options.writeNonRegular) return Fail(errorText, kNotRegularFileText);
    return WriteDirectly(path, bytes, errorText);
  }

  const fs::path target = FollowLinks(path);
  const fs::file_status status = fs::status(target, ec);
  const bool exists = !ec && fs::exists(status);
  if (exists && fs::is_directory(status)) return Fail(errorText, SystemReason(EISDIR));
  if (exists && (!fs::is_regular_file(status) || IsStandardOutput(target.string()))) {
    if (!options.writeNonRegular) return Fail(errorText, kNotRegularFileText);
    return WriteDirectly(target.string(), bytes, errorText);
  }
  // A file the user made read-only is kept as it is. The permission bits are looked at rather
  // than an open for writing alone, because a privileged user may open a read-only file anyway,
  // and the rename below would replace it regardless of its own permissions.
  constexpr fs::perms anyWrite =
      fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;
  if (exists && (status.permissions() & anyWrite) == fs::perms::none) {
    return Fail(errorText, SystemReason(EACCES));
  }
  if (exists) {
    // "r+b" neither creates nor truncates: it only asks the system whether writing is allowed.
    errno = 0;
    FilePtr probe(std::fopen(target.string().c_str(), "r+b"));
    if (!probe) return Fail(errorText, SystemReason(errno != 0 ? errno : EACCES));
  }

  fs::path tempPath;
  int error = 0;
  FilePtr file = CreateTemporaryIn(
      target.parent_path().empty() ? fs::path(".") : target.parent_path(), tempPath, error);
  if (!file) {
    if (exists && options.rewriteInPlaceWhenFolderRefuses && FolderRefusesNewFile(error)) {
      return RewriteInPlace(target, bytes, errorText);
    }
    return Fail(errorText, SystemReason(error));
  }
  const bool written = WriteAll(file.get(), bytes, error) && FlushToDisk(file.get());
  if (!written && error == 0) error = errno != 0 ? errno : EIO;
#ifndef _WIN32
  if (written && exists) {
    // The replacement keeps the owner the old file had (where we may set it).
    struct stat old {};
    if (stat(target.c_str(), &old) == 0) {
      [[maybe_unused]] const int ignored = fchown(fileno(file.get()), old.st_uid, old.st_gid);
    }
  }
#endif
  const bool closed = std::fclose(file.release()) == 0;
  if (!written || !closed) {
    fs::remove(tempPath, ec);
    return Fail(errorText, SystemReason(error != 0 ? error : EIO));
  }
  if (exists) fs::permissions(tempPath, status.permissions(), ec);
  fs::rename(tempPath, target, ec);
  if (ec) {
    const std::string reason = ec.message();
    fs::remove(tempPath, ec);
    return Fail(errorText, reason);
  }
  FlushDirectory(target.parent_path());
  return true;
}

}  // namespace varnet
