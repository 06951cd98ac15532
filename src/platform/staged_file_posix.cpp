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

static_assert(sealtool::kFileNameSize == NAME_MAX + 1, "a name within a folder");

namespace sealtool {
namespace {

constexpr char kTempPrefix[] = ".sealtool-";
constexpr int kTempNameAttempts = 100;

// Six random letters and digits for a temporary name.
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
void UndoPlacement(const StagedFile& file, Placement placement) {
  if (placement == Placement::kExchanged) {
    renameat2(file.dirFd, file.tempName, file.dirFd, file.name, RENAME_EXCHANGE);
  } else if (placement == Placement::kCreated) {
    renameat(file.dirFd, file.name, file.dirFd, file.tempName);
  }
}

}  // namespace

const int kWorkingFolder = AT_FDCWD;

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
  for (int attempt = 0; attempt < kTempNameAttempts; ++attempt) {
    char suffix[7];
    RandomSuffix(suffix);
    std::snprintf(file->tempName, sizeof file->tempName, "%s%s", kTempPrefix, suffix);
    file->fd = openat(dirFd, file->tempName,
                      O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
    if (file->fd >= 0 || errno != EEXIST) break;
  }
  if (file->fd < 0) return false;
  file->pendingSlot = RegisterPendingFile(dirFd, file->tempName);
  if (fchmod(file->fd, static_cast<mode_t>(mode)) != 0) {
    const int saved = errno;
    DiscardStagedFile(file);
    errno = saved;
    return false;
  }
  return true;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const ssize_t written = write(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CloseStagedFile(StagedFile* file) {
  if (file->fd < 0) return true;
  const bool closed = close(file->fd) == 0;
  file->fd = -1;
  return closed;
}

bool CommitStagedFiles(StagedFile* files, std::size_t count, bool replace) {
  HoldTerminationSignals();
  Placement placements[kMaxPendingFiles] = {};
  bool placedAll = count <= static_cast<std::size_t>(kMaxPendingFiles);
  std::size_t placed = 0;
  for (; placedAll && placed < count; ++placed) {
    placements[placed] = PlaceFile(files[placed], replace);
    placedAll = placements[placed] != Placement::kFailed;
  }
  const int failure = errno;
  if (!placedAll) {
    for (std::size_t i = placed; i-- > 0;) UndoPlacement(files[i], placements[i]);
  }
  // Each temporary name now holds an old file, a file put back, or nothing.
  for (std::size_t i = 0; i < count; ++i) DiscardStagedFile(&files[i]);
  ReleaseTerminationSignals();
  errno = failure;
  return placedAll;
}

void DiscardStagedFile(StagedFile* file) {
  CloseStagedFile(file);
  unlinkat(file->dirFd, file->tempName, 0);
  ForgetPendingFile(file->pendingSlot);
  file->pendingSlot = -1;
}

}  // namespace sealtool
