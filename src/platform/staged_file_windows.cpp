#include "platform/staged_file.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/process_guard.h"
#include "platform/windows_paths.h"

namespace sealtool {
namespace {

constexpr char kTempPrefix[] = ".sealtool-";
constexpr int kTempNameAttempts = 100;

void RandomSuffix(char (&suffix)[7]) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";  // names are not case-sensitive here
  static unsigned counter = 0;
  unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 8) ^ (++counter * 2654435761u);
  for (std::size_t i = 0; i < 6; ++i) {
    suffix[i] = kAlphabet[seed % (sizeof kAlphabet - 1)];
    seed = seed * 1103515245u + 12345u;
  }
  suffix[6] = '\0';
}

void SetErrnoFromSystem() {
  switch (GetLastError()) {
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      errno = EEXIST;
      break;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
      errno = EACCES;
      break;
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
      errno = ENOENT;
      break;
    default:
      errno = EIO;
  }
}

// What stood at a final name before a commit placed a file there: moved
// aside under a name of its own, so that a failed commit can put it back.
struct Placement {
  bool placed;
  std::wstring setAside;  // empty when nothing stood there
};

Placement PlaceFile(const StagedFile& file, bool replace) {
  const std::wstring temp = PathInFolder(file.dirFd, file.tempName);
  const std::wstring target = PathInFolder(file.dirFd, file.name);
  Placement placement{false, {}};
  const DWORD attributes = GetFileAttributesW(target.c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if (!replace) {
      errno = EEXIST;
      return placement;
    }
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      errno = EISDIR;
      return placement;
    }
    placement.setAside = temp + L".old";
    if (MoveFileExW(target.c_str(), placement.setAside.c_str(), MOVEFILE_WRITE_THROUGH) == 0) {
      SetErrnoFromSystem();
      placement.setAside.clear();
      return placement;
    }
  }
  placement.placed = MoveFileExW(temp.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH) != 0;
  if (!placement.placed) {
    SetErrnoFromSystem();
    if (!placement.setAside.empty()) MoveFileExW(placement.setAside.c_str(), target.c_str(), MOVEFILE_WRITE_THROUGH);
    placement.setAside.clear();
  }
  return placement;
}

void UndoPlacement(const StagedFile& file, const Placement& placement) {
  const std::wstring target = PathInFolder(file.dirFd, file.name);
  if (!placement.setAside.empty()) {
    MoveFileExW(placement.setAside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  } else {
    DeleteFileW(target.c_str());
  }
}

}  // namespace

void CloseFolder(int dirFd) { ReleaseFolderHandle(dirFd); }

int OpenParentDirectory(int atFd, const char* path, char (&name)[kFileNameSize]) {
  const std::size_t length = std::strlen(path);
  const char* slash = std::strrchr(path, '/');
  const char* backslash = std::strrchr(path, '\\');
  if (backslash != nullptr && (slash == nullptr || backslash > slash)) slash = backslash;
  const char* base = slash != nullptr ? slash + 1 : path;
  const std::size_t baseLength = length - static_cast<std::size_t>(base - path);
  if (baseLength == 0 || baseLength >= kFileNameSize) return -1;
  std::memcpy(name, base, baseLength + 1);
  std::string folder = ".";
  if (slash != nullptr) folder.assign(path, static_cast<std::size_t>(base - path));
  const bool absolute = folder.size() >= 2 && (folder[1] == ':' || folder[0] == '/' || folder[0] == '\\');
  const std::wstring* at = FolderOfHandle(atFd);
  const bool here = at == nullptr || atFd == kWorkingFolder;
  const std::wstring wide = (absolute || here) ? SystemPath(folder.c_str())
                                               : LongPathForm(*at + L"\\" + Widen(folder.c_str()));
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    errno = ENOENT;
    return -1;
  }
  return HandleForFolder(wide);
}

bool StageFile(StagedFile* file, int dirFd, const char* name, unsigned mode) {
  file->dirFd = dirFd;
  file->fd = -1;
  file->pendingSlot = -1;
  const std::size_t length = std::strlen(name);
  if (length >= sizeof file->name) {
    errno = ENAMETOOLONG;
    return false;
  }
  std::memcpy(file->name, name, length + 1);
  const int permissions = (mode & 0200) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char suffix[7];
    RandomSuffix(suffix);
    std::snprintf(file->tempName, sizeof file->tempName, "%s%s", kTempPrefix, suffix);
    const std::wstring path = PathInFolder(dirFd, file->tempName);
    file->fd = _wopen(path.c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT, permissions);
    if (file->fd >= 0 || errno != EEXIST) break;
  }
  if (file->fd < 0) return false;
  file->pendingSlot = RegisterPendingFile(dirFd, file->tempName);
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
    const int written = _write(fd, bytes, chunk);
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CloseStagedFile(StagedFile* file) {
  if (file->fd < 0) return true;
  const bool closed = _close(file->fd) == 0;
  file->fd = -1;
  return closed;
}

bool CommitStagedFiles(StagedFile* files, std::size_t count, bool replace) {
  HoldTerminationSignals();
  static Placement placements[kMaxPendingFiles];
  bool placedAll = count <= static_cast<std::size_t>(kMaxPendingFiles);
  std::size_t placed = 0;
  for (; placedAll && placed < count; ++placed) {
    placements[placed] = PlaceFile(files[placed], replace);
    placedAll = placements[placed].placed;
  }
  const int failure = errno;
  if (!placedAll) {
    for (std::size_t i = placed - 1; i-- > 0;) UndoPlacement(files[i], placements[i]);
  } else {
    for (std::size_t i = 0; i < count; ++i) {
      if (!placements[i].setAside.empty()) DeleteFileW(placements[i].setAside.c_str());
    }
  }
  for (std::size_t i = 0; i < count; ++i) DiscardStagedFile(&files[i]);
  ReleaseTerminationSignals();
  errno = failure;
  return placedAll;
}

void DiscardStagedFile(StagedFile* file) {
  CloseStagedFile(file);
  DeleteFileW(PathInFolder(file->dirFd, file->tempName).c_str());
  ForgetPendingFile(file->pendingSlot);
  file->pendingSlot = -1;
}

}  // namespace sealtool
