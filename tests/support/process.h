// Runs a program in a working directory of the test's choosing and collects
// what it printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace sealtool::test {

struct ProcessResult {
  int exitStatus = -1;  // the shell's view: main's -1 is 255, a signal 128 + its number
  std::string out;
  std::string err;
  bool timedOut = false;
};

struct ProcessOptions {
  std::string workDir;
  std::string stdinPath;         // empty: /dev/null
  long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes, -1 for none
  std::vector<int> closedFds;    // standard descriptors closed before exec
  std::vector<int> ignoredSignals;  // set to SIG_IGN before exec, as nohup does
  bool stdoutWithoutReader = false;  // standard output: a pipe whose reader is gone
  bool asNobody = false;         // run as user and group 65534 (the caller must be root)
  std::vector<std::string> environment;  // NAME=VALUE added to the environment
  int timeoutSeconds = 120;      // then the program is killed and timedOut set
};

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options);

// RunProgram for the project's own programs: when SEALTOOL_TEST_WRAPPER is
// set (for example to "valgrind -q --error-exitcode=99"), the program runs
// under that command.
ProcessResult RunOwnProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProcessOptions& options);

// True when the tests run as root and can therefore run programs as another
// user; a test that needs one skips with this reason otherwise.
bool CanRunAsAnotherUser();
inline constexpr char kNeedsRoot[] =
    "needs root, to run the program as another user (uid 65534)";

// A copy of program in folder/bin that user 65534 can run, whichever folder
// the build tree lies in. Empty, with why set, when that user cannot reach
// folder (a folder on its path is closed to other users) or run the copy.
std::string CopyForAnotherUser(const std::string& program, const std::string& folder,
                               std::string* why);

}  // namespace sealtool::test
