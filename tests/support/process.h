// Runs a program in a working directory of the test's choosing and collects
// what it printed and how it ended.
#pragma once

#include <string>
#include <vector>

namespace sealtool::test {

struct ProcessResult {
  int exitStatus = -1;  // the shell's view: main's -1 is 255
  std::string out;
  std::string err;
};

struct ProcessOptions {
  std::string workDir;
  std::string stdinPath;         // empty: /dev/null
  long fileSizeLimit = -1;       // RLIMIT_FSIZE in bytes, -1 for none
};

ProcessResult RunProgram(const std::string& program, const std::vector<std::string>& args,
                         const ProcessOptions& options);

// RunProgram for the project's own programs: when SEALTOOL_TEST_WRAPPER is
// set (for example to "valgrind -q --error-exitcode=99"), the program runs
// under that command.
ProcessResult RunOwnProgram(const std::string& program, const std::vector<std::string>& args,
                            const ProcessOptions& options);

}  // namespace sealtool::test
