// One run per folder: two runs would share SETTINGS.TXT.
#pragma once

#include <string>

#include "files/file_system.h"

namespace k210 {

// Held from take() to destruction; leaves no file behind on POSIX (a lock
// on the folder itself). On Windows it is the hidden file SETTINGS.LCK,
// deleted when the run ends however it ends.
class FolderLock {
  public:
    enum class Result {
        taken,
        held_by_another_run,
        unavailable,  // the folder cannot be locked (on Windows: cannot be written)
    };
    explicit FolderLock(FileSystem& files) : files_(files) {}
    ~FolderLock();
    FolderLock(const FolderLock&) = delete;
    FolderLock& operator=(const FolderLock&) = delete;
    [[nodiscard]] Result take();
    const std::string& failure_reason() const { return failure_; }

  private:
    FileSystem& files_;
    bool held_ = false;
    std::intptr_t token_ = 0;
    std::string failure_;
};

}  // namespace k210
