#include "platform/process_guard.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "platform/windows_paths.h"

namespace sealtool {
namespace {

// The staged files that Ctrl+C, Ctrl+Break or closing the console must
// remove. The console's handler runs on a thread of its own: it takes the
// same lock as the code that fills and empties the table, and as a commit
// that moves a group of files into place, so that it sees them all before
// or all after.
std::wstring gPending[kMaxPendingFiles];
std::recursive_mutex gPendingLock;

BOOL WINAPI RemovePendingFiles(DWORD /*event*/) {
  const std::lock_guard<std::recursive_mutex> hold(gPendingLock);
  for (std::wstring& path : gPending) {
    if (!path.empty()) DeleteFileW(path.c_str());
    path.clear();
  }
  return FALSE;  // the default handler then ends the process
}

void ForbidCoreDumps() {
  // No error dialog and no Windows Error Reporting dump of a crashed run,
  // which could carry a key away.
  SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

}  // namespace

const char* ProgramName() {
  static char name[MAX_PATH] = "";
  if (name[0] == '\0') {
    char path[MAX_PATH] = "";
    GetModuleFileNameA(nullptr, path, sizeof path);
    const char* base = std::strrchr(path, '\\');
    std::snprintf(name, sizeof name, "%s", base != nullptr ? base + 1 : path);
    char* extension = std::strrchr(name, '.');
    if (extension != nullptr) *extension = '\0';
  }
  return name;
}

bool GuardProcess() {
  ForbidCoreDumps();
  // Every message keeps its own line ends, "\r\n" or "\n", as on POSIX.
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
  SetConsoleCtrlHandler(RemovePendingFiles, TRUE);
  return true;
}

int RegisterPendingFile(int dirFd, const char* name) {
  const std::wstring path = PathInFolder(dirFd, name);
  const std::lock_guard<std::recursive_mutex> hold(gPendingLock);
  for (int i = 0; i < kMaxPendingFiles; ++i) {
    if (!gPending[i].empty()) continue;
    gPending[i] = path;
    return i;
  }
  return -1;
}

void ForgetPendingFile(int slot) {
  const std::lock_guard<std::recursive_mutex> hold(gPendingLock);
  if (slot >= 0 && slot < kMaxPendingFiles) gPending[slot].clear();
}

void HoldTerminationSignals() { gPendingLock.lock(); }

void ReleaseTerminationSignals() { gPendingLock.unlock(); }

// A program run for an answer is in a job that ends with this process
// (run_program_windows.cpp), however the process ends.
void WatchChildGroup(int /*group*/) {}
void ForgetChildGroup() {}

}  // namespace sealtool
