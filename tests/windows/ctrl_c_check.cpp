// Stages a file as the programs do, then sends its own console a Ctrl+C or
// Ctrl+Break: the console handler must remove the staged file, and the
// process must end as Ctrl+C ends it. Usage: ctrl_c_check c|break
// (in the folder where the file is staged). Exit status 3 means the event
// never ended the process.
#include <windows.h>

#include <cstdio>
#include <cstring>

#include "platform/process_guard.h"
#include "platform/staged_file.h"

int main(int argc, char** argv) {
  if (argc != 2) return 2;
  const DWORD event = std::strcmp(argv[1], "break") == 0 ? CTRL_BREAK_EVENT : CTRL_C_EVENT;
  if (GetConsoleWindow() == nullptr && !AllocConsole()) {
    std::printf("no console: %lu\n", GetLastError());
  }
  SetConsoleCtrlHandler(nullptr, FALSE);  // Ctrl+C is not ignored
  if (!sealtool::GuardProcess()) return 2;
  std::FILE* staged = std::fopen(".staged-check", "wb");
  if (staged == nullptr) return 2;
  std::fputs("half written", staged);
  std::fclose(staged);
  if (sealtool::RegisterPendingFile(sealtool::kWorkingFolder, ".staged-check") < 0) return 2;
  if (!GenerateConsoleCtrlEvent(event, 0)) {
    std::printf("no event: %lu\n", GetLastError());
    return 2;
  }
  Sleep(10000);
  return 3;
}
