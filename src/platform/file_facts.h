// What stands at a path, and the few folder operations the programs need,
// asked of the operating system in one place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace sealtool {

// Room for the longest path the programs take, its NUL included: Linux's
// PATH_MAX, and on Windows far past the classic 260.
inline constexpr std::size_t kMaxPathSize = 4096;

enum class FileKind { kMissing, kRegular, kFolder, kLink, kFifo, kDevice, kSocket, kOther };

// What stands at path: with followLinks what a link leads to, else the link
// itself. kMissing when it cannot be looked up (errno tells why).
FileKind KindOfFile(const char* path, bool followLinks);

// Whether this process may read the file at path; whether anything (a link
// followed) stands there.
bool FileReadable(const char* path);
bool FileExists(const char* path);
// Whether this process may run the file at path as a program.
bool FileRunnable(const char* path);

// The identity of the file a path names (links followed): two paths with
// the same identity name one file.
struct FileId {
  bool found;
  std::uint64_t device;
  std::uint64_t inode;
  bool regular;  // a regular file (links followed)
};
FileId IdOfFile(const char* path);
bool SameFileId(const FileId& a, const FileId& b);

// Whether an open stream is a folder (fopen opens one for reading).
bool StreamIsFolder(std::FILE* stream);

// Whether the folder can be opened and its entries read; errno says why
// not.
bool FolderCanBeListed(const char* path);

// Creates the folder; true when it was made or already stands there.
bool MakeFolder(const char* path);

// A folder handle (staged_file.h) for path; -1 when it cannot be opened.
int OpenFolder(const char* path);

// Changes the working folder; and the way back to the one a run started in.
bool EnterFolder(const char* path);
bool SaveWorkingFolder(int* saved);
bool ReturnToFolder(int saved);  // and closes saved

}  // namespace sealtool
