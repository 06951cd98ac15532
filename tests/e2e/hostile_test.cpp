// The tool run the way an unlucky build farm or an attacker would run it:
// closed standard streams, signals at the worst moment, endless key files,
// long and unusual output paths, another user's files.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <filesystem>

#include "e2e_support.h"
#include "image/byte_order.h"
#include "secure_expectation.h"

namespace sealtool::test {
namespace {

const char kBadKey[] = "AES-Key:\r\n failed\n  ! Please check aes.txt\n Key must AES-128bits\n\n";

// A group A image whose DRAM table holds count efuse entries, each of which
// prints a line, so that a run buffers a lot of console text before it
// writes.
Bytes ImageWithDramEntries(unsigned count) {
  Bytes image = ExampleInput(753, 4, 32768);
  std::size_t at = 64;
  for (unsigned i = 0; i < count; ++i, at += 4) StoreU32LE(image.data() + at, 0x08000025u);
  StoreU32LE(image.data() + at, 0);
  return image;
}

Bytes ExpectedPlainOutput(const Bytes& input, unsigned dramCount) {
  std::string lines;
  return ExpectedPlainImage(input, 48, dramCount, &lines);
}

std::vector<std::string> PlainArgs(const std::string& output) {
  return {"in.bin", output, "753", "0"};
}

// out.bin at a relative path of about 3600 characters in folders of dir:
// its "Writing" line alone is most of the console's buffer.
std::string DeepPath(const TempDir& dir) {
  std::string path;
  while (path.size() < 3600) {
    path += std::string(200, 'd') + "/";
    mkdir(dir.File(path).c_str(), 0755);
  }
  return path + "out.bin";
}

// With standard output closed, its stream buffers 8192 bytes. 313 efuse
// lines fill all but 16 of them before the output is created, so that the
// short "Writing" line overflows the buffer while the output file is open;
// 300 leave 341 free, which the deep path's line overflows.
TEST(ClosedStreamsTest, NoConsoleByteReachesTheOutput) {
  const std::vector<std::vector<int>> closedSets = {{1}, {0, 1, 2}, {1, 2}, {0}, {2}};
  for (const auto& closed : closedSets) {
    for (const bool deep : {false, true}) {
      const unsigned entries = deep ? 300 : 313;
      const Bytes input = ImageWithDramEntries(entries);
      TempDir dir;
      const std::string name = deep ? DeepPath(dir) : "out.bin";
      ScopedWorkDir inDir(dir.path());  // the deep path is too long to open from elsewhere
      WriteBytes("in.bin", input);
      // Run directly: a wrapper such as valgrind needs the streams itself.
      ProcessOptions options;
      options.closedFds = closed;
      options.workDir = dir.path();
      const ProcessResult result = RunProgram(SEALTOOL_EXE, PlainArgs(name), options);
      EXPECT_EQ(result.exitStatus, 0) << "closed " << closed.size() << " " << name.size();
      EXPECT_EQ(ReadBytes(name), ExpectedPlainOutput(input, entries))
          << "closed " << closed.front() << "+" << closed.size() - 1 << ", path of " << name.size();
      EXPECT_EQ(dir.List().size(), 2u);
    }
  }
}

// Standard output a pipe whose reader is gone: the run goes on, and its
// result is complete and reported by the exit status.
TEST(SignalTest, AVanishedReaderDoesNotMakeAHalfFailedRun) {
  TempDir dir;
  const Bytes input = ExampleInput(753, 5);
  WriteBytes(dir.File("in.bin"), input);
  WriteBytes(dir.File("out.bin"), Bytes(100, 0x42));
  ProcessOptions options;
  options.stdoutWithoutReader = true;
  const ProcessResult result = RunSealtool(dir, PlainArgs("out.bin"), options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), ExpectedPlainOutput(input, 6));
}

struct SignalCase {
  int signal;
  const char* moment;  // "write": before the commit; "commit": during it
};

// Each termination signal while the image is written, and while it is moved
// into place: the old output stays whole or the new one is complete, and no
// temporary file is left.
TEST(SignalTest, ATerminatedRunIsAllOrNothing) {
  const Bytes input = ExampleInput(753, 6);
  const Bytes previous(1000, 0x42);
  for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
    for (const char* moment : {"write", "commit"}) {
      TempDir dir;
      WriteBytes(dir.File("in.bin"), input);
      WriteBytes(dir.File("out.bin"), previous);
      ProcessOptions options;
      options.environment = {std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                             Format("SEALTOOL_TEST_SIGNAL=%d:%s", signal, moment)};
      options.workDir = dir.path();
      const ProcessResult result = RunProgram(SEALTOOL_EXE, PlainArgs("out.bin"), options);
      const std::string what = Format("signal %d at %s", signal, moment);
      EXPECT_EQ(result.exitStatus, 128 + signal) << what;
      const Bytes expected = std::strcmp(moment, "write") == 0 ? previous
                                                               : ExpectedPlainOutput(input, 6);
      EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected) << what;
      EXPECT_EQ(dir.List(), (std::vector<std::string>{"in.bin", "out.bin"})) << what;
    }
  }
}

TEST(SignalTest, AnIgnoredSignalStaysIgnored) {
  // nohup-style: a signal the caller ignored does not end the run.
  TempDir dir;
  const Bytes input = ExampleInput(753, 6);
  WriteBytes(dir.File("in.bin"), input);
  ProcessOptions options;
  options.environment = {std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                         Format("SEALTOOL_TEST_SIGNAL=%d:write", SIGHUP)};
  options.workDir = dir.path();
  options.ignoredSignals = {SIGHUP};
  const ProcessResult result = RunProgram(SEALTOOL_EXE, PlainArgs("out.bin"), options);
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), ExpectedPlainOutput(input, 6));
}

// Output paths that fopen(path, "wb") opens must work.
TEST(OutputPathTest, LongNamesAndLongPaths) {
  TempDir dir;
  const Bytes input = ExampleInput(753, 7);
  WriteBytes(dir.File("in.bin"), input);
  const Bytes expected = ExpectedPlainOutput(input, 6);
  for (const std::size_t length : {239, 250, 255}) {
    const std::string name(length, 'n');
    const ProcessResult result = RunSealtool(dir, PlainArgs(name));
    EXPECT_EQ(result.exitStatus, 0) << length << result.out;
    EXPECT_EQ(ReadBytes(dir.File(name)), expected) << length;
  }
  // Nested folders of 250-character names to a relative path of 4090.
  std::string path;
  while (path.size() + 251 < 4080) {
    path += std::string(250, 'd') + "/";
    ASSERT_EQ(mkdir(dir.File(path).c_str(), 0755), 0);
  }
  path += std::string(4090 - path.size(), 'f');
  const ProcessResult deep = RunSealtool(dir, PlainArgs(path));
  EXPECT_EQ(deep.exitStatus, 0) << deep.out.substr(deep.out.size() - 200);
  ScopedWorkDir inDir(dir.path());  // the whole path is too long to open from elsewhere
  EXPECT_EQ(ReadBytes(path), expected);
  // A name the file system cannot hold is refused, as fopen refuses it.
  const ProcessResult tooLong = RunSealtool(dir, PlainArgs(std::string(256, 'x')));
  EXPECT_EQ(tooLong.exitStatus, 1);
}

TEST(OutputPathTest, ADanglingLinkIsWrittenThrough) {
  TempDir dir;
  const Bytes input = ExampleInput(753, 8);
  WriteBytes(dir.File("in.bin"), input);
  ASSERT_EQ(mkdir(dir.File("images").c_str(), 0755), 0);
  ASSERT_EQ(symlink("images/target.bin", dir.File("out.bin").c_str()), 0);
  const ProcessResult result = RunSealtool(dir, PlainArgs("out.bin"));
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(ReadBytes(dir.File("images/target.bin")), ExpectedPlainOutput(input, 6));
  struct stat info {};
  ASSERT_EQ(lstat(dir.File("out.bin").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

std::vector<std::string> ListFolder(const std::string& path) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(path)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// A folder others can read and enter, for a run as another user.
void OpenUp(const TempDir& dir) { chmod(dir.path().c_str(), 0755); }

TEST(OutputPathTest, AWritableOutputInAReadOnlyFolder) {
  if (!CanRunAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
  TempDir dir;
  OpenUp(dir);
  std::string why;
  const std::string sealtool = CopyForAnotherUser(SEALTOOL_EXE, dir.path(), &why);
  if (sealtool.empty()) GTEST_SKIP() << why;
  const Bytes input = ExampleInput(753, 9);
  ASSERT_EQ(mkdir(dir.File("ro").c_str(), 0755), 0);
  WriteBytes(dir.File("ro/in.bin"), input);
  WriteBytes(dir.File("ro/out.bin"), Bytes(40000, 0x42));
  chmod(dir.File("ro/out.bin").c_str(), 0666);
  ProcessOptions options;
  options.asNobody = true;
  options.workDir = dir.File("ro");
  const ProcessResult result = RunProgram(sealtool, PlainArgs("out.bin"), options);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(ReadBytes(dir.File("ro/out.bin")), ExpectedPlainOutput(input, 6));
}

TEST(OutputPathTest, AnotherUsersWritableOutputInAStickyFolder) {
  if (!CanRunAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
  TempDir dir;
  OpenUp(dir);
  std::string why;
  const std::string sealtool = CopyForAnotherUser(SEALTOOL_EXE, dir.path(), &why);
  if (sealtool.empty()) GTEST_SKIP() << why;
  const Bytes input = ExampleInput(753, 10);
  ASSERT_EQ(mkdir(dir.File("shared").c_str(), 0777), 0);
  chmod(dir.File("shared").c_str(), 01777);
  WriteBytes(dir.File("shared/in.bin"), input);
  WriteBytes(dir.File("shared/out.bin"), Bytes(100, 0x42));
  chmod(dir.File("shared/out.bin").c_str(), 0666);
  ProcessOptions options;
  options.asNobody = true;
  options.workDir = dir.File("shared");
  const ProcessResult result = RunProgram(sealtool, PlainArgs("out.bin"), options);
  EXPECT_EQ(result.exitStatus, 0) << result.out;
  EXPECT_EQ(ReadBytes(dir.File("shared/out.bin")), ExpectedPlainOutput(input, 6));
  EXPECT_EQ(ListFolder(dir.File("shared")), (std::vector<std::string>{"in.bin", "out.bin"}));
}

// The copy is what lets the other user run the program wherever the build
// tree lies; behind a folder closed to others it says why it cannot.
TEST(OutputPathTest, AnotherUserGetsACopyOrAReason) {
  if (!CanRunAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
  TempDir dir;
  OpenUp(dir);
  ASSERT_EQ(mkdir(dir.File("closed").c_str(), 0700), 0);
  ASSERT_EQ(mkdir(dir.File("closed/inner").c_str(), 0755), 0);
  std::string why;
  const std::string copy = CopyForAnotherUser(SEALTOOL_EXE, dir.path(), &why);
  if (copy.empty()) GTEST_SKIP() << why;
  EXPECT_EQ(copy, dir.File("bin/sealtool"));
  EXPECT_EQ(CopyForAnotherUser(SEALTOOL_EXE, dir.File("closed/inner"), &why), "");
  EXPECT_NE(why.find("cannot run programs in " + dir.File("closed/inner")), std::string::npos)
      << why;
}

// An aes.txt that exists but cannot be read never falls back to the
// published default key.
TEST(KeyFileAccessTest, AnUnreadableKeyFileIsAnError) {
  if (!CanRunAsAnotherUser()) GTEST_SKIP() << kNeedsRoot;
  TempDir dir;
  OpenUp(dir);
  std::string why;
  const std::string sealtool = CopyForAnotherUser(SEALTOOL_EXE, dir.path(), &why);
  if (sealtool.empty()) GTEST_SKIP() << why;
  WriteBytes(dir.File("in.bin"), ExampleInput(753, 11));
  WriteText(dir.File("aes.txt"), "00112233445566778899aabbccddeeff\n");
  chmod(dir.File("aes.txt").c_str(), 0);
  chmod(dir.path().c_str(), 0777);
  for (const char* secureBoot : {"1", "3"}) {
    ProcessOptions options;
    options.asNobody = true;
    options.workDir = dir.path();
    const ProcessResult result =
        RunProgram(sealtool, {"in.bin", "out.bin", "753", secureBoot}, options);
    EXPECT_EQ(result.exitStatus, 255) << secureBoot;
    EXPECT_EQ(result.out.find("No AES128 key file"), std::string::npos);
    EXPECT_EQ(result.out.substr(result.out.size() - std::strlen(kBadKey)), kBadKey);
    EXPECT_FALSE(FileExists(dir.File("out.bin")));
  }
}

}  // namespace
}  // namespace sealtool::test
