// A batch or a record never destroys a file: whatever a run would write
// over another file it reads or writes is refused before anything is
// sealed, and a release is written with its record or not at all.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "release_support.h"
#include "secure_expectation.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {

namespace fs = std::filesystem;

// What a case does to the release before the batch runs: the manifest, the
// command line, and the file that must survive it.
struct Clash {
  const char* name;
  void (*prepare)(const TempDir& dir, Json* manifest);
  std::vector<std::string> args;
  const char* victim;  // relative to the folder
  const char* message;
  const char* manifestName = "release.json";
};

void Unchanged(const TempDir&, Json*) {}

const Clash kBatchClashes[] = {
    {"the record over the manifest", Unchanged, {"--record", "release.json"}, "release.json",
     "the record (--record): "},
    {"the record over an input", Unchanged, {"--record", "in/plain-a.bin"}, "in/plain-a.bin",
     "is also images[0] (plain-a).input"},
    {"the record over a key file", Unchanged, {"--record", "body.txt"}, "body.txt", "is also images[2] (record-a).aes_key"},
    {"the record over an output", Unchanged, {"--record", "release/rsa.sealed"}, "release/rsa.sealed",
     "is also images[7] (rsa).output"},
    {"an output over the manifest", [](const TempDir&, Json* m) { (*m)["images"][0]["output"] = "release.json"; },
     {}, "release.json", "images[0] (plain-a).output: release.json is also the manifest"},
    {"an output over its own key file", [](const TempDir&, Json* m) { (*m)["images"][2]["output"] = "body.txt"; },
     {}, "body.txt", "is also images[2] (record-a).aes_key"},
    {"an output over another image's seal key", [](const TempDir&, Json* m) { (*m)["images"][0]["output"] = "./seal.txt"; },
     {}, "seal.txt", "is also images[4] (seal-a).seal_key"},
    {"one output at its absolute spelling",
     [](const TempDir& dir, Json* m) { (*m)["images"][1]["output"] = dir.File("release/plain-a.sealed"); }, {},
     "release/plain-a.sealed", "images[0] (plain-a).output: release/plain-a.sealed is also images[1] (plain-b).output"},
    {"one output through a link",
     [](const TempDir& dir, Json* m) {
       WriteText(dir.File("release/plain-a.sealed"), "old");
       fs::create_symlink("plain-a.sealed", dir.File("release/link.sealed"));
       (*m)["images"][1]["output"] = "release/link.sealed";
     },
     {}, "release/plain-a.sealed", "is also images[1] (plain-b).output (release/link.sealed)"},
    {"a block over the manifest", [](const TempDir&, Json* m) { (*m)["images"][7]["name"] = "release.json"; },
     {"--sign-later", "."}, "release.json.block", "images[7] (release.json)'s block: ", "release.json.block"},
    {"a block over an input",
     [](const TempDir& dir, Json* m) {
       fs::copy_file(dir.File("in/rsa.bin"), dir.File("signing/rsa.block"));
       (*m)["images"][7]["input"] = "signing/rsa.block";
     },
     {"--sign-later", "signing"}, "signing/rsa.block", "images[7] (rsa)'s block: "},
    {"the request over the manifest", Unchanged, {"--sign-later", "."}, "request.json",
     "the signing request: ", "request.json"},
    {"the record over a PIN file",
     [](const TempDir& dir, Json* m) {
       WriteText(dir.File("pin.txt"), "1234\n");
       (*m)["images"][2]["aes_key"] = "pkcs11:token=t;object=a?pin-source=file:pin.txt";
     },
     {"--record", "pin.txt"}, "pin.txt", "is also images[2] (record-a).aes_key (its pin-source)"},
};

TEST(ReleaseSafetyTest, NothingIsWrittenOverAFileTheBatchUses) {
  for (const Clash& c : kBatchClashes) {
    TempDir dir;
    WriteRelease(dir);
    fs::create_directories(dir.File("signing"));
    Json manifest = ReleaseManifest();
    c.prepare(dir, &manifest);
    WriteManifest(dir, manifest, c.manifestName);
    if (!FileExists(dir.File(c.victim))) WriteText(dir.File(c.victim), "old");
    const std::vector<std::string> released = Listing(dir.File("release"));
    const Bytes before = ReadBytes(dir.File(c.victim));
    std::vector<std::string> args = {"--batch", c.manifestName};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const ProcessResult run = RunSealtool(dir, args);
    EXPECT_EQ(run.exitStatus, 255) << c.name << "\n" << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_EQ(ReadBytes(dir.File(c.victim)), before) << c.name;
    EXPECT_EQ(Listing(dir.File("release")), released) << c.name << ": nothing sealed was written";
  }
}

// A record that is not a regular file (a pipe, a link to a device) is
// refused and left as it was; so is a single run's record over what the run
// reads or writes.
TEST(ReleaseSafetyTest, ARecordIsARegularFileOrANewName) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  ASSERT_EQ(mkfifo(dir.File("pipe").c_str(), 0600), 0);
  fs::create_symlink("/dev/null", dir.File("null-link"));
  for (const char* record : {"pipe", "null-link", "release"}) {
    const ProcessResult batch = RunSealtool(dir, {"--batch", "release.json", "--record", record});
    EXPECT_EQ(batch.exitStatus, 255) << record << "\n" << batch.out;
    EXPECT_NE(batch.out.find("is not a regular file"), std::string::npos) << batch.out;
    const ProcessResult single = RunSealtool(dir, {"--record", record, "in/plain-a.bin", "single.bin", "753", "0"});
    EXPECT_EQ(single.exitStatus, 255) << record << "\n" << single.out;
    EXPECT_FALSE(FileExists(dir.File("single.bin")));
  }
  struct stat info {};
  ASSERT_EQ(lstat(dir.File("pipe").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  ASSERT_EQ(lstat(dir.File("null-link").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(Listing(dir.File("release")), std::vector<std::string>{});

  WriteText(dir.File("aes.txt"), Text(dir.File("body.txt")));
  WriteText(dir.File("out.bin"), "old output");
  for (const char* record : {"in/record-a.bin", "out.bin", "aes.txt", "./aes.txt"}) {
    const Bytes before = ReadBytes(dir.File(record));
    const ProcessResult single = RunSealtool(dir, {"--record", record, "in/record-a.bin", "out.bin", "753", "3"});
    EXPECT_EQ(single.exitStatus, 255) << record << "\n" << single.out;
    EXPECT_NE(single.out.find("the record would replace a file the run needs"), std::string::npos) << single.out;
    EXPECT_EQ(ReadBytes(dir.File(record)), before) << record;
  }
  EXPECT_EQ(Text(dir.File("out.bin")), "old output");
}

// The record is written with the outputs or not at all, and the exit
// status and the last line say which.
TEST(ReleaseSafetyTest, TheRecordIsPartOfAllOrNothing) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--record", "release/record.json"}).exitStatus, 0);
  const std::vector<std::string> released = Listing(dir.File("release"));
  const Bytes record = ReadBytes(dir.File("release/record.json"));
  const Bytes rsa = ReadBytes(dir.File("release/rsa.sealed"));

  // A record that cannot be written: no output is replaced, exit 1.
  Json changed = ReleaseManifest();
  changed["images"][7]["input"] = "in/plain-a.bin";
  changed["images"][7]["chip"] = 753;
  changed["images"][7]["secure_boot"] = 0;
  changed["images"][7].erase("rsa_key");
  changed["images"][7].erase("rsa_pub");
  changed["images"][7].erase("aes_key");
  WriteManifest(dir, changed);
  const ProcessResult noRecord = RunSealtool(dir, {"--batch", "release.json", "--record", "missing/record.json"});
  EXPECT_EQ(noRecord.exitStatus, 1) << noRecord.out;
  EXPECT_NE(noRecord.out.find("batch failed: the record cannot be written; nothing was written\n"), std::string::npos)
      << noRecord.out;
  EXPECT_EQ(ReadBytes(dir.File("release/rsa.sealed")), rsa) << "no output moved into place";
  EXPECT_EQ(Listing(dir.File("release")), released) << "no temporary file is left";

  // --keep-going where every image fails: nothing, not even the record.
  Json broken = ReleaseManifest();
  for (Json& image : broken["images"]) image["input"] = "seal.txt";  // no boot header, no key record
  broken["images"] = Json::array({broken["images"][0]});
  WriteManifest(dir, broken);
  const ProcessResult none = RunSealtool(dir, {"--batch", "release.json", "--keep-going", "--record", "release/record.json"});
  EXPECT_EQ(none.exitStatus, 255) << none.out;
  EXPECT_EQ(ReadBytes(dir.File("release/record.json")), record) << "the previous release's record stays";

  // Some fail, some are written with their record: exit 2, and it says so.
  Json partly = ReleaseManifest();
  partly["images"][5]["aes_key"] = "seal.txt";  // a key in the wrong form
  WriteManifest(dir, partly);
  const ProcessResult some = RunSealtool(dir, {"--batch", "release.json", "--keep-going", "--record", "release/record.json"});
  EXPECT_EQ(some.exitStatus, 2) << some.out;
  EXPECT_NE(some.out.find("sealed 7 of 8 images and wrote them, with the record; 1 failed\n"), std::string::npos)
      << some.out;
  const Json recorded = Json::parse(Text(dir.File("release/record.json")));
  EXPECT_EQ(recorded["images"].size(), 7u);
}

// Names that are not UTF-8 cannot stop a release: the record holds them in
// its hex form, and the gate reads them back.
TEST(ReleaseSafetyTest, NamesThatAreNotUtf8AreRecordedAndReadBack) {
  TempDir dir;
  WriteRelease(dir);
  const std::string folder = "proj\xff\xfe";
  fs::create_directories(dir.File(folder));
  Json manifest = {{"images", Json::array({{{"name", "plain-a"}, {"input", "../in/plain-a.bin"},
                                            {"output", "out.sealed"}, {"chip", 753}, {"secure_boot", 0}}})}};
  WriteManifest(dir, manifest, folder + "/release.json");
  const ProcessResult batch = RunSealtool(dir, {"--batch", folder + "/release.json", "--record", "record.json"});
  ASSERT_EQ(batch.exitStatus, 0) << batch.out;
  const ProcessResult single =
      RunSealtool(dir, {"--record", "single.json", "in/plain-a.bin", folder + "/single.bin", "753", "0"});
  ASSERT_EQ(single.exitStatus, 0) << single.out;
  for (const char* record : {"record.json", "single.json"}) {
    const Json parsed = Json::parse(Text(dir.File(record)));
    const Json& path = parsed["images"][0]["output"]["path"];
    ASSERT_TRUE(path.is_object()) << record << ": " << path.dump();
    EXPECT_EQ(path["hex"].get<std::string>().rfind("70726f6afffe2f", 0), 0u) << "proj\\xff\\xfe/..." << path.dump();
  }
  const ProcessResult gate = RunSealinfo(dir, {"--record", "record.json", "--chip", "753", "--mode", "plain"});
  EXPECT_EQ(gate.exitStatus, 0) << gate.out << gate.err;
}

// A batch keeps its steps' text back, and with it the AES key a secure run
// echoes: no copy of the key is left in freed memory.
TEST(ReleaseSafetyTest, NoKeyEchoIsLeftInFreedMemory) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const std::string spaced = HexKey(kBodyKey, " ").substr(0, 23);  // as the body key is echoed
  const std::string compact = HexKey(kBodyKey, "").substr(0, 16);  // as a key-record run echoes it
  ProcessOptions options;
  options.environment = {std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                         "SEALTOOL_TEST_SCAN_FREED=" + spaced + "|" + compact};
  const ProcessResult batch = RunSealtool(dir, {"--batch", "release.json"}, options);
  EXPECT_EQ(batch.exitStatus, 0) << batch.out << batch.err;
  EXPECT_EQ(batch.err.find("freed memory holds secret text"), std::string::npos);
  // The scan had something to find: a single run echoes that key.
  const ProcessResult single = SingleRun(dir, kRelease[4], "single.bin");
  EXPECT_NE(single.out.find(spaced), std::string::npos) << single.out;
}

// The token lock lives in a folder only the user can write: a folder that
// another user could write, or a link planted where the lock goes, stops the
// batch with a message instead of being used or skipped.
TEST(ReleaseSafetyTest, TheTokenLockIsTheUsersOwn) {
  const struct {
    const char* name;
    void (*plant)(const std::string& folder);
    const char* message;
  } cases[] = {
      {"a folder anyone may write", [](const std::string& f) { fs::create_directories(f); chmod(f.c_str(), 0777); },
       "is not this user's own"},
      {"a link to a folder",
       [](const std::string& f) {
         fs::create_directories(f + "-target");
         fs::create_symlink(f + "-target", f);
       },
       "is not this user's own"},
      {"a link where the lock goes",
       [](const std::string& f) {
         fs::create_directories(f);
         chmod(f.c_str(), 0700);
       },
       ""},  // the lock the first run makes is replaced by a link below
  };
  for (const auto& c : cases) {
    TempDir dir;
    WriteRelease(dir);
    Json manifest = {{"images", Json::array({ManifestImage(kRelease[2], "release")})}};
    manifest["images"][0]["aes_key"] = "pkcs11:token=nowhere;object=aes?module-path=/nonexistent.so";
    WriteManifest(dir, manifest);
    const std::string folder = dir.File("runtime");
    c.plant(folder);
    ProcessOptions options;
    options.environment = {"XDG_RUNTIME_DIR=" + folder};
    const ProcessResult run = RunSealtool(dir, {"--batch", "release.json"}, options);
    EXPECT_EQ(run.exitStatus, 255) << c.name << "\n" << run.out;
    if (*c.message != '\0') {
      EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
      continue;
    }
    // The run made its lock: replace it with a link, and the next run refuses it.
    std::vector<std::string> locks;
    for (const auto& entry : fs::directory_iterator(folder)) locks.push_back(entry.path().string());
    ASSERT_EQ(locks.size(), 1u) << c.name;
    fs::remove(locks[0]);
    fs::create_symlink(dir.File("victim"), locks[0]);
    const ProcessResult planted = RunSealtool(dir, {"--batch", "release.json"}, options);
    EXPECT_EQ(planted.exitStatus, 255) << planted.out;
    EXPECT_NE(planted.out.find("cannot be taken"), std::string::npos) << planted.out;
    EXPECT_FALSE(fs::exists(dir.File("victim"))) << "nothing is created through the link";
  }
}

}  // namespace
}  // namespace sealtool::test
