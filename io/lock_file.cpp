#include "io/lock_file.h"

#ifndef _WIN32
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>
#endif

#include <cerrno>
#include <cstring>

namespace varnet {

#ifndef _WIN32

namespace {

std::string ReadHolder(int fd) {
  char text[256] = {};
  const ssize_t n = pread(fd, text, sizeof text - 1, 0);
  if (n <= 0) return {};
  std::string holder(text, static_cast<std::size_t>(n));
  while (!holder.empty() && (holder.back() == '\n' || holder.back() == '\0')) holder.pop_back();
  return holder;
}

}  // namespace

HeldLockFile::~HeldLockFile() {
  if (fd_ >= 0) {
    // The description goes before the lock, so that nobody reads a holder that has let go.
    if (ftruncate(fd_, 0) != 0) {
      // A file opened read-only (another user's) keeps the last holder's text; the lock is what
      // counts.
    }
    close(fd_);
  }
}

std::unique_ptr<HeldLockFile> HeldLockFile::TryLock(const std::string& path,
                                                    const std::string& holder, Outcome& outcome,
                                                    std::string& otherHolder, std::string& error) {
  otherHolder.clear();
  error.clear();
  bool writable = true;
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0 && (errno == EACCES || errno == EPERM)) {
    // Another user's file in a shared folder: a read-only open locks it all the same.
    writable = false;
    fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  }
  if (fd < 0) {
    outcome = Outcome::Unlockable;
    error = std::strerror(errno);
    return nullptr;
  }
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    const int cause = errno;
    if (cause == EWOULDBLOCK) {
      outcome = Outcome::Taken;
      otherHolder = ReadHolder(fd);
    } else {
      outcome = Outcome::Unlockable;
      error = std::strerror(cause);
    }
    close(fd);
    return nullptr;
  }
  if (writable && ftruncate(fd, 0) == 0) {
    const std::string text = holder + "\n";
    if (pwrite(fd, text.data(), text.size(), 0) < 0) {
      // Only the description is lost; the lock is held.
    }
  }
  outcome = Outcome::Held;
  return std::unique_ptr<HeldLockFile>(new HeldLockFile(fd));
}

#else

// The Windows MIDI service refuses a second open of a port by itself.
HeldLockFile::~HeldLockFile() = default;

std::unique_ptr<HeldLockFile> HeldLockFile::TryLock(const std::string&, const std::string&,
                                                    Outcome& outcome, std::string& otherHolder,
                                                    std::string& error) {
  otherHolder.clear();
  error = "not needed on this system";
  outcome = Outcome::Unlockable;
  return nullptr;
}

#endif

}  // namespace varnet
