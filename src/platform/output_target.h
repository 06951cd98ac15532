// What an output path finally names, as opening it for writing would find
// it: the folder it lives in and its name there, symbolic links followed
// (a dangling link names the file it points to, to be created).
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/staged_file.h"

namespace sealtool {

enum class OutputKind { kNew, kRegularFile, kSpecialFile, kUnusable };

struct OutputTarget {
  int dirFd;  // a folder handle (staged_file.h), -1 when none was opened
  char name[kFileNameSize];
  OutputKind kind;
};

// False when the path names nothing that could be written: a folder, a file
// that may not be written, a link that may not be followed (the system's
// rule for links in shared sticky folders), or a path that cannot be
// resolved. The caller closes target->dirFd either way.
bool ResolveOutputTarget(const char* path, OutputTarget* target);

// Writes over the target itself, as "wb" would. *opened tells whether the
// file could be opened at all; false when any of it failed.
bool OverwriteTarget(const OutputTarget& target, const std::uint8_t* bytes, std::size_t size, bool* opened);

// The permission bits a new file gets: 0666 less the process's umask.
unsigned CreationMode();

// Whether two paths name one file; paths that cannot both be looked up are
// compared as text.
bool SameFile(const char* a, const char* b);

// A failed move into place that the folder's rules caused (a sticky folder
// lets us create files but not replace another user's): the caller may
// write over the file instead.
bool ReplacingWasRefused(int error);

}  // namespace sealtool
