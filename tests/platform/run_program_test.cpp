// Programs run for an answer: what they are given, what comes back, and
// that nothing of them outlives the run. The programs are small shell
// scripts written here.
#include "platform/run_program.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "files.h"

namespace sealtool {
namespace {

class RunProgramTest : public ::testing::Test {
 protected:
  // A script in the test's folder; its path.
  std::string Script(const std::string& name, const std::string& body) {
    const std::string path = dir_.File(name);
    test::WriteText(path, "#!/bin/sh\n" + body);
    chmod(path.c_str(), 0700);
    return path;
  }

  ProgramResult Run(const std::string& program, const std::string& input, unsigned timeout = 10,
                    const char* const* environment = kNoEnvironment) {
    const char* arguments[] = {program.c_str(), "operation", nullptr};
    const ProgramRun run{arguments, environment, reinterpret_cast<const std::uint8_t*>(input.data()),
                         input.size(), output_, sizeof output_, 16, timeout};
    return RunProgram(run);
  }

  std::string Output(const ProgramResult& result) const {
    return std::string(reinterpret_cast<const char*>(output_), std::min(result.outputSize, sizeof output_));
  }

  static constexpr const char* kNoEnvironment[] = {nullptr};
  test::TempDir dir_;
  std::uint8_t output_[64] = {};
};

TEST_F(RunProgramTest, TheInputGoesInAndTheAnswerComesBack) {
  const ProgramResult result = Run(Script("echo", "echo \"$1\"; tr a-z A-Z\n"), "block");
  EXPECT_EQ(result.end, ProgramEnd::kExited);
  EXPECT_EQ(result.status, 0);
  EXPECT_EQ(Output(result), "operation\nBLOCK");
  EXPECT_EQ(result.inputLeft, 0U);
}

TEST_F(RunProgramTest, AnInputLargerThanAPipeHoldsIsWrittenWhileTheAnswerIsRead) {
  const std::string input(300000, 'x');
  const ProgramResult result = Run(Script("count", "wc -c\n"), input);
  EXPECT_EQ(result.end, ProgramEnd::kExited);
  EXPECT_EQ(std::stoul(Output(result)), input.size());
}

TEST_F(RunProgramTest, ExitStatusSignalAndTimeLimitAreToldApart) {
  EXPECT_EQ(Run(Script("three", "echo no >&2; exit 3\n"), "").status, 3);
  const ProgramResult killed = Run(Script("killed", "kill -9 $$\n"), "");
  EXPECT_EQ(killed.end, ProgramEnd::kSignalled);
  EXPECT_EQ(killed.status, SIGKILL);
  const ProgramResult slow = Run(Script("slow", "exec sleep 30\n"), "", 1);
  EXPECT_EQ(slow.end, ProgramEnd::kTimedOut);
}

TEST_F(RunProgramTest, AProgramThatCannotRunSaysWhy) {
  const ProgramResult missing = Run(dir_.File("missing"), "");
  EXPECT_EQ(missing.end, ProgramEnd::kNotStarted);
  EXPECT_EQ(missing.error, ENOENT);
  test::WriteText(dir_.File("plain"), "not a program");
  const ProgramResult notRunnable = Run(dir_.File("plain"), "");
  EXPECT_EQ(notRunnable.end, ProgramEnd::kNotStarted);
  EXPECT_EQ(notRunnable.error, EACCES);
}

TEST_F(RunProgramTest, MoreOutputThanRoomIsCountedNotKept) {
  const ProgramResult result = Run(Script("much", "head -c 100 /dev/zero\n"), "");
  EXPECT_EQ(result.outputSize, 100U);
}

TEST_F(RunProgramTest, InputTheProgramDidNotReadIsCounted) {
  const ProgramResult result = Run(Script("deaf", "echo answer\n"), "sixteen bytes...");
  EXPECT_EQ(result.end, ProgramEnd::kExited);
  EXPECT_EQ(result.inputLeft, 16U);
}

TEST_F(RunProgramTest, StandardErrorBeyondItsLimitIsLeftOut) {
  const ProgramResult result = Run(Script("chatty", "head -c 100 /dev/zero | tr '\\0' x >&2\n"), "");
  EXPECT_EQ(result.errorLeftOut, 100U - 16U);
}

TEST_F(RunProgramTest, ItGetsItsThreeStandardDescriptorsAndTheAddedVariables) {
  // A descriptor of this process without close-on-exec, which must not pass.
  const int open = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(open, 3);
  setenv("SEALTOOL_TEST_SECRET", "x", 1);
  const char* environment[] = {"SEALTOOL_KEY_ROLE=rsa_key", "SEALTOOL_TEST_SECRET", nullptr};
  const ProgramResult result = Run(
      Script("facts", "echo \"$SEALTOOL_KEY_ROLE${SEALTOOL_TEST_SECRET+ and the secret}\"; exec ls /proc/self/fd\n"),
      "", 10, environment);
  unsetenv("SEALTOOL_TEST_SECRET");
  close(open);
  // ls's own descriptor of the folder it lists shows as a fourth.
  EXPECT_EQ(Output(result), "rsa_key\n0\n1\n2\n3\n");
}

// Running, not a zombie that no one reaped yet.
bool Running(int pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string pidText, name, state;
  return static_cast<bool>(stat >> pidText >> name >> state) && state != "Z";
}

// A killed process is gone once the kernel has delivered the signal: waits
// for that, up to a bound far above it.
bool EndsSoon(int pid) {
  for (int i = 0; i < 500 && Running(pid); ++i) usleep(10000);
  return !Running(pid);
}

TEST_F(RunProgramTest, NothingItStartedOutlivesIt) {
  const std::string pidFile = dir_.File("pid");
  const ProgramResult result = Run(Script("forks", "sleep 300 & echo $! > " + pidFile + "\nexit 0\n"), "", 2);
  std::ifstream stream(pidFile);
  int pid = 0;
  stream >> pid;
  ASSERT_GT(pid, 0);
  // The sleeper kept the pipes open, so the run waited for its limit; then
  // the whole group was ended.
  EXPECT_EQ(result.end, ProgramEnd::kTimedOut);
  EXPECT_TRUE(EndsSoon(pid));
}

}  // namespace
}  // namespace sealtool
