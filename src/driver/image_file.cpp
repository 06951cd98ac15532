#include "driver/image_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "driver/staged_file.h"
#include "image/image_read.h"
#include "image/layout.h"

namespace sealtool {
namespace {

constexpr int kTooLongRepeats = 10;

void PrintCannotOpen(const char* path) { Say("Can't open '%s' !\n", path); }

void PrintTooLong(const char* path) {
  for (int i = 0; i < kTooLongRepeats; ++i) {
    Say("Serial error !! '%s' exceed 16K bytes...\n", path);
  }
}

constexpr int kMaxLinkHops = 40;

// The kernel's rule for links in shared sticky folders such as /tmp: a link
// there is followed only when it belongs to us or to the folder's owner.
// Reading links ourselves must not bypass it.
bool MayFollowLink(int dirFd, const struct stat& link) {
  struct stat folder {};
  if (fstat(dirFd, &folder) != 0) return false;
  const bool shared = (folder.st_mode & S_ISVTX) != 0 && (folder.st_mode & S_IWOTH) != 0;
  return !shared || link.st_uid == geteuid() || link.st_uid == folder.st_uid;
}

enum class OutputKind { kNew, kRegularFile, kSpecialFile, kUnusable };

// What the output path finally names: the directory it lives in and its
// name there, with symbolic links followed as opening the path would follow
// them (a dangling link names the file it points to, to be created). Works
// relative to directories, so no path longer than the given one is ever
// formed.
struct OutputTarget {
  int dirFd;
  char name[NAME_MAX + 1];
  OutputKind kind;
};

OutputKind ClassifyFile(int dirFd, const char* name, const struct stat& info) {
  if (S_ISDIR(info.st_mode)) return OutputKind::kUnusable;
  if (!S_ISREG(info.st_mode)) return OutputKind::kSpecialFile;  // a device or a pipe
  // Replacing a file we could not open for writing would be more than "wb".
  return faccessat(dirFd, name, W_OK, AT_EACCESS) == 0 ? OutputKind::kRegularFile
                                                       : OutputKind::kUnusable;
}

bool FollowLink(OutputTarget* target, const struct stat& link) {
  char text[PATH_MAX];
  if (!MayFollowLink(target->dirFd, link)) return false;
  const ssize_t length = readlinkat(target->dirFd, target->name, text, sizeof text);
  if (length <= 0 || static_cast<std::size_t>(length) >= sizeof text) return false;
  text[length] = '\0';
  const int next = OpenParentDirectory(target->dirFd, text, target->name);
  close(target->dirFd);
  target->dirFd = next;
  return next >= 0;
}

bool ResolveOutputTarget(const char* path, OutputTarget* target) {
  target->kind = OutputKind::kUnusable;
  target->dirFd = OpenParentDirectory(AT_FDCWD, path, target->name);
  for (int hop = 0; target->dirFd >= 0 && hop < kMaxLinkHops; ++hop) {
    struct stat info {};
    if (fstatat(target->dirFd, target->name, &info, AT_SYMLINK_NOFOLLOW) != 0) {
      if (errno == ENOENT) target->kind = OutputKind::kNew;
      return target->kind != OutputKind::kUnusable;
    }
    if (!S_ISLNK(info.st_mode)) {
      target->kind = ClassifyFile(target->dirFd, target->name, info);
      return target->kind != OutputKind::kUnusable;
    }
    if (!FollowLink(target, info)) break;
  }
  return false;
}

mode_t CreationMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// The writer's closing line: the error, or the size written. Returns the
// writer's result.
bool ReportWrite(bool written, std::uint32_t size) {
  if (!written) {
    Say("file writing error !\n");
    return false;
  }
  Say("write size = %d\n", static_cast<int>(size));
  return true;
}

// Writes over the file itself, as "wb" would: for devices and pipes, and for
// a file beside which no temporary file can be made or put in its place. A
// failure part way leaves the file cut short.
bool WriteInPlace(const OutputTarget& target, const char* path, const std::uint8_t* buffer,
                  std::uint32_t size, bool announced) {
  const int fd = openat(target.dirFd, target.name, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0 && !announced) {
    PrintCannotOpen(path);
    return false;
  }
  if (!announced) Say("Writing '%s'...\n", path);
  const bool written = fd >= 0 && WriteAll(fd, buffer, size);
  const bool closed = fd < 0 || close(fd) == 0;
  return ReportWrite(written && closed, size);
}

// A new or regular output: written to a temporary file beside it, which
// replaces the output only once every byte is on disk. No fsync: the rename
// already keeps a half-written image from ever standing at the output path,
// and a sync (0.2 to 0.5 ms here) would be a third or more of a whole run.
bool WriteByReplacing(const OutputTarget& target, const char* path, const std::uint8_t* buffer,
                      std::uint32_t size) {
  StagedFile staged{};
  if (!StageFile(&staged, target.dirFd, target.name, CreationMode())) {
    if (target.kind == OutputKind::kRegularFile) {
      return WriteInPlace(target, path, buffer, size, false);
    }
    PrintCannotOpen(path);
    return false;
  }
  Say("Writing '%s'...\n", path);
  const bool complete = WriteAll(staged.fd, buffer, size) && CloseStagedFile(&staged);
  if (!complete) {
    DiscardStagedFile(&staged);
    return ReportWrite(false, size);
  }
  if (CommitStagedFiles(&staged, 1)) {
    return ReportWrite(true, size);
  }
  // A sticky folder lets us create files but not replace another user's.
  const bool notOurs = errno == EPERM || errno == EACCES;
  if (notOurs && target.kind == OutputKind::kRegularFile) {
    return WriteInPlace(target, path, buffer, size, true);
  }
  return ReportWrite(false, size);
}

}  // namespace

bool ReadImageFile(const char* path, std::uint8_t* buffer, std::uint32_t* sizeOut) {
  std::size_t size = 0;
  const ImageRead outcome = ReadAtMostOneImage(path, buffer, &size);
  if (outcome == ImageRead::kNotOpened) {
    PrintCannotOpen(path);
    return false;
  }
  Say("Reading '%s'...\n", path);
  if (outcome == ImageRead::kTooLong) {
    PrintTooLong(path);
    return false;
  }
  if (outcome == ImageRead::kReadError) {
    Say("file reading error !\n");
    return false;
  }
  *sizeOut = static_cast<std::uint32_t>(size);
  Say("file size = %d\n", static_cast<int>(*sizeOut));
  return true;
}

bool StageImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size,
                    StagedFile* staged) {
  OutputTarget target{};
  staged->dirFd = -1;
  staged->fd = -1;
  const bool resolved = ResolveOutputTarget(path, &target);
  staged->dirFd = target.dirFd;
  if (!resolved || target.kind == OutputKind::kSpecialFile) {
    if (errno == 0) errno = EINVAL;
    return false;
  }
  if (!StageFile(staged, target.dirFd, target.name, CreationMode())) return false;
  const bool complete = WriteAll(staged->fd, buffer, size) && CloseStagedFile(staged);
  if (!complete) {
    const int error = errno;
    DiscardStagedFile(staged);
    errno = error;
  }
  return complete;
}

bool WriteImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size) {
  OutputTarget target{};
  bool result = false;
  if (!ResolveOutputTarget(path, &target)) {
    PrintCannotOpen(path);
  } else if (target.kind == OutputKind::kSpecialFile) {
    result = WriteInPlace(target, path, buffer, size, false);
  } else {
    result = WriteByReplacing(target, path, buffer, size);
  }
  if (target.dirFd >= 0) close(target.dirFd);
  return result;
}

bool SameFile(const char* a, const char* b) {
  struct stat first {}, second {};
  if (stat(a, &first) == 0 && stat(b, &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  return std::strcmp(a, b) == 0;
}

}  // namespace sealtool
