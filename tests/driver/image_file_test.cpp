#include "driver/image_file.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "files.h"
#include "image/layout.h"

namespace sealtool {
namespace {

using test::Bytes;
using test::TempDir;
using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::string Repeat(const std::string& line, int times) {
  std::string text;
  for (int i = 0; i < times; ++i) {
    text += line;
  }
  return text;
}

// What the reader prints for an input longer than one image.
std::string TooLongText(const std::string& path) {
  return "Reading '" + path + "'...\n" +
         Repeat("Serial error !! '" + path + "' exceed 16K bytes...\n", 10);
}

struct ReadOutcome {
  bool result;
  std::uint32_t size;
  std::string out;
};

ReadOutcome Read(const std::string& path, std::vector<std::uint8_t>& buffer) {
  ReadOutcome outcome{};
  CaptureStdout();
  outcome.result = ReadImageFile(path.c_str(), buffer.data(), &outcome.size);
  outcome.out = GetCapturedStdout();
  return outcome;
}

TEST(ReadImageFileTest, SizesAroundTheLimit) {
  TempDir dir;
  struct Case {
    std::size_t size;
    bool accepted;
  };
  for (const Case c : {Case{0, true}, Case{100, true}, Case{kImageSize, true},
                       Case{kImageSize + 1, false}, Case{3 * kImageSize, false}}) {
    const std::string path = dir.File("in.bin");
    test::WriteBytes(path, Bytes(c.size, 0x5A));
    std::vector<std::uint8_t> buffer(kImageSize, 0);
    const ReadOutcome outcome = Read(path, buffer);
    if (c.accepted) {
      EXPECT_TRUE(outcome.result);
      EXPECT_EQ(outcome.size, c.size);
      EXPECT_EQ(outcome.out, "Reading '" + path + "'...\nfile size = " +
                                 std::to_string(c.size) + "\n");
      EXPECT_EQ(std::count(buffer.begin(), buffer.end(), 0x5A), static_cast<long>(c.size));
    } else {
      EXPECT_FALSE(outcome.result);
      EXPECT_EQ(outcome.out, TooLongText(path));
    }
  }
}

TEST(ReadImageFileTest, MissingFile) {
  TempDir dir;
  std::vector<std::uint8_t> buffer(kImageSize);
  const std::string path = dir.File("absent.bin");
  const ReadOutcome outcome = Read(path, buffer);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out, "Can't open '" + path + "' !\n");
}

TEST(ReadImageFileTest, DirectoryIsRefused) {
  // Whether the length or the read gives it away depends on the file system.
  TempDir dir;
  std::vector<std::uint8_t> buffer(kImageSize);
  const ReadOutcome outcome = Read(dir.path(), buffer);
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out.find("file size"), std::string::npos);
}

TEST(ReadImageFileTest, UnseekableStreamsAreBoundedToo) {
  // A FIFO cannot tell its length; the one byte after a full image gives a
  // long input away.
  TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  for (const std::size_t size : {kImageSize, kImageSize + 1}) {
    const pid_t writer = fork();
    if (writer == 0) {
      FILE* out = std::fopen(fifo.c_str(), "wb");
      const Bytes bytes(size, 0x11);
      std::fwrite(bytes.data(), 1, bytes.size(), out);
      std::fclose(out);
      _exit(0);
    }
    std::vector<std::uint8_t> buffer(kImageSize);
    const ReadOutcome outcome = Read(fifo, buffer);
    int status = 0;
    waitpid(writer, &status, 0);
    if (size == kImageSize) {
      EXPECT_TRUE(outcome.result);
      EXPECT_EQ(outcome.size, kImageSize);
    } else {
      EXPECT_FALSE(outcome.result);
      EXPECT_EQ(outcome.out, TooLongText(fifo));
    }
  }
}

TEST(WriteImageFileTest, WritesWholeImageWithCreationPermissions) {
  TempDir dir;
  const std::string path = dir.File("out.bin");
  test::WriteBytes(path, Bytes(10, 0x77));
  chmod(path.c_str(), 0600);
  const mode_t previous = umask(022);
  const Bytes image(kImageSize, 0xC3);
  CaptureStdout();
  const bool result = WriteImageFile(path.c_str(), image.data(), kImageSize);
  const std::string out = GetCapturedStdout();
  umask(previous);
  EXPECT_TRUE(result);
  EXPECT_EQ(out, "Writing '" + path + "'...\nwrite size = 32768\n");
  EXPECT_EQ(test::ReadBytes(path), image);
  struct stat info {};
  ASSERT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0644u);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"out.bin"});
}

TEST(WriteImageFileTest, WritesThroughASymbolicLink) {
  TempDir dir;
  const std::string target = dir.File("real.bin");
  const std::string link = dir.File("link.bin");
  test::WriteBytes(target, Bytes(4, 1));
  ASSERT_EQ(symlink("real.bin", link.c_str()), 0);
  const Bytes image(kImageSize, 0x3C);
  CaptureStdout();
  EXPECT_TRUE(WriteImageFile(link.c_str(), image.data(), kImageSize));
  GetCapturedStdout();
  EXPECT_EQ(test::ReadBytes(target), image);
  struct stat info {};
  ASSERT_EQ(lstat(link.c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
}

TEST(WriteImageFileTest, DevicesAndPipesAreWrittenInPlaceNotReplaced) {
  TempDir dir;
  const std::string fifo = dir.File("pipe");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  const pid_t reader = fork();
  if (reader == 0) {
    close(fds[0]);
    FILE* in = std::fopen(fifo.c_str(), "rb");
    std::uint8_t buffer[4096];
    long total = 0;
    for (std::size_t n; (n = std::fread(buffer, 1, sizeof buffer, in)) > 0;) total += static_cast<long>(n);
    const bool all = total == static_cast<long>(kImageSize);
    (void)!write(fds[1], all ? "y" : "n", 1);
    _exit(0);
  }
  close(fds[1]);
  const Bytes image(kImageSize, 0x42);
  CaptureStdout();
  const bool result = WriteImageFile(fifo.c_str(), image.data(), kImageSize);
  const std::string out = GetCapturedStdout();
  char verdict = 0;
  EXPECT_EQ(read(fds[0], &verdict, 1), 1);
  close(fds[0]);
  waitpid(reader, nullptr, 0);
  EXPECT_TRUE(result);
  EXPECT_EQ(out, "Writing '" + fifo + "'...\nwrite size = 32768\n");
  EXPECT_EQ(verdict, 'y');
  struct stat info {};
  ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(dir.List(), std::vector<std::string>{"pipe"});
}

TEST(WriteImageFileTest, UncreatableOutputsFailWithoutTrace) {
  TempDir dir;
  const Bytes image(kImageSize, 0x01);
  for (const std::string& path : {dir.File("no/such/dir/out.bin"), dir.path(), std::string(),
                                   dir.File("no-such-dir/")}) {
    CaptureStdout();
    EXPECT_FALSE(WriteImageFile(path.c_str(), image.data(), kImageSize));
    EXPECT_EQ(GetCapturedStdout(), "Can't open '" + path + "' !\n");
  }
  EXPECT_TRUE(dir.List().empty());
}

}  // namespace
}  // namespace sealtool
