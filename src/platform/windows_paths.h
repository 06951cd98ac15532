// Inside the Windows platform files only: paths are UTF-8 everywhere else
// and wide at the system's door, and folders are named by small integer
// handles, as open directories are on POSIX.
#pragma once

#include <string>

namespace sealtool {

// path in UTF-16 for the -W functions; a path too long for the classic
// limit is made absolute and gets the \\?\ prefix, which lifts it.
std::wstring SystemPath(const char* utf8);
std::wstring Widen(const char* utf8);
std::wstring LongPathForm(std::wstring wide);

// The folder a handle stands for ("." for kWorkingFolder), or null.
const std::wstring* FolderOfHandle(int handle);

// A handle for folder; -1 when no handle is left.
int HandleForFolder(const std::wstring& folder);
void ReleaseFolderHandle(int handle);

// name within the folder of handle, as a path for the -W functions.
std::wstring PathInFolder(int handle, const char* name);

}  // namespace sealtool
