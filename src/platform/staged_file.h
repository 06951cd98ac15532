// Files written under a temporary name beside their final one and moved
// into place only once complete, so that a failed or interrupted run never
// leaves half a file at the final name, and a group of files appears
// together or not at all.
#pragma once

#include <cstddef>

namespace sealtool {

inline constexpr std::size_t kTempNameSize = 24;

// Room for one name within a folder, its terminating NUL included.
inline constexpr std::size_t kFileNameSize = 256;

// Folders are named by small integer handles: an open directory on POSIX.
// kWorkingFolder stands for the working directory.
extern const int kWorkingFolder;

// Closes a folder handle that OpenParentDirectory gave; -1 is ignored.
void CloseFolder(int dirFd);

struct StagedFile {
  int dirFd;                  // the directory of both names; not owned
  char name[kFileNameSize];   // the final name within it
  char tempName[kTempNameSize];
  int fd;                     // the temporary file while it is open, else -1
  int pendingSlot;            // its slot among the files a signal removes
};

// The last component of path goes to name, and its directory is opened
// relative to atFd (an absolute path ignores atFd; AT_FDCWD for the working
// directory). Returns the directory's descriptor (O_PATH), or -1 when path
// names no file that could be created, such as "" or "dir/".
int OpenParentDirectory(int atFd, const char* path, char (&name)[kFileNameSize]);

// Creates ".sealtool-XXXXXX" (O_EXCL, never through a link) in dirFd with
// exactly the permissions mode and opens it for writing. False, with errno
// set, when no such file can be made there.
bool StageFile(StagedFile* file, int dirFd, const char* name, unsigned mode);

// Writes all of size bytes to fd, through short writes and interruptions.
bool WriteAll(int fd, const void* data, std::size_t size);

// Closes the temporary file; false when the close reports an error.
bool CloseStagedFile(StagedFile* file);

// Moves each closed staged file over its final name, replacing what stands
// there (a symbolic link is replaced, never followed). All or none: when one
// move fails, the ones before it are put back where the file system allows
// it (atomic exchange). Removes what is left of the temporary files. The
// termination signals wait until it is done. With replace false, a name that
// is taken fails the commit (EEXIST) instead of being replaced.
bool CommitStagedFiles(StagedFile* files, std::size_t count, bool replace = true);

// Removes the temporary file of a file that is not to be committed.
void DiscardStagedFile(StagedFile* file);

// One file of a group written together.
struct FileToWrite {
  const char* name;
  unsigned mode;  // permission bits
  const void* bytes;
  std::size_t size;
};

// The most files WriteFileSet takes: a key pair and its companions.
inline constexpr std::size_t kMaxFileSet = 4;

// Writes each file to a temporary file in dirFd, then moves them all into
// place together (CommitStagedFiles): either every name holds its new file,
// or none changed. Prints nothing. On failure *failed is the index of the
// file that failed (count when the final move did) and errno tells why.
bool WriteFileSet(int dirFd, const FileToWrite* files, std::size_t count, std::size_t* failed,
                  bool replace = true);

}  // namespace sealtool
