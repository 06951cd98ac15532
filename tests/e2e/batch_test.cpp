// A whole release in one run: each image is what a single run writes, a
// failure anywhere writes nothing (or, with --keep-going, only what sealed),
// and everything the manifest names is checked before any token is asked.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <future>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "e2e_support.h"
#include "release_support.h"
#include "secure_expectation.h"
#include "test_keys.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

TEST(BatchTest, EachImageIsWhatASingleRunWrites) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const ProcessResult batch = RunSealtool(dir, {"--batch", "release.json"});
  ASSERT_EQ(batch.exitStatus, 0) << batch.out;
  for (const Image& image : kRelease) {
    const ProcessResult single = SingleRun(dir, image, std::string("single-") + image.name);
    ASSERT_EQ(single.exitStatus, 0) << image.name << "\n" << single.out;
    const Bytes expected = ReadBytes(dir.File(std::string("single-") + image.name));
    EXPECT_EQ(ReadBytes(dir.File("release/" + std::string(image.name) + ".sealed")), expected) << image.name;
    // One line an image: its name, mode, chip and the output's SHA-256.
    std::string line = Format("%s: %s, chip %d, sha256 %s", image.name,
                              image.secureBoot == 0 ? "plain" : image.secureBoot == 3 && image.chip != 742 ? "key-record"
                                                    : image.chip == 742 && image.secureBoot == 2 ? "rsa" : "aes-seal",
                              image.chip, Sha256Hex(expected).c_str());
    EXPECT_NE(batch.out.find(line), std::string::npos) << line << "\n" << batch.out;
  }
  EXPECT_NE(batch.out.find(", key id "), std::string::npos) << "the RSA image names its key";
  EXPECT_NE(batch.out.find("sealed 8 images and wrote them\n"), std::string::npos) << batch.out;
  EXPECT_EQ(batch.out.find("Save BIN OK."), std::string::npos) << "the steps of single runs are not repeated";
}

// The manifest's folder is where its relative paths start, wherever the
// batch is run from.
TEST(BatchTest, PathsAreTheManifestsFolders) {
  TempDir dir;
  fs::create_directories(dir.File("project"));
  TempDir& top = dir;
  WriteRelease(top);
  Json manifest = ReleaseManifest();
  for (auto& image : manifest["images"]) {
    image["input"] = "../" + image["input"].get<std::string>();
    image["output"] = "../" + image["output"].get<std::string>();
    for (const char* key : {"rsa_key", "rsa_pub", "aes_key", "seal_key"}) {
      if (image.contains(key)) image[key] = "../" + image[key].get<std::string>();
    }
  }
  WriteManifest(top, manifest, "project/release.json");
  ProcessOptions elsewhere;
  elsewhere.workDir = "/";
  const ProcessResult batch = RunSealtool(top, {"--batch", top.File("project/release.json")}, elsewhere);
  ASSERT_EQ(batch.exitStatus, 0) << batch.out;
  EXPECT_TRUE(FileExists(top.File("release/rsa.sealed")));
}

// A broken key in the middle of the release: nothing is written, old
// outputs stay, no temporary file is left; with --keep-going the images
// that sealed are written and the failed one is named.
TEST(BatchTest, AllOrNothingUnlessKeepGoing) {
  TempDir dir;
  WriteRelease(dir);
  WriteText(dir.File("broken.txt"), "N = 1234\n");  // a key file that reads but holds no key
  Json manifest = ReleaseManifest();
  manifest["images"][5]["aes_key"] = "broken.txt";
  WriteManifest(dir, manifest);
  const Bytes old(100, 0x42);
  for (const Image& image : kRelease) WriteBytes(dir.File("release/" + std::string(image.name) + ".sealed"), old);
  const std::vector<std::string> before = Listing(dir.File("release"));

  const ProcessResult failed = RunSealtool(dir, {"--batch", "release.json"});
  EXPECT_EQ(failed.exitStatus, 255) << failed.out;
  EXPECT_NE(failed.out.find("seal-a5: failed\n"), std::string::npos) << failed.out;
  EXPECT_NE(failed.out.find("Please check broken.txt"), std::string::npos) << "the single run's reason\n" << failed.out;
  EXPECT_NE(failed.out.find("batch failed: nothing was written"), std::string::npos);
  for (const Image& image : kRelease) {
    EXPECT_EQ(ReadBytes(dir.File("release/" + std::string(image.name) + ".sealed")), old) << image.name;
  }
  EXPECT_EQ(Listing(dir.File("release")), before) << "no temporary file is left";

  const ProcessResult partly = RunSealtool(dir, {"--batch", "release.json", "--keep-going"});
  EXPECT_EQ(partly.exitStatus, 2) << partly.out;
  EXPECT_NE(partly.out.find("sealed 7 of 8 images and wrote them; 1 failed"), std::string::npos) << partly.out;
  EXPECT_EQ(ReadBytes(dir.File("release/seal-a5.sealed")), old);
  ASSERT_EQ(SingleRun(dir, kRelease[7], "single-rsa").exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("release/rsa.sealed")), ReadBytes(dir.File("single-rsa")));
  EXPECT_EQ(Listing(dir.File("release")), before);
}

TEST(BatchTest, CommandLinesABatchRefuses) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--batch", "release.json", "in/rsa.bin", "out.bin"}, "--batch takes no input or output paths"},
      {{"--batch", "release.json", "--aes-key", "body.txt"}, "--aes-key cannot be given with --batch"},
      {{"--batch", "release.json", "--batch", "release.json"}, "--batch is given twice"},
      {{"--batch"}, "--batch needs a value"},
      {{"--batch", "missing.json"}, "the manifest missing.json cannot be read"},
      {{"--batch", "release.json", "--sign-later", "a", "--signature", "a"}, "--signature cannot be given with --sign-later"},
      {{"--batch", "release.json", "--sign-later", "a", "--record", "r.json"}, "--record cannot be given with --sign-later"},
      {{"--batch", "release.json", "--", "x"}, "--batch takes no input or output paths, not 'x'"},
      // Here --batch is the key option's value: a single run that lacks its paths.
      {{"--aes-key", "--batch", "release.json"}, "command syntax error!\nsealtool <input_bin>"},
  };
  for (const auto& c : cases) {
    const ProcessResult run = RunSealtool(dir, c.args);
    EXPECT_EQ(run.exitStatus, 255) << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
    EXPECT_FALSE(FileExists(dir.File("release/rsa.sealed")));
  }
}

std::string LogText(const std::string& path) {
  if (!FileExists(path)) return "";
  const Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

// A release whose keys are in the token (through the fault-injecting
// module, which logs the session calls): three RSA images and an AES-seal
// one, and its environment.
struct TokenRelease {
  TokenSetup setup;
  std::string log = setup.dir.File("calls.log");
  Json manifest;
  TokenRelease() {
    fs::create_directories(setup.dir.File("release"));
    Json images = Json::array();
    for (int i = 0; i < 3; ++i) {
      const std::string name = "rsa" + std::to_string(i);
      WriteBytes(setup.dir.File(name + ".bin"), ExampleInput(742, 40 + i));
      images.push_back({{"input", name + ".bin"}, {"output", "release/" + name + ".sealed"}});
    }
    WriteBytes(setup.dir.File("seal.bin"), ExampleInput(775, 44));
    images.push_back({{"input", "seal.bin"}, {"output", "release/seal.sealed"}, {"chip", 775}, {"secure_boot", 1},
                      {"seal_key", Faulty("object=seal")}});
    manifest = {{"defaults", {{"chip", 742}, {"secure_boot", 2}, {"rsa_key", Faulty("object=rsa;type=private")},
                              {"aes_key", Faulty("object=aes")}}},
                {"images", images}};
  }
  ProcessResult Run(const std::vector<std::string>& args, const std::string& fault = "none",
                    const std::vector<std::string>& more = {}) const {
    std::vector<std::string> environment = {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(),
                                            "SEALTOOL_FAULT=" + fault, "SEALTOOL_FAULT_LOG=" + log};
    environment.insert(environment.end(), more.begin(), more.end());
    return setup.Run(args, environment);
  }
};

// One module load and one login for the whole batch, and the session closed
// on every path; each image as the same keys in files seal it.
TEST(BatchTokenTest, OneLoginForTheWholeRelease) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenRelease release;
  WriteManifest(release.setup.dir, release.manifest);
  const std::string once = "C_Initialize\nC_OpenSession\nC_Login\nC_Logout\nC_CloseSession\nC_Finalize\n";
  for (const char* fault : {"none", "sign-error"}) {
    std::remove(release.log.c_str());
    const ProcessResult run = release.Run({"--batch", "release.json"}, fault);
    EXPECT_EQ(run.exitStatus, std::string(fault) == "none" ? 0 : 255) << run.out;
    EXPECT_EQ(LogText(release.log), once) << fault;
  }
  for (int i = 0; i < 3; ++i) {
    const std::string name = "rsa" + std::to_string(i);
    ASSERT_EQ(release.setup.Run({"--aes-key", "body.txt", name + ".bin", name + ".file", "742", "2"}).exitStatus, 0);
    EXPECT_EQ(ReadBytes(release.setup.dir.File("release/" + name + ".sealed")),
              ReadBytes(release.setup.dir.File(name + ".file")));
  }
  ASSERT_EQ(release.setup.Run({"--aes-key", "body.txt", "--seal-key", "seal.txt", "seal.bin", "seal.file", "775", "1"})
                .exitStatus, 0);
  EXPECT_EQ(ReadBytes(release.setup.dir.File("release/seal.sealed")), ReadBytes(release.setup.dir.File("seal.file")));

  // The release checked by sealing it again where the keys live: one login.
  std::remove(release.log.c_str());
  const ProcessResult check = release.Run({"--batch", "release.json", "--check"});
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  EXPECT_NE(check.out.find("check: 4 images sealed again"), std::string::npos) << check.out;
  EXPECT_EQ(LogText(release.log), once);
}

// The run owns its token sessions: reading each RSA image's public key for
// its block keeps the token open, so that three blocks cost one login.
TEST(BatchTokenTest, OneLoginForBlocksWhosePublicKeyIsInTheToken) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenRelease release;
  release.manifest["defaults"]["rsa_pub"] = Faulty("object=rsa;type=private");
  WriteManifest(release.setup.dir, release.manifest);
  const ProcessResult blocks = release.Run({"--batch", "release.json", "--sign-later", "signing"});
  ASSERT_EQ(blocks.exitStatus, 0) << blocks.out;
  EXPECT_NE(blocks.out.find("wrote 3 blocks to sign"), std::string::npos) << blocks.out;
  EXPECT_EQ(LogText(release.log), "C_Initialize\nC_OpenSession\nC_Login\nC_Logout\nC_CloseSession\nC_Finalize\n");
}

// With --keep-going, every image after a token failure says what happened
// to the token: a wrong PIN is tried once and named for each later image, a
// token that is gone is said to be gone, not taken for a key of another kind.
TEST(BatchTokenTest, LaterImagesSayWhatHappenedToTheToken) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenRelease release;
  WriteManifest(release.setup.dir, release.manifest);
  const ProcessResult wrongPin = release.Run({"--batch", "release.json", "--keep-going"}, "none", {"SEALTOOL_PIN=0000"});
  EXPECT_EQ(wrongPin.exitStatus, 255) << wrongPin.out;
  EXPECT_NE(wrongPin.out.find("the PIN is wrong (CKR_PIN_INCORRECT)"), std::string::npos) << wrongPin.out;
  EXPECT_NE(wrongPin.out.find("rsa2.sealed: failed\n"), std::string::npos) << wrongPin.out;
  EXPECT_NE(wrongPin.out.find("the login to this token failed earlier in this run"), std::string::npos) << wrongPin.out;
  EXPECT_EQ(wrongPin.out.find("logged in"), std::string::npos) << wrongPin.out;
  EXPECT_EQ(LogText(release.log), "C_Initialize\nC_OpenSession\nC_Login\nC_CloseSession\nC_Finalize\n")
      << "one wrong PIN, not one an image";

  std::remove(release.log.c_str());
  const ProcessResult lost = release.Run({"--batch", "release.json", "--keep-going"}, "lost-after-sign");
  EXPECT_EQ(lost.exitStatus, 255) << lost.out;
  std::size_t gone = 0;
  for (std::size_t at = lost.out.find("removed or unplugged (0x32)"); at != std::string::npos;
       at = lost.out.find("removed or unplugged (0x32)", at + 1)) {
    ++gone;
  }
  EXPECT_EQ(gone, 4u) << "each image says the token is gone\n" << lost.out;
  for (const char* misleading : {"16-byte AES key", "RSA-1024 key", "no public key object"}) {
    EXPECT_EQ(lost.out.find(misleading), std::string::npos) << misleading << "\n" << lost.out;
  }
}

// A typo in the last image is found before the token is asked anything:
// no module is loaded, no PIN is spent, nothing is written.
TEST(BatchTokenTest, EverythingIsCheckedBeforeTheFirstTokenOperation) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  const struct {
    const char* name;
    const char* field;
    Json value;
    std::string message;
  } cases[] = {
      {"a missing input", "input", "sael.bin", "images[3] (seal.sealed): the input sael.bin cannot be opened"},
      {"an input without its header", "input", "calls.txt", "holds no boot header"},
      {"a missing key file", "seal_key", "seal.tx", "images[3] (seal.sealed).seal_key: the key file seal.tx cannot be read"},
      {"a URI that does not parse", "seal_key", "pkcs11:object=%zz", "not a PKCS#11 URI"},
      {"a chip of the wrong type", "chip", "775", "images[3].chip: an integer is needed"},
  };
  for (const auto& c : cases) {
    TokenRelease release;
    WriteText(release.setup.dir.File("calls.txt"), std::string(32768, 'x'));
    release.manifest["images"][3][c.field] = c.value;
    WriteManifest(release.setup.dir, release.manifest);
    const ProcessResult run = release.Run({"--batch", "release.json"});
    EXPECT_EQ(run.exitStatus, 255) << c.name << "\n" << run.out;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_EQ(LogText(release.log), "") << c.name << ": the token was asked";
    EXPECT_EQ(Listing(release.setup.dir.File("release")), std::vector<std::string>{}) << c.name;
  }
}

// The record says, for every image written, what a reader can check
// independently: the SHA-256 of input and output, the mode, and each key's
// source; run again, the same release gives the same bytes.
TEST(ReleaseRecordTest, TheRecordTellsWhatWasSealedAndIsReproducible) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  ProcessOptions dated;
  dated.environment = {"SOURCE_DATE_EPOCH=1700000000"};
  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--record", "release/record.json"}).exitStatus, 0);
  const Bytes first = ReadBytes(dir.File("release/record.json"));
  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--record", "release/record.json"}).exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("release/record.json")), first) << "the same release, the same record";
  const Json record = Json::parse(std::string(first.begin(), first.end()));
  EXPECT_EQ(record["tool"], "sealtool");
  EXPECT_FALSE(record.contains("time")) << "no time stamp without SOURCE_DATE_EPOCH";
  ASSERT_EQ(record["images"].size(), std::size(kRelease));
  for (const Json& image : record["images"]) {
    const std::string name = image["name"];
    EXPECT_EQ(image["output"]["path"], name + ".sealed") << "relative to the record's folder";
    EXPECT_EQ(image["output"]["sha256"], Sha256Hex(ReadBytes(dir.File("release/" + name + ".sealed")))) << name;
    EXPECT_EQ(image["input"]["sha256"], Sha256Hex(ReadBytes(dir.File("in/" + name + ".bin")))) << name;
  }
  const Json& rsa = record["images"][7];
  EXPECT_EQ(rsa["mode"], "rsa");
  EXPECT_EQ(rsa["signature"], "made");
  EXPECT_EQ(rsa["keys"].size(), 3u);
  EXPECT_EQ(rsa["keys"][0]["role"], "rsa_key");
  EXPECT_EQ(rsa["keys"][0]["source"], "file");
  EXPECT_EQ(rsa["image_digest"].get<std::string>().size(), 64u);
  EXPECT_EQ(record["images"][0]["keys"].size(), 0u) << "plain mode reads no key";
  EXPECT_FALSE(record["images"][0].contains("image_digest"));

  EXPECT_FALSE(record["images"][0].contains("allow_built_in_keys"));

  // Keys left out, where the manifest allows it: the built-in key, so said.
  Json builtIn = {{"allow_built_in_keys", true},
                  {"images", {{{"input", "in/seal-a.bin"}, {"output", "release/default.sealed"}, {"chip", 775},
                               {"secure_boot", 1}}}}};
  WriteManifest(dir, builtIn, "built-in.json");
  ASSERT_EQ(RunSealtool(dir, {"--batch", "built-in.json", "--record", "built-in.record"}).exitStatus, 0);
  const Bytes builtInBytes = ReadBytes(dir.File("built-in.record"));
  const Json builtInRecord = Json::parse(std::string(builtInBytes.begin(), builtInBytes.end()));
  EXPECT_EQ(builtInRecord["images"][0]["allow_built_in_keys"], true);
  EXPECT_EQ(builtInRecord["images"][0]["keys"][0]["source"], "built-in");
  EXPECT_EQ(builtInRecord["images"][0]["keys"][1]["source"], "built-in");

  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--record", "dated.json"}, dated).exitStatus, 0);
  const Bytes datedBytes = ReadBytes(dir.File("dated.json"));
  EXPECT_EQ(Json::parse(std::string(datedBytes.begin(), datedBytes.end()))["time"], "2023-11-14T22:13:20Z");
}

// A single run records its one image; a PIN in a URI never reaches the
// record, and a token key names its token.
TEST(ReleaseRecordTest, ASingleRunRecordsItsImageAndItsTokenWithoutThePin) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(775, 50));
  const std::string sealKey = setup.token.Uri("object=seal?pin-value=" + std::string(kTokenPin));
  const ProcessResult run = setup.Run({"--record", "record.json", "--aes-key", "body.txt", "--seal-key", sealKey,
                                       "in.bin", "out.bin", "775", "1"});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
  EXPECT_NE(run.out.find("Save BIN OK.\nAll OK.\n"), std::string::npos) << "a single run prints as always";
  const Bytes bytes = ReadBytes(setup.dir.File("record.json"));
  const std::string text(bytes.begin(), bytes.end());
  EXPECT_EQ(text.find(kTokenPin), std::string::npos) << "no PIN in the record";
  const Json record = Json::parse(text);
  ASSERT_EQ(record["images"].size(), 1u);
  const Json& image = record["images"][0];
  EXPECT_EQ(image["name"], "out.bin");
  EXPECT_EQ(image["output"]["sha256"], Sha256Hex(ReadBytes(setup.dir.File("out.bin"))));
  EXPECT_EQ(image["keys"][0]["source"], "file");
  EXPECT_EQ(image["keys"][1]["role"], "seal_key");
  EXPECT_EQ(image["keys"][1]["source"], "token");
  EXPECT_NE(image["keys"][1]["reference"].get<std::string>().find("pin-value=***"), std::string::npos);
  EXPECT_EQ(image["keys"][1]["token"]["label"], kTokenLabel);
  EXPECT_EQ(image["keys"][1]["token"]["manufacturer"], "SoftHSM project");

  const ProcessResult later = setup.Run({"--record", "r.json", "--sign-later", "b.bin", "in.bin", "o.bin", "742", "2"});
  EXPECT_EQ(later.exitStatus, 255);
  EXPECT_NE(later.out.find("--record cannot be given with --sign-later"), std::string::npos) << later.out;
}

// sealinfo --record passes a release that is as recorded and fails one
// whose output was changed since.
TEST(ReleaseRecordTest, SealinfoChecksAReleaseAgainstItsRecord) {
  TempDir dir;
  WriteRelease(dir);
  Json manifest = {{"images", Json::array()}};
  for (const Image& image : {kRelease[0], kRelease[2], kRelease[7]}) manifest["images"].push_back(ManifestImage(image, "release"));
  WriteManifest(dir, manifest);
  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--record", "release/record.json"}).exitStatus, 0);
  fs::create_directories(dir.File("keys"));
  fs::copy_file(dir.File("body.txt"), dir.File("keys/aes.txt"));
  fs::copy_file(dir.File("rsa_pub.txt"), dir.File("keys/rsa_pub.txt"));

  const ProcessResult good = RunSealinfo(dir, {"--record", "release/record.json", "--manifest", "release.json"});
  EXPECT_EQ(good.exitStatus, 0) << good.out << good.err;
  EXPECT_NE(good.out.find("rsa: ok (rsa, chip 742, as recorded)"), std::string::npos) << good.out;
  EXPECT_NE(good.out.find("3 of 3 recorded images checked: every one matches"), std::string::npos);

  Bytes changed = ReadBytes(dir.File("release/plain-a.sealed"));
  changed[20000] ^= 1;
  WriteBytes(dir.File("release/plain-a.sealed"), changed);
  const ProcessResult bad = RunSealinfo(dir, {"--record", "release/record.json", "--manifest", "release.json"});
  EXPECT_EQ(bad.exitStatus, 1);
  EXPECT_NE(bad.out.find("plain-a: failed: its SHA-256 is not the recorded one"), std::string::npos) << bad.out;
  const ProcessResult picked = RunSealinfo(dir, {"--record", "release/record.json", "--manifest", "release.json",
                                                 "release/rsa.sealed", "release/record-a.sealed"});
  EXPECT_EQ(picked.exitStatus, 0) << picked.out;
  EXPECT_NE(picked.out.find("2 of 3 recorded images"), std::string::npos) << picked.out;
  EXPECT_EQ(RunSealinfo(dir, {"--record", "release/record.json", "nothing"}).exitStatus, 2) << "not a file";
  EXPECT_EQ(RunSealinfo(dir, {"--record", "release/record.json", "--chip", "742"}).exitStatus, 1)
      << "two images are not for chip 742";
}

// Two batches on one token take turns: the second waits for the first's
// lock, and their logins do not interleave.
TEST(BatchTokenTest, TwoBatchesOnOneTokenTakeTurns) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenRelease release;
  WriteManifest(release.setup.dir, release.manifest);
  // The second batch spells the token's URIs otherwise: the same token, the same lock.
  std::string respelled = release.manifest.dump();
  for (std::size_t at = respelled.find("token=sealtest;"); at != std::string::npos;
       at = respelled.find("token=sealtest;", at)) {
    respelled.erase(at, std::strlen("token=sealtest;"));
    const std::size_t query = respelled.find('?', at);
    respelled.insert(query, ";token=seal%74est");
  }
  ASSERT_NE(respelled, release.manifest.dump());
  WriteText(release.setup.dir.File("respelled.json"), respelled);
  ProcessOptions options;
  options.environment = release.setup.token.Environment();
  options.environment.insert(options.environment.end(),
                             {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(), "SEALTOOL_FAULT=slow-login",
                              "SEALTOOL_FAULT_LOG=" + release.log, "XDG_RUNTIME_DIR=" + release.setup.dir.path()});
  options.workDir = release.setup.dir.path();
  auto first = std::async(std::launch::async, [&] { return RunSealtool(release.setup.dir, {"--batch", "release.json"}, options); });
  // The first holds its lock once it logs in.
  for (int i = 0; i < 500 && LogText(release.log).find("C_Login") == std::string::npos; ++i) {
    usleep(10000);
  }
  ASSERT_NE(LogText(release.log).find("C_Login"), std::string::npos);
  const ProcessResult second = RunSealtool(release.setup.dir, {"--batch", "respelled.json"}, options);
  const ProcessResult firstResult = first.get();
  EXPECT_EQ(firstResult.exitStatus, 0) << firstResult.out;
  EXPECT_EQ(second.exitStatus, 0) << second.out;
  EXPECT_NE(second.out.find("waiting for another run on the token"), std::string::npos) << second.out;
  const std::string once = "C_Initialize\nC_OpenSession\nC_Login\nC_Logout\nC_CloseSession\nC_Finalize\n";
  EXPECT_EQ(LogText(release.log), once + once) << "one after the other";
}

// sealinfo reads the body and seal keys from the files a run named, so that
// an image sealed with two key files can be verified with the same two.
TEST(SealinfoKeyFilesTest, TheKeysARunNamedVerifyItsImage) {
  TempDir dir;
  WriteRelease(dir);
  ASSERT_EQ(SingleRun(dir, kRelease[4], "seal.bin").exitStatus, 0);
  const struct {
    std::vector<std::string> keys;
    int exitStatus;
  } cases[] = {
      {{"--aes-key", "body.txt", "--seal-key", "seal.txt"}, 0},
      {{"--aes-key", "body.txt"}, 1},  // the seal key from aes.txt of the folder: there is none
      {{"--aes-key", "body.txt", "--seal-key", "body.txt"}, 1},
  };
  for (const auto& c : cases) {
    std::vector<std::string> args = {"--chip", "775", "--mode", "aes-seal", "--input", "in/seal-a.bin"};
    args.insert(args.end(), c.keys.begin(), c.keys.end());
    args.push_back("seal.bin");
    const ProcessResult run = RunSealinfo(dir, args);
    EXPECT_EQ(run.exitStatus, c.exitStatus) << run.out << run.err;
  }
}

ProcessResult RunIn(const TempDir& dir, const std::string& program, const std::vector<std::string>& args) {
  ProcessOptions options;
  options.workDir = dir.path();
  return RunProgram(program, args, options);
}

// A release signed elsewhere: the first pass writes each RSA image's block
// and a request, and no image; openssl signs the block; the second pass
// writes the release, each image as a one-step run writes it.
TEST(OfflineBatchTest, BlocksNowSignaturesLaterTheSameRelease) {
  if (!FileExists("/usr/bin/openssl")) GTEST_SKIP() << "needs openssl";
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const ProcessResult blocks = RunSealtool(dir, {"--batch", "release.json", "--sign-later", "signing"});
  ASSERT_EQ(blocks.exitStatus, 0) << blocks.out;
  EXPECT_EQ(Listing(dir.File("release")), std::vector<std::string>{}) << "the first pass writes no image";
  EXPECT_EQ(Listing(dir.File("signing")), (std::vector<std::string>{"request.json", "rsa.block"}));
  const Bytes requestBytes = ReadBytes(dir.File("signing/request.json"));
  const Json request = Json::parse(std::string(requestBytes.begin(), requestBytes.end()));
  ASSERT_EQ(request["images"].size(), 1u);
  const Json& entry = request["images"][0];
  EXPECT_EQ(entry["block"], "rsa.block");
  EXPECT_EQ(entry["signature"], "rsa.sig");
  EXPECT_EQ(entry["block_sha256"], Sha256Hex(ReadBytes(dir.File("signing/rsa.block"))));
  EXPECT_EQ(request["next"], "sealtool --batch release.json --signature signing");

  // Missing signature: nothing is written, and the image is named.
  const ProcessResult unsigned_ = RunSealtool(dir, {"--batch", "release.json", "--signature", "signing"});
  EXPECT_EQ(unsigned_.exitStatus, 255) << unsigned_.out;
  EXPECT_NE(unsigned_.out.find("rsa: failed"), std::string::npos) << unsigned_.out;
  EXPECT_EQ(Listing(dir.File("release")), std::vector<std::string>{});

  ASSERT_EQ(RunIn(dir, SEALKEY_EXE, {"export", "--private", "--out", "key.pem"}).exitStatus, 0);
  ASSERT_EQ(RunIn(dir, "/usr/bin/openssl", {"pkeyutl", "-decrypt", "-pkeyopt", "rsa_padding_mode:none", "-inkey",
                                            "key.pem", "-in", "signing/rsa.block", "-out", "signing/rsa.sig"})
                .exitStatus, 0);
  const ProcessResult signedRelease = RunSealtool(dir, {"--batch", "release.json", "--signature", "signing"});
  ASSERT_EQ(signedRelease.exitStatus, 0) << signedRelease.out;
  for (const Image& image : kRelease) {
    ASSERT_EQ(SingleRun(dir, image, std::string("single-") + image.name).exitStatus, 0);
    EXPECT_EQ(ReadBytes(dir.File("release/" + std::string(image.name) + ".sealed")),
              ReadBytes(dir.File(std::string("single-") + image.name)))
        << image.name;
  }
  // The key ids the request named are those of the image now sealed.
  EXPECT_NE(signedRelease.out.find(", key id " + entry["key_id_header"].get<std::string>()), std::string::npos);
}

// The key ids a block is prepared for are those of the public key the run
// itself read for the block, not of a second reading by other rules: an
// rsa_pub.txt padded with blank lines to one image's length is still an
// rsa_pub.txt, and nothing is left behind either way.
TEST(OfflineBatchTest, TheBlockNamesTheKeyTheRunRead) {
  TempDir dir;
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const auto keyIdOfRequest = [&dir]() {
    const Bytes bytes = ReadBytes(dir.File("signing/request.json"));
    return Json::parse(std::string(bytes.begin(), bytes.end()))["images"][0]["key_id_header"].get<std::string>();
  };
  ASSERT_EQ(RunSealtool(dir, {"--batch", "release.json", "--sign-later", "signing"}).exitStatus, 0);
  const std::string keyId = keyIdOfRequest();
  ASSERT_EQ(keyId.size(), 64u);

  std::string padded = Text(dir.File("rsa_pub.txt"));
  padded.append(32768 - padded.size(), '\n');  // one image's length
  WriteText(dir.File("rsa_pub.txt"), padded);
  std::filesystem::remove_all(dir.File("signing"));
  const ProcessResult blocks = RunSealtool(dir, {"--batch", "release.json", "--sign-later", "signing"});
  ASSERT_EQ(blocks.exitStatus, 0) << blocks.out;
  EXPECT_EQ(Listing(dir.File("signing")), (std::vector<std::string>{"request.json", "rsa.block"}));
  EXPECT_EQ(keyIdOfRequest(), keyId);
}

}  // namespace
}  // namespace sealtool::test
