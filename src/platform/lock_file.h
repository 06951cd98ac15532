// The batch's locks on tokens: one lock file per token in a folder that
// only this user can write, held until the process ends.
#pragma once

#include <string>

namespace sealtool {

enum class LockFolderOpening { kOpened, kCannotMake, kNotPrivate };

// The folder for the locks: $XDG_RUNTIME_DIR, or /tmp/sealtool-UID made
// 0700. Anything else (another user's folder, a link, loose permissions) is
// kNotPrivate, never used. *folder gets its path; *dirFd a folder handle
// when opened. errno tells why it cannot be made.
LockFolderOpening OpenLockFolder(std::string* folder, int* dirFd);

enum class LockTaking { kTaken, kBusy, kNotOwnFile, kFailed };

// Takes the lock file name in the folder without waiting; kBusy when
// another process holds it (*lock is then open, for WaitForLock). errno
// tells why it failed.
LockTaking TryLock(int dirFd, const char* name, int* lock);

// Waits until the lock is taken; false (errno set, the lock closed) when
// waiting fails.
bool WaitForLock(int lock);

// Enough open files for every staged output's folder.
void RaiseOpenFileLimit();

}  // namespace sealtool
