#include "platform/file_facts.h"

#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <cerrno>
#include "platform/windows_paths.h"

namespace sealtool {
namespace {

// The file itself, or with followLinks what a link leads to, opened for its
// attributes only.
HANDLE OpenForFacts(const std::wstring& path, bool followLinks) {
  const DWORD flags = FILE_FLAG_BACKUP_SEMANTICS | (followLinks ? 0 : FILE_FLAG_OPEN_REPARSE_POINT);
  return CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                     OPEN_EXISTING, flags, nullptr);
}

}  // namespace

FileKind KindOfFile(const char* path, bool followLinks) {
  const std::wstring wide = SystemPath(path);
  HANDLE file = OpenForFacts(wide, followLinks);
  if (file == INVALID_HANDLE_VALUE) return FileKind::kMissing;
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  const DWORD type = GetFileType(file);
  CloseHandle(file);
  if (!known) return type == FILE_TYPE_CHAR ? FileKind::kDevice : type == FILE_TYPE_PIPE ? FileKind::kFifo
                                                                                          : FileKind::kOther;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 && !followLinks) return FileKind::kLink;
  if ((info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return FileKind::kFolder;
  return FileKind::kRegular;
}

bool FileRunnable(const char* path) { return KindOfFile(path, true) == FileKind::kRegular; }

bool FileReadable(const char* path) {
  HANDLE file = CreateFileW(SystemPath(path).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  CloseHandle(file);
  return true;
}

bool FileExists(const char* path) { return GetFileAttributesW(SystemPath(path).c_str()) != INVALID_FILE_ATTRIBUTES; }

FileId IdOfFile(const char* path) {
  HANDLE file = OpenForFacts(SystemPath(path), true);
  if (file == INVALID_HANDLE_VALUE) return {false, 0, 0, false};
  BY_HANDLE_FILE_INFORMATION info{};
  const bool known = GetFileInformationByHandle(file, &info) != 0;
  CloseHandle(file);
  if (!known) return {false, 0, 0, false};
  const std::uint64_t index = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return {true, info.dwVolumeSerialNumber, index, (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0};
}

bool SameFileId(const FileId& a, const FileId& b) {
  return a.found && b.found && a.device == b.device && a.inode == b.inode;
}

bool StreamIsFolder(std::FILE* stream) {
  struct _stat64 info {};
  return _fstat64(_fileno(stream), &info) == 0 && (info.st_mode & _S_IFDIR) != 0;
}

bool FolderCanBeListed(const char* path) {
  std::wstring pattern = SystemPath(path);
  if (!pattern.empty() && pattern.back() != L'\\' && pattern.back() != L'/') pattern += L"\\";
  pattern += L"*";
  WIN32_FIND_DATAW entry{};
  HANDLE found = FindFirstFileW(pattern.c_str(), &entry);
  if (found == INVALID_HANDLE_VALUE) {
    errno = GetLastError() == ERROR_ACCESS_DENIED ? EACCES : ENOENT;
    return false;
  }
  FindClose(found);
  return true;
}

bool MakeFolder(const char* path) {
  return CreateDirectoryW(SystemPath(path).c_str(), nullptr) != 0 || GetLastError() == ERROR_ALREADY_EXISTS;
}

int OpenFolder(const char* path) {
  if (KindOfFile(path, true) != FileKind::kFolder) return -1;
  return HandleForFolder(SystemPath(path));
}

bool EnterFolder(const char* path) { return SetCurrentDirectoryW(SystemPath(path).c_str()) != 0; }

bool SaveWorkingFolder(int* saved) {
  const DWORD size = GetCurrentDirectoryW(0, nullptr);
  std::wstring here(size, L'\0');
  here.resize(GetCurrentDirectoryW(size, here.data()));
  *saved = here.empty() ? -1 : HandleForFolder(here);
  return *saved >= 0;
}

bool ReturnToFolder(int saved) {
  const std::wstring* folder = FolderOfHandle(saved);
  const bool returned = folder != nullptr && SetCurrentDirectoryW(folder->c_str()) != 0;
  ReleaseFolderHandle(saved);
  return returned;
}

}  // namespace sealtool
