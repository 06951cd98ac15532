#include "platform/lock_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

namespace sealtool {
namespace {

bool IsPrivateFolder(int dirFd) {
  struct stat info {};
  return fstat(dirFd, &info) == 0 && S_ISDIR(info.st_mode) && info.st_uid == geteuid() &&
         (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

}  // namespace

LockFolderOpening OpenLockFolder(std::string* folder, int* dirFd) {
  *dirFd = -1;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') {
    *folder = runtime;
  } else {
    *folder = "/tmp/sealtool-" + std::to_string(geteuid());
    if (mkdir(folder->c_str(), 0700) != 0 && errno != EEXIST) return LockFolderOpening::kCannotMake;
  }
  const int opened = open(folder->c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (opened >= 0 && IsPrivateFolder(opened)) {
    *dirFd = opened;
    return LockFolderOpening::kOpened;
  }
  if (opened >= 0) close(opened);
  return LockFolderOpening::kNotPrivate;
}

LockTaking TryLock(int dirFd, const char* name, int* lock) {
  *lock = openat(dirFd, name, O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (*lock < 0) return LockTaking::kFailed;
  struct stat info {};
  if (fstat(*lock, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid()) {
    close(*lock);
    *lock = -1;
    return LockTaking::kNotOwnFile;
  }
  if (flock(*lock, LOCK_EX | LOCK_NB) == 0) return LockTaking::kTaken;
  if (errno == EWOULDBLOCK) return LockTaking::kBusy;
  const int error = errno;
  close(*lock);
  *lock = -1;
  errno = error;
  return LockTaking::kFailed;
}

bool WaitForLock(int lock) {
  int result = 0;
  while ((result = flock(lock, LOCK_EX)) != 0 && errno == EINTR) {
  }
  if (result == 0) return true;
  const int error = errno;
  close(lock);
  errno = error;
  return false;
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace sealtool
