#include "platform/staged_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/process_guard.h"
#include "platform/staged_file_primitives.h"

namespace sealtool {
namespace {

constexpr char kTempPrefix[] = ".sealtool-";
constexpr int kTempNameAttempts = 100;

}  // namespace

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
    file->fd = CreateNewFile(dirFd, file->tempName, mode);
    if (file->fd >= 0 || errno != EEXIST) break;
  }
  if (file->fd < 0) return false;
  file->pendingSlot = RegisterPendingFile(dirFd, file->tempName);
  return true;
}

void DiscardStagedFile(StagedFile* file) {
  CloseStagedFile(file);
  RemoveFile(file->dirFd, file->tempName);
  ForgetPendingFile(file->pendingSlot);
  file->pendingSlot = -1;
}

bool WriteAll(int fd, const void* data, std::size_t size) {
  const auto* bytes = static_cast<const unsigned char*>(data);
  while (size > 0) {
    const long written = WriteSome(fd, bytes, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    bytes += written;
    size -= static_cast<std::size_t>(written);
  }
  return true;
}

bool CloseStagedFile(StagedFile* file) {
  if (file->fd < 0) return true;
  const bool closed = CloseFile(file->fd);
  file->fd = -1;
  return closed;
}

bool CommitStagedFiles(StagedFile* files, std::size_t count, bool replace) {
  HoldTerminationSignals();
  bool placedAll = count <= static_cast<std::size_t>(kMaxPendingFiles);
  std::size_t placed = 0;
  for (; placedAll && placed < count; ++placed) placedAll = PlaceStagedFile(files[placed], placed, replace);
  const int failure = errno;
  if (placedAll) {
    KeepPlacements(count);
  } else {
    for (std::size_t i = placed; i-- > 0;) UndoPlacement(files[i], i);
  }
  // Each temporary name now holds an old file, a file put back, or nothing.
  for (std::size_t i = 0; i < count; ++i) DiscardStagedFile(&files[i]);
  ReleaseTerminationSignals();
  errno = failure;
  return placedAll;
}

bool WriteFileSet(int dirFd, const FileToWrite* files, std::size_t count, std::size_t* failed, bool replace) {
  *failed = 0;
  if (count == 0 || count > kMaxFileSet) {
    errno = EINVAL;
    return false;
  }
  StagedFile staged[kMaxFileSet] = {};
  std::size_t stagedCount = 0;
  bool written = true;
  for (std::size_t i = 0; written && i < count; ++i) {
    *failed = i;
    if (!StageFile(&staged[i], dirFd, files[i].name, files[i].mode)) {
      written = false;
      break;
    }
    stagedCount = i + 1;
    written = WriteAll(staged[i].fd, files[i].bytes, files[i].size) && CloseStagedFile(&staged[i]);
  }
  if (written) {
    *failed = count;
    return CommitStagedFiles(staged, count, replace);
  }
  const int failure = errno;
  for (std::size_t i = 0; i < stagedCount; ++i) DiscardStagedFile(&staged[i]);
  errno = failure;
  return false;
}

}  // namespace sealtool
