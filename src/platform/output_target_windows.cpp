#include "platform/output_target.h"

#include <windows.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/file_facts.h"
#include "platform/windows_paths.h"

namespace sealtool {

// Windows resolves links itself when a file is opened: the target is the
// path's folder and name as given.
bool ResolveOutputTarget(const char* path, OutputTarget* target) {
  target->kind = OutputKind::kUnusable;
  target->dirFd = OpenParentDirectory(kWorkingFolder, path, target->name);
  if (target->dirFd < 0) return false;
  const std::wstring wide = PathInFolder(target->dirFd, target->name);
  const DWORD attributes = GetFileAttributesW(wide.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND) target->kind = OutputKind::kNew;
    // Device names (NUL, CON) have no attributes but open for writing.
    HANDLE device = CreateFileW(wide.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                OPEN_EXISTING, 0, nullptr);
    if (device != INVALID_HANDLE_VALUE) {
      if (GetFileType(device) != FILE_TYPE_DISK) target->kind = OutputKind::kSpecialFile;
      CloseHandle(device);
    }
    return target->kind != OutputKind::kUnusable;
  }
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 || (attributes & FILE_ATTRIBUTE_READONLY) != 0) return false;
  target->kind = OutputKind::kRegularFile;
  return true;
}

bool OverwriteTarget(const OutputTarget& target, const std::uint8_t* bytes, std::size_t size, bool* opened) {
  std::FILE* stream = _wfopen(PathInFolder(target.dirFd, target.name).c_str(), L"wb");
  *opened = stream != nullptr;
  if (stream == nullptr) return false;
  const bool written = std::fwrite(bytes, 1, size, stream) == size;
  return std::fclose(stream) == 0 && written;
}

unsigned CreationMode() { return 0666; }

bool SameFile(const char* a, const char* b) {
  const FileId first = IdOfFile(a);
  const FileId second = IdOfFile(b);
  if (first.found && second.found) return SameFileId(first, second);
  return std::strcmp(a, b) == 0;
}

bool ReplacingWasRefused(int error) { return error == EPERM || error == EACCES; }

}  // namespace sealtool
