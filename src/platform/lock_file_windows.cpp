#include "platform/lock_file.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/file_facts.h"
#include "platform/windows_paths.h"

namespace sealtool {
namespace {

int AsDescriptor(HANDLE handle) {
  return _open_osfhandle(reinterpret_cast<intptr_t>(handle), _O_RDWR);
}

HANDLE AsHandle(int lock) { return reinterpret_cast<HANDLE>(_get_osfhandle(lock)); }

bool Lock(int lock, DWORD flags) {
  OVERLAPPED whole{};
  return LockFileEx(AsHandle(lock), LOCKFILE_EXCLUSIVE_LOCK | flags, 0, MAXDWORD, MAXDWORD, &whole) != 0;
}

}  // namespace

// %LOCALAPPDATA%\sealtool, or the temporary folder's: both are the user's own.
LockFolderOpening OpenLockFolder(std::string* folder, int* dirFd) {
  *dirFd = -1;
  const char* local = std::getenv("LOCALAPPDATA");
  const char* temp = std::getenv("TEMP");
  *folder = std::string(local != nullptr ? local : temp != nullptr ? temp : ".") + "\\sealtool";
  if (!MakeFolder(folder->c_str())) return LockFolderOpening::kCannotMake;
  *dirFd = OpenFolder(folder->c_str());
  return *dirFd >= 0 ? LockFolderOpening::kOpened : LockFolderOpening::kNotPrivate;
}

LockTaking TryLock(int dirFd, const char* name, int* lock) {
  HANDLE file = CreateFileW(PathInFolder(dirFd, name).c_str(), GENERIC_READ | GENERIC_WRITE,
                            FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
  *lock = -1;
  if (file == INVALID_HANDLE_VALUE) {
    errno = EACCES;
    return LockTaking::kFailed;
  }
  *lock = AsDescriptor(file);
  if (Lock(*lock, LOCKFILE_FAIL_IMMEDIATELY)) return LockTaking::kTaken;
  if (GetLastError() == ERROR_LOCK_VIOLATION || GetLastError() == ERROR_IO_PENDING) return LockTaking::kBusy;
  _close(*lock);
  *lock = -1;
  errno = EIO;
  return LockTaking::kFailed;
}

bool WaitForLock(int lock) {
  if (Lock(lock, 0)) return true;
  _close(lock);
  errno = EIO;
  return false;
}

void RaiseOpenFileLimit() { _setmaxstdio(8192); }

}  // namespace sealtool
