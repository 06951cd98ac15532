#include "platform/file_facts.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace sealtool {

FileKind KindOfFile(const char* path, bool followLinks) {
  struct stat info {};
  if ((followLinks ? stat(path, &info) : lstat(path, &info)) != 0) return FileKind::kMissing;
  const mode_t mode = info.st_mode;
  if (S_ISREG(mode)) return FileKind::kRegular;
  if (S_ISDIR(mode)) return FileKind::kFolder;
  if (S_ISLNK(mode)) return FileKind::kLink;
  if (S_ISFIFO(mode)) return FileKind::kFifo;
  if (S_ISCHR(mode) || S_ISBLK(mode)) return FileKind::kDevice;
  if (S_ISSOCK(mode)) return FileKind::kSocket;
  return FileKind::kOther;
}

bool FileReadable(const char* path) { return access(path, R_OK) == 0; }

bool FileExists(const char* path) { return access(path, F_OK) == 0; }

bool FileRunnable(const char* path) {
  return KindOfFile(path, true) == FileKind::kRegular && access(path, X_OK) == 0;
}

FileId IdOfFile(const char* path) {
  struct stat info {};
  if (stat(path, &info) != 0) return {false, 0, 0, false};
  return {true, static_cast<std::uint64_t>(info.st_dev), static_cast<std::uint64_t>(info.st_ino),
          S_ISREG(info.st_mode)};
}

bool SameFileId(const FileId& a, const FileId& b) {
  return a.found && b.found && a.device == b.device && a.inode == b.inode;
}

bool StreamIsFolder(std::FILE* stream) {
  struct stat info {};
  return fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode);
}

bool FolderCanBeListed(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return false;
  closedir(dir);
  return true;
}

bool MakeFolder(const char* path) { return mkdir(path, 0777) == 0 || errno == EEXIST; }

int OpenFolder(const char* path) { return open(path, O_PATH | O_DIRECTORY | O_CLOEXEC); }

bool EnterFolder(const char* path) { return chdir(path) == 0; }

bool SaveWorkingFolder(int* saved) {
  *saved = open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  return *saved >= 0;
}

bool ReturnToFolder(int saved) {
  const bool returned = fchdir(saved) == 0;
  close(saved);
  return returned;
}

}  // namespace sealtool
