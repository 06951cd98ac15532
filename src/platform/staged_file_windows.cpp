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
#include "platform/staged_file_primitives.h"
#include "platform/system_entropy.h"
#include "platform/windows_paths.h"

namespace sealtool {

// Names are not told apart by case here: lower-case letters and digits.
void RandomSuffix(char (&suffix)[7]) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  unsigned char bytes[6];
  if (!SystemEntropy(bytes, sizeof bytes)) {
    // The name only has to be unlikely to collide: the exclusive create
    // catches the rest.
    static unsigned counter = 0;
    const unsigned seed = GetTickCount() ^ (GetCurrentProcessId() << 8) ^ (++counter * 2654435761u);
    for (std::size_t i = 0; i < sizeof bytes; ++i) bytes[i] = static_cast<unsigned char>(seed >> (4 * i));
  }
  for (std::size_t i = 0; i < sizeof bytes; ++i) suffix[i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
  suffix[6] = '\0';
}

namespace {

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

void UndoPlacementOf(const StagedFile& file, const Placement& placement) {
  if (!placement.placed) return;
  const std::wstring target = PathInFolder(file.dirFd, file.name);
  if (!placement.setAside.empty()) {
    MoveFileExW(placement.setAside.c_str(), target.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH);
  } else {
    DeleteFileW(target.c_str());
  }
}

Placement gPlacements[kMaxPendingFiles];

}  // namespace

void CloseFolder(int dirFd) { ReleaseFolderHandle(dirFd); }

long WriteSome(int fd, const void* data, std::size_t size) {
  const unsigned chunk = size > 0x40000000u ? 0x40000000u : static_cast<unsigned>(size);
  return _write(fd, data, chunk);
}

bool CloseFile(int fd) { return _close(fd) == 0; }

bool PlaceStagedFile(const StagedFile& file, std::size_t slot, bool replace) {
  gPlacements[slot] = PlaceFile(file, replace);
  return gPlacements[slot].placed;
}

void UndoPlacement(const StagedFile& file, std::size_t slot) { UndoPlacementOf(file, gPlacements[slot]); }

// The old files that were set aside are not needed any more.
void KeepPlacements(std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    if (!gPlacements[i].setAside.empty()) DeleteFileW(gPlacements[i].setAside.c_str());
    gPlacements[i] = Placement{};
  }
}

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

int CreateNewFile(int dirFd, const char* name, unsigned mode) {
  const int permissions = (mode & 0200) != 0 ? (_S_IREAD | _S_IWRITE) : _S_IREAD;
  return _wopen(PathInFolder(dirFd, name).c_str(), _O_WRONLY | _O_CREAT | _O_EXCL | _O_BINARY | _O_NOINHERIT,
                permissions);
}

void RemoveFile(int dirFd, const char* name) { DeleteFileW(PathInFolder(dirFd, name).c_str()); }

}  // namespace sealtool
