#include "platform/staged_file.h"

#include <cerrno>

namespace sealtool {

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
