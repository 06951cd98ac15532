#include "platform/output_target.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace sealtool {
namespace {

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

}  // namespace

bool ResolveOutputTarget(const char* path, OutputTarget* target) {
  target->kind = OutputKind::kUnusable;
  target->dirFd = OpenParentDirectory(kWorkingFolder, path, target->name);
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

// Read once: the process never changes its umask, and reading it means
// setting it twice (a batch would do so for every image).
unsigned CreationMode() {
  static const mode_t mask = [] {
    const mode_t current = umask(0);
    umask(current);
    return current;
  }();
  return static_cast<unsigned>(0666 & ~mask);
}

bool OverwriteTarget(const OutputTarget& target, const std::uint8_t* bytes, std::size_t size, bool* opened) {
  const int fd = openat(target.dirFd, target.name, O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC);
  *opened = fd >= 0;
  if (fd < 0) return false;
  const bool written = WriteAll(fd, bytes, size);
  return close(fd) == 0 && written;
}

bool SameFile(const char* a, const char* b) {
  struct stat first {}, second {};
  if (stat(a, &first) == 0 && stat(b, &second) == 0) {
    return first.st_dev == second.st_dev && first.st_ino == second.st_ino;
  }
  return std::strcmp(a, b) == 0;
}

bool ReplacingWasRefused(int error) { return error == EPERM || error == EACCES; }

}  // namespace sealtool
