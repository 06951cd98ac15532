#include "platform/staged_file.h"

#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "platform/process_guard.h"
#include "platform/staged_file_primitives.h"

static_assert(sealtool::kFileNameSize == NAME_MAX + 1, "a name within a folder");

namespace sealtool {

void RandomSuffix(char (&suffix)[7]) {
  static const char kAlphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
  unsigned char bytes[6];
  if (getrandom(bytes, sizeof bytes, GRND_NONBLOCK) != static_cast<ssize_t>(sizeof bytes)) {
    // No entropy yet: the name only has to be unlikely to collide, and
    // O_EXCL catches the rest.
    static unsigned counter = 0;
    const unsigned seed = static_cast<unsigned>(std::time(nullptr)) ^
                          (static_cast<unsigned>(getpid()) << 8) ^ (++counter * 2654435761u);
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
      bytes[i] = static_cast<unsigned char>(seed >> (4 * i));
    }
  }
  for (std::size_t i = 0; i < sizeof bytes; ++i) {
    suffix[i] = kAlphabet[bytes[i] % (sizeof kAlphabet - 1)];
  }
  suffix[6] = '\0';
}

namespace {

enum class Placement { kFailed, kExchanged, kCreated, kReplaced };

bool IsDirectory(int dirFd, const char* name) {
  struct stat info {};
  return fstatat(dirFd, name, &info, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(info.st_mode);
}

// Puts the staged file at its final name. An existing file is exchanged
// with it, so that it can be put back; where the file system cannot
// exchange, it is simply replaced.
Placement PlaceFile(const StagedFile& file, bool replace) {
  if (!replace) {
    return renameat2(file.dirFd, file.tempName, file.dirFd, file.name, RENAME_NOREPLACE) == 0
               ? Placement::kCreated
               : Placement::kFailed;
  }
  for (int attempt = 0; attempt < 3; ++attempt) {
    if (IsDirectory(file.dirFd, file.name)) {
      errno = EISDIR;
      return Placement::kFailed;
    }
    if (renameat2(file.dirFd, file.tempName, file.dirFd, file.name, RENAME_EXCHANGE) == 0) {
      return Placement::kExchanged;
    }
    if (errno == ENOENT) {
      if (renameat2(file.dirFd, file.tempName, file.dirFd, file.name, RENAME_NOREPLACE) == 0) {
        return Placement::kCreated;
      }
      if (errno == EEXIST) continue;  // it appeared meanwhile: exchange after all
      return Placement::kFailed;
    }
    if (errno == EINVAL || errno == ENOSYS || errno == EXDEV) {
      return renameat(file.dirFd, file.tempName, file.dirFd, file.name) == 0
                 ? Placement::kReplaced
                 : Placement::kFailed;
    }
    return Placement::kFailed;
  }
  return Placement::kFailed;
}

// Puts back what stood at the final name before PlaceFile; a replaced file
// is gone and cannot be.
void UndoPlacementOf(const StagedFile& file, Placement placement) {
  if (placement == Placement::kExchanged) {
    renameat2(file.dirFd, file.tempName, file.dirFd, file.name, RENAME_EXCHANGE);
  } else if (placement == Placement::kCreated) {
    renameat(file.dirFd, file.name, file.dirFd, file.tempName);
  }
}

Placement gPlacements[kMaxPendingFiles];

}  // namespace

const int kWorkingFolder = AT_FDCWD;

long WriteSome(int fd, const void* data, std::size_t size) { return static_cast<long>(write(fd, data, size)); }

bool CloseFile(int fd) { return close(fd) == 0; }

bool PlaceStagedFile(const StagedFile& file, std::size_t slot, bool replace) {
  gPlacements[slot] = PlaceFile(file, replace);
  return gPlacements[slot] != Placement::kFailed;
}

void UndoPlacement(const StagedFile& file, std::size_t slot) { UndoPlacementOf(file, gPlacements[slot]); }

void KeepPlacements(std::size_t /*count*/) {}

void CloseFolder(int dirFd) {
  if (dirFd >= 0) close(dirFd);
}

int OpenParentDirectory(int atFd, const char* path, char (&name)[kFileNameSize]) {
  const std::size_t length = std::strlen(path);
  const char* slash = std::strrchr(path, '/');
  const char* base = slash != nullptr ? slash + 1 : path;
  const std::size_t baseLength = length - static_cast<std::size_t>(base - path);
  if (baseLength == 0 || baseLength > NAME_MAX || length >= PATH_MAX) {
    return -1;
  }
  std::memcpy(name, base, baseLength + 1);
  char directory[PATH_MAX] = ".";
  if (slash != nullptr) {
    // "/name" lives in "/", "a/b/name" in "a/b/".
    const std::size_t dirLength = static_cast<std::size_t>(base - path);
    std::memcpy(directory, path, dirLength);
    directory[dirLength] = '\0';
  }
  return openat(atFd, directory, O_PATH | O_DIRECTORY | O_CLOEXEC);
}

int CreateNewFile(int dirFd, const char* name, unsigned mode) {
  const int fd = openat(dirFd, name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  // Exactly mode, whatever the umask: the caller chose it.
  if (fd >= 0 && fchmod(fd, static_cast<mode_t>(mode)) != 0) {
    const int saved = errno;
    close(fd);
    unlinkat(dirFd, name, 0);
    errno = saved;
    return -1;
  }
  return fd;
}

void RemoveFile(int dirFd, const char* name) { unlinkat(dirFd, name, 0); }

}  // namespace sealtool
