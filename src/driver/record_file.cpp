#include "driver/record_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/staged_file.h"

namespace sealtool {

bool WriteRecordFile(const std::string& path, const std::string& text) {
  char name[NAME_MAX + 1];
  const int dirFd = OpenParentDirectory(AT_FDCWD, path.c_str(), name);
  const mode_t mask = umask(0);
  umask(mask);
  const FileToWrite file{name, static_cast<mode_t>(0666 & ~mask), text.data(), text.size()};
  std::size_t failed = 0;
  const bool written = dirFd >= 0 && WriteFileSet(dirFd, &file, 1, &failed);
  const int error = errno;
  if (dirFd >= 0) close(dirFd);
  if (!written) {
    std::printf("the record %s cannot be written: %s\n", path.c_str(), std::strerror(error));
  }
  return written;
}

}  // namespace sealtool
