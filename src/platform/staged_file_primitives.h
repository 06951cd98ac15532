// Inside the platform folder only: what each system does for the staged
// files of staged_file.h, which the shared code (staged_file.cpp) puts
// together into writes and all-or-none commits.
#pragma once

#include <cstddef>

#include "platform/staged_file.h"

namespace sealtool {

// Six random letters and digits for a temporary name.
void RandomSuffix(char (&suffix)[7]);

// Creates the file name in the folder for writing, only if nothing stands
// there (never through a link), with permissions mode where the system has
// them: its descriptor, or -1 with errno set (EEXIST when the name is taken).
int CreateNewFile(int dirFd, const char* name, unsigned mode);

// Removes the file name in the folder, quietly.
void RemoveFile(int dirFd, const char* name);

// Writes some of size bytes to fd: the count written, or a negative value
// (errno set; EINTR to try again).
long WriteSome(int fd, const void* data, std::size_t size);

// Closes an open file; false when the close reports an error.
bool CloseFile(int fd);

// Puts the closed staged file at its final name, remembering in slot what
// it takes to put back what stood there. False, errno set, when it could
// not be placed (nothing changed for this file).
bool PlaceStagedFile(const StagedFile& file, std::size_t slot, bool replace);

// Puts back what stood at the final name before slot's placement; nothing
// for a placement that failed.
void UndoPlacement(const StagedFile& file, std::size_t slot);

// Every file of a commit is in place: drops what was kept to put back.
void KeepPlacements(std::size_t count);

}  // namespace sealtool
