// An advisory lock held through an open file: taken without waiting, held for as long as the
// object lives, and let go by the kernel when the process ends however it ends, so a crash never
// leaves a lock behind. The file itself stays; what it holds is only the holder's description,
// for whoever finds the lock taken.
#pragma once

#include <memory>
#include <string>

namespace varnet {

class HeldLockFile {
 public:
  ~HeldLockFile();
  HeldLockFile(const HeldLockFile&) = delete;
  HeldLockFile& operator=(const HeldLockFile&) = delete;

  enum class Outcome {
    Held,       // ours now
    Taken,      // another open of the file holds it; `otherHolder` says who, if it can be read
    Unlockable  // the file cannot be created or opened: nobody can lock it, `error` says why
  };
  // Creates `path` if need be (a link is not followed) and locks it, writing `holder` into it.
  static std::unique_ptr<HeldLockFile> TryLock(const std::string& path, const std::string& holder,
                                               Outcome& outcome, std::string& otherHolder,
                                               std::string& error);

 private:
  explicit HeldLockFile(int fd) : fd_(fd) {}
  int fd_ = -1;
};

}  // namespace varnet
