#include "settings/folder_lock.h"

namespace k210 {

FolderLock::~FolderLock() {
    if (held_) files_.unlock_folder(token_);
}

FolderLock::Result FolderLock::take() {
    switch (files_.lock_folder(token_)) {
        case LockCall::taken: held_ = true; return Result::taken;
        case LockCall::held: failure_ = "another k210prog run is using this folder"; return Result::held_by_another_run;
        case LockCall::failed: break;
    }
    failure_ = "cannot lock the working folder: " + files_.reason();
    return Result::unavailable;
}

}  // namespace k210
