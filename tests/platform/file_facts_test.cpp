#include "platform/file_facts.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "files.h"
#include "platform/lock_file.h"

namespace sealtool {
namespace {

// Each kind of thing that can stand at a path, made here with the system's
// own calls, as the platform layer reports it with and without following
// links.
TEST(FileFactsTest, EveryKindIsToldApart) {
  test::TempDir dir;
  const std::string file = dir.File("file");
  test::WriteText(file, "x");
  ASSERT_EQ(mkdir(dir.File("folder").c_str(), 0700), 0);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("file", dir.File("link").c_str()), 0);
  ASSERT_EQ(symlink("nowhere", dir.File("dangling").c_str()), 0);
  const struct {
    const char* name;
    FileKind itself;
    FileKind followed;
  } cases[] = {
      {"file", FileKind::kRegular, FileKind::kRegular},   {"folder", FileKind::kFolder, FileKind::kFolder},
      {"fifo", FileKind::kFifo, FileKind::kFifo},         {"link", FileKind::kLink, FileKind::kRegular},
      {"dangling", FileKind::kLink, FileKind::kMissing},  {"missing", FileKind::kMissing, FileKind::kMissing},
  };
  for (const auto& c : cases) {
    const std::string path = dir.File(c.name);
    EXPECT_EQ(KindOfFile(path.c_str(), false), c.itself) << c.name;
    EXPECT_EQ(KindOfFile(path.c_str(), true), c.followed) << c.name;
  }
  EXPECT_EQ(KindOfFile("/dev/null", true), FileKind::kDevice);
  EXPECT_TRUE(FileExists(file.c_str()));
  EXPECT_FALSE(FileExists(dir.File("dangling").c_str())) << "a dangling link leads nowhere";
}

TEST(FileFactsTest, AHardLinkIsTheSameFileAndACopyIsNot) {
  test::TempDir dir;
  test::WriteText(dir.File("a"), "x");
  test::WriteText(dir.File("copy"), "x");
  ASSERT_EQ(link(dir.File("a").c_str(), dir.File("b").c_str()), 0);
  EXPECT_TRUE(SameFileId(IdOfFile(dir.File("a").c_str()), IdOfFile(dir.File("b").c_str())));
  EXPECT_FALSE(SameFileId(IdOfFile(dir.File("a").c_str()), IdOfFile(dir.File("copy").c_str())));
  EXPECT_FALSE(SameFileId(IdOfFile(dir.File("none").c_str()), IdOfFile(dir.File("none").c_str())))
      << "two missing files are not one file";
}

TEST(FileFactsTest, AFolderIsMadeOnceAndLeftAlone) {
  test::TempDir dir;
  const std::string folder = dir.File("made");
  EXPECT_TRUE(MakeFolder(folder.c_str()));
  EXPECT_TRUE(MakeFolder(folder.c_str())) << "already there";
  EXPECT_FALSE(MakeFolder(dir.File("no/such/parent").c_str()));
  int saved = -1;
  ASSERT_TRUE(SaveWorkingFolder(&saved));
  ASSERT_TRUE(EnterFolder(folder.c_str()));
  test::WriteText("inside", "x");
  ASSERT_TRUE(ReturnToFolder(saved));
  EXPECT_EQ(KindOfFile(dir.File("made/inside").c_str(), false), FileKind::kRegular);
}

// A lock that this process holds through one opening is busy to another
// opening, as it is to another batch; once waited for it is taken.
TEST(LockFileTest, ASecondTakerFindsTheLockBusy) {
  test::TempDir dir;
  const int folder = OpenFolder(dir.path().c_str());
  ASSERT_GE(folder, 0);
  int first = -1;
  int second = -1;
  ASSERT_EQ(TryLock(folder, "t.lock", &first), LockTaking::kTaken);
  EXPECT_EQ(TryLock(folder, "t.lock", &second), LockTaking::kBusy);
  close(first);
  EXPECT_TRUE(WaitForLock(second));
  close(second);
  ASSERT_EQ(symlink("t.lock", dir.File("link.lock").c_str()), 0);
  int viaLink = -1;
  EXPECT_EQ(TryLock(folder, "link.lock", &viaLink), LockTaking::kFailed) << "a link is never followed";
  close(folder);
}

}  // namespace
}  // namespace sealtool
