// A whole release in one run: each image is what a single run writes, a
// failure anywhere writes nothing (or, with --keep-going, only what sealed),
// and everything the manifest names is checked before any token is asked.
#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>

#include <nlohmann/json.hpp>

#include "e2e_support.h"
#include "secure_expectation.h"
#include "test_keys.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {

namespace fs = std::filesystem;
using Json = nlohmann::json;

// One image of a release: its mode by chip and secure_boot, and the key
// options a single run takes for it (file keys of the folder).
struct Image {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  std::vector<std::string> keys;  // option, file, option, file...
};

const std::vector<std::string> kRsaKeys = {"--rsa-key", "rsa_priv.txt", "--rsa-pub", "rsa_pub.txt", "--aes-key", "body.txt"};
const std::vector<std::string> kSealKeys = {"--aes-key", "body.txt", "--seal-key", "seal.txt"};

const Image kRelease[] = {
    {"plain-a", 753, 0, {}},
    {"plain-b", 731, 0, {}},
    {"record-a", 753, 3, {"--aes-key", "body.txt"}},
    {"record-b", 0, 3, {"--aes-key", "body.txt"}},
    {"seal-a", 775, 1, kSealKeys},
    {"seal-a5", 753, 5, kSealKeys},
    {"seal-b", 731, 1, kSealKeys},
    {"rsa", 742, 2, kRsaKeys},
};

std::string ManifestField(const std::string& option) {
  if (option == "--rsa-key") return "rsa_key";
  if (option == "--rsa-pub") return "rsa_pub";
  if (option == "--aes-key") return "aes_key";
  return "seal_key";
}

Json ManifestImage(const Image& image, const std::string& folder) {
  Json entry = {{"name", image.name},
                {"input", "in/" + std::string(image.name) + ".bin"},
                {"output", folder + "/" + image.name + ".sealed"},
                {"chip", image.chip},
                {"secure_boot", image.secureBoot}};
  for (std::size_t i = 0; i + 1 < image.keys.size(); i += 2) entry[ManifestField(image.keys[i])] = image.keys[i + 1];
  return entry;
}

// The example keys as files and an input per image, in dir.
void WriteRelease(const TempDir& dir) {
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteText(dir.File("body.txt"), "#body\n" + HexKey(kBodyKey, "") + "\n");
  WriteText(dir.File("seal.txt"), ByteList(kSealKey));
  fs::create_directories(dir.File("in"));
  fs::create_directories(dir.File("release"));
  std::uint32_t seed = 30;
  for (const Image& image : kRelease) WriteBytes(dir.File("in/" + std::string(image.name) + ".bin"), ExampleInput(image.chip, ++seed));
}

void WriteManifest(const TempDir& dir, const Json& manifest, const std::string& name = "release.json") {
  WriteText(dir.File(name), manifest.dump(2));
}

Json ReleaseManifest() {
  Json images = Json::array();
  for (const Image& image : kRelease) images.push_back(ManifestImage(image, "release"));
  return {{"images", images}};
}

ProcessResult SingleRun(const TempDir& dir, const Image& image, const std::string& output) {
  std::vector<std::string> args = image.keys;
  args.insert(args.end(), {"in/" + std::string(image.name) + ".bin", output, std::to_string(image.chip),
                           std::to_string(image.secureBoot)});
  return RunSealtool(dir, args);
}

std::string Sha256Hex(const Bytes& bytes) {
  unsigned char digest[32];
  mbedtls_sha256_ret(bytes.data(), bytes.size(), digest, 0);
  std::string hex;
  for (const unsigned char byte : digest) hex += Format("%02x", byte);
  return hex;
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

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
  ProcessResult Run(const std::vector<std::string>& args, const std::string& fault = "none") const {
    return setup.Run(args, {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(), "SEALTOOL_FAULT=" + fault,
                            "SEALTOOL_FAULT_LOG=" + log});
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

}  // namespace
}  // namespace sealtool::test
