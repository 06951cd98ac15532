// The release gate: sealinfo --record passes only images it read from the
// files it was given and checked against anchors of its own (the manifest,
// a key, a mode); the record alone is a claim.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "release_support.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

namespace fs = std::filesystem;

// The eight-image release, sealed with its record at release/record.json.
void SealRelease(const TempDir& dir) {
  WriteRelease(dir);
  WriteManifest(dir, ReleaseManifest());
  const ProcessResult batch = RunSealtool(dir, {"--batch", "release.json", "--record", "release/record.json"});
  ASSERT_EQ(batch.exitStatus, 0) << batch.out;
}

ProcessResult Gate(const TempDir& dir, const std::vector<std::string>& args, const std::string& from = "") {
  ProcessOptions options;
  options.workDir = from.empty() ? dir.path() : dir.File(from);
  return RunOwnProgram(SEALINFO_EXE, args, options);
}

// A whole release passes against its manifest: the AES-seal images with
// their own seal key file, the chip-731 images with the recorded input.
TEST(ReleaseGateTest, AReleaseAsSealedPassesAgainstItsManifest) {
  TempDir dir;
  SealRelease(dir);
  const ProcessResult gate = Gate(dir, {"--record", "release/record.json", "--manifest", "release.json"});
  EXPECT_EQ(gate.exitStatus, 0) << gate.out << gate.err;
  for (const Image& image : kRelease) {
    EXPECT_NE(gate.out.find(std::string(image.name) + ": ok ("), std::string::npos) << image.name << "\n" << gate.out;
  }
  EXPECT_NE(gate.out.find("8 of 8 recorded images checked: every one matches"), std::string::npos) << gate.out;

  // Without an anchor the record vouches for itself: never ok.
  const ProcessResult alone = Gate(dir, {"--record", "release/record.json"});
  EXPECT_EQ(alone.exitStatus, 3) << alone.out;
  EXPECT_NE(alone.out.find("its mode and keys are the record's own claims"), std::string::npos) << alone.out;

  // The RSA image with the gate's own key and mode.
  const ProcessResult pinned =
      Gate(dir, {"--record", "release/record.json", "--expect-key", "rsa_pub.txt", "--mode", "rsa", "release/rsa.sealed"});
  EXPECT_EQ(pinned.exitStatus, 0) << pinned.out << pinned.err;
}

// The RSA image swapped for a plain image of the same input, and the record
// edited to match: no anchor lets it pass.
void SwapRsaForPlain(const TempDir& dir) {
  ASSERT_EQ(RunSealtool(dir, {"in/rsa.bin", "plain.bin", "742", "0"}).exitStatus, 0);
  fs::copy_file(dir.File("plain.bin"), dir.File("release/rsa.sealed"), fs::copy_options::overwrite_existing);
  Json record = Json::parse(Text(dir.File("release/record.json")));
  Json& image = record["images"][7];
  image["mode"] = "plain";
  image["secure_boot"] = 0;
  image["output"]["sha256"] = Sha256Hex(ReadBytes(dir.File("plain.bin")));
  image["keys"] = Json::array();
  for (const char* field : {"key_id_header", "key_id_spki", "signature", "image_digest", "header_digest"}) {
    image.erase(field);
  }
  WriteText(dir.File("release/record.json"), record.dump(2));
}

// seal-a sealed again under a seal key of the forger's, kept beside the
// record, which now names it.
void SwapSealKey(const TempDir& dir) {
  WriteText(dir.File("release/evil-seal.txt"),
            "0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff 0x10\n");
  ASSERT_EQ(RunSealtool(dir, {"--aes-key", "body.txt", "--seal-key", "release/evil-seal.txt", "in/seal-a.bin",
                              "release/seal-a.sealed", "775", "1"}).exitStatus, 0);
  Json record = Json::parse(Text(dir.File("release/record.json")));
  Json& image = record["images"][4];
  image["output"]["sha256"] = Sha256Hex(ReadBytes(dir.File("release/seal-a.sealed")));
  image["keys"][1]["reference"] = "evil-seal.txt";
  WriteText(dir.File("release/record.json"), record.dump(2));
}

// The RSA image signed again with the forger's key, whose public key file
// lies beside the record, which now names it and its ids.
void SwapRsaKey(const TempDir& dir) {
  fs::create_directories(dir.File("evil"));
  WriteTestRsaKeyFiles(dir.File("evil"), 2);
  ASSERT_EQ(RunSealtool(dir, {"--rsa-key", "evil/rsa_priv.txt", "--rsa-pub", "evil/rsa_pub.txt", "--aes-key",
                              "body.txt", "in/rsa.bin", "release/rsa.sealed", "742", "2"}).exitStatus, 0);
  fs::copy_file(dir.File("evil/rsa_pub.txt"), dir.File("release/evil-pub.txt"));
  const ProcessResult ids = RunOwnProgram(SEALKEY_EXE, {"id", "--json", dir.File("release/rsa.sealed")}, {});
  ASSERT_EQ(ids.exitStatus, 0) << ids.err;
  const Json keyIds = Json::parse(ids.out);
  Json record = Json::parse(Text(dir.File("release/record.json")));
  Json& image = record["images"][7];
  image["output"]["sha256"] = Sha256Hex(ReadBytes(dir.File("release/rsa.sealed")));
  image["key_id_header"] = keyIds["key_id_header"];
  image["key_id_spki"] = keyIds["key_id_spki"];
  for (Json& key : image["keys"]) {
    if (key["role"] == "rsa_pub") key["reference"] = "evil-pub.txt";
  }
  WriteText(dir.File("release/record.json"), record.dump(2));
}

TEST(ReleaseGateTest, AForgedReleaseNeverPasses) {
  const struct {
    const char* name;
    void (*forge)(const TempDir& dir);
    std::vector<std::string> args;
    int exitStatus;
    const char* message;
    const char* from;
  } cases[] = {
      {"a tampered file at a recorded name, elsewhere",
       [](const TempDir& dir) {
         fs::create_directories(dir.File("elsewhere"));
         Bytes image = ReadBytes(dir.File("release/plain-a.sealed"));
         image[20000] ^= 1;
         WriteBytes(dir.File("elsewhere/plain-a"), image);
       },
       {"--record", "../release/record.json", "--manifest", "../release.json", "plain-a"}, 1,
       "plain-a: failed: its SHA-256 is not the recorded one", "elsewhere"},
      {"a file that matches nothing",
       [](const TempDir& dir) { WriteBytes(dir.File("other.bin"), Bytes(32768, 7)); },
       {"--record", "release/record.json", "--manifest", "release.json", "other.bin"}, 1,
       "other.bin: failed: matches no image of the record", ""},
      {"a name that is not a file", [](const TempDir&) {},
       {"--record", "release/record.json", "--manifest", "release.json", "plain-a"}, 2, "", ""},
      {"a record without images",
       [](const TempDir& dir) { WriteText(dir.File("release/record.json"), R"({"tool": "sealtool", "images": []})"); },
       {"--record", "release/record.json", "--manifest", "release.json"}, 1, "the record holds no image", ""},
      {"a record with a key given twice",
       [](const TempDir& dir) {
         std::string text = Text(dir.File("release/record.json"));
         text.replace(text.find("\"chip\""), 6, "\"chip\": 742, \"chip\"");
         WriteText(dir.File("release/record.json"), text);
       },
       {"--record", "release/record.json", "--manifest", "release.json"}, 2, "", ""},
      {"RSA swapped for plain, against the manifest", SwapRsaForPlain,
       {"--record", "release/record.json", "--manifest", "release.json"}, 1,
       "rsa: failed: the manifest says rsa mode, chip 742; the record plain mode, chip 742", ""},
      {"RSA swapped for plain, against the mode", SwapRsaForPlain,
       {"--record", "release/record.json", "--mode", "rsa", "release/rsa.sealed"}, 1,
       "rsa: failed: the record says plain mode, the gate expects rsa", ""},
      {"RSA swapped for plain, with a key alone", SwapRsaForPlain,
       {"--record", "release/record.json", "--expect-key", "rsa_pub.txt", "release/rsa.sealed"}, 3,
       "rsa: unverified (plain, chip 742, as recorded)", ""},
      {"a seal key swapped, against the manifest", SwapSealKey,
       {"--record", "release/record.json", "--manifest", "release.json"}, 1,
       "seal-a: failed: its seal_key is not the manifest's", ""},
      {"a seal key swapped, against the mode", SwapSealKey,
       {"--record", "release/record.json", "--mode", "aes-seal", "release/seal-a.sealed"}, 3,
       "its mode and keys are the record's own claims", ""},
      {"an RSA key swapped, against the manifest", SwapRsaKey,
       {"--record", "release/record.json", "--manifest", "release.json"}, 1,
       "rsa: failed: it carries another key than the manifest's", ""},
      {"an RSA key swapped, against the mode", SwapRsaKey,
       {"--record", "release/record.json", "--mode", "rsa", "release/rsa.sealed"}, 3,
       "its mode and keys are the record's own claims", ""},
      {"an RSA key swapped, against the key", SwapRsaKey,
       {"--record", "release/record.json", "--expect-key", "rsa_pub.txt", "release/rsa.sealed"}, 1,
       "expected key", ""},
      {"an image left out of the record",
       [](const TempDir& dir) {
         Json record = Json::parse(Text(dir.File("release/record.json")));
         record["images"].erase(7);
         WriteText(dir.File("release/record.json"), record.dump(2));
       },
       {"--record", "release/record.json", "--manifest", "release.json"}, 1,
       "rsa: failed: an image of the manifest that the record does not hold", ""},
      {"another chip than the gate's",
       [](const TempDir&) {}, {"--record", "release/record.json", "--chip", "742", "--mode", "plain",
                               "release/plain-a.sealed"}, 1, "the record says chip 753, the gate expects 742", ""},
      {"an input changed since",
       [](const TempDir& dir) {
         Bytes input = ReadBytes(dir.File("in/seal-b.bin"));
         input[4000] ^= 1;
         WriteBytes(dir.File("in/seal-b.bin"), input);
       },
       {"--record", "release/record.json", "--manifest", "release.json"}, 1, "seal-b: failed: its input", ""},
  };
  for (const auto& c : cases) {
    TempDir dir;
    SealRelease(dir);
    c.forge(dir);
    const ProcessResult gate = Gate(dir, c.args, c.from);
    EXPECT_EQ(gate.exitStatus, c.exitStatus) << c.name << "\n" << gate.out << gate.err;
    EXPECT_NE(gate.out.find(c.message), std::string::npos) << c.name << "\n" << gate.out;
  }
}

// Chip 731 walks the DRAM table in its own way: a good plain image of it,
// inspected without --chip, is at worst unverified, never failed.
TEST(ReleaseGateTest, AGuessedChipNeverFailsAGoodGroupBImage) {
  TempDir dir;
  SealRelease(dir);
  const ProcessResult asChip0 = Gate(dir, {"--chip", "0", "--mode", "plain", "release/plain-b.sealed"});
  ASSERT_EQ(asChip0.exitStatus, 1) << "the image must tell the two chips apart\n" << asChip0.out;
  const ProcessResult guessed = Gate(dir, {"release/plain-b.sealed"});
  EXPECT_EQ(guessed.exitStatus, 3) << guessed.out << guessed.err;
  EXPECT_NE(guessed.out.find("chip: 731 (assumed from the marker"), std::string::npos) << guessed.out;
  EXPECT_EQ(guessed.out.find("FAILED"), std::string::npos) << guessed.out;
  EXPECT_EQ(Gate(dir, {"--chip", "731", "--mode", "plain", "release/plain-b.sealed"}).exitStatus, 0);
}

// --check seals every image again and compares: equal passes, a changed
// byte is named with its region, an image that cannot be sealed is 255,
// and nothing is ever written.
TEST(ReleaseCheckTest, EveryImageSealedAgainEqualsItsOutput) {
  TempDir dir;
  SealRelease(dir);
  const std::vector<std::string> released = Listing(dir.File("release"));
  const ProcessResult same = RunSealtool(dir, {"--batch", "release.json", "--check"});
  EXPECT_EQ(same.exitStatus, 0) << same.out;
  EXPECT_NE(same.out.find("check: 8 images sealed again, each equal to its output byte for byte\n"), std::string::npos)
      << same.out;

  const struct {
    const char* image;
    std::size_t offset;
    const char* said;
  } changes[] = {
      {"seal-b", 20000, "seal-b: differs from release/seal-b.sealed: bytes 20000-20000 first (body area)"},
      {"rsa", 400, "rsa: differs from release/rsa.sealed: bytes 400-400 first (RSA signature)"},
      {"plain-a", 50, "plain-a: differs from release/plain-a.sealed: bytes 50-50 first (checksum field)"},
  };
  for (const auto& change : changes) {
    const std::string path = dir.File("release/" + std::string(change.image) + ".sealed");
    const Bytes good = ReadBytes(path);
    Bytes changed = good;
    changed[change.offset] ^= 0x5a;
    WriteBytes(path, changed);
    const ProcessResult differs = RunSealtool(dir, {"--batch", "release.json", "--check"});
    EXPECT_EQ(differs.exitStatus, 1) << differs.out;
    EXPECT_NE(differs.out.find(change.said), std::string::npos) << differs.out;
    EXPECT_NE(differs.out.find("check: 1 of 8 images differ"), std::string::npos) << differs.out;
    EXPECT_EQ(ReadBytes(path), changed) << "a check writes nothing";
    WriteBytes(path, good);
  }

  // Another seal key: the image cannot be what the manifest seals.
  Json otherKey = ReleaseManifest();
  otherKey["images"][4]["seal_key"] = "other-seal.txt";
  WriteText(dir.File("other-seal.txt"), "0x01 0x02 0x03 0x04 0x05 0x06 0x07 0x08 0x09 0x0a 0x0b 0x0c 0x0d 0x0e 0x0f 0x10\n");
  WriteManifest(dir, otherKey, "other.json");
  const ProcessResult wrongKey = RunSealtool(dir, {"--batch", "other.json", "--check"});
  EXPECT_EQ(wrongKey.exitStatus, 1) << wrongKey.out;
  EXPECT_NE(wrongKey.out.find("seal-a: differs"), std::string::npos) << wrongKey.out;

  // A key that cannot be read: the image cannot be sealed again.
  Json broken = ReleaseManifest();
  broken["images"][2]["aes_key"] = "seal.txt";
  WriteManifest(dir, broken, "broken.json");
  const ProcessResult notSealed = RunSealtool(dir, {"--batch", "broken.json", "--check"});
  EXPECT_EQ(notSealed.exitStatus, 255) << notSealed.out;
  EXPECT_NE(notSealed.out.find("record-a: cannot be sealed again"), std::string::npos) << notSealed.out;

  fs::remove(dir.File("release/plain-b.sealed"));
  const ProcessResult missing = RunSealtool(dir, {"--batch", "release.json", "--check"});
  EXPECT_EQ(missing.exitStatus, 1) << missing.out;
  EXPECT_NE(missing.out.find("plain-b: differs: release/plain-b.sealed is not a readable"), std::string::npos);
  std::vector<std::string> now = released;
  now.erase(std::find(now.begin(), now.end(), "plain-b.sealed"));
  EXPECT_EQ(Listing(dir.File("release")), now) << "nothing was written";

  for (const std::vector<std::string>& refused :
       {std::vector<std::string>{"--batch", "release.json", "--check", "--record", "r.json"},
        std::vector<std::string>{"--batch", "release.json", "--check", "--keep-going"},
        std::vector<std::string>{"--batch", "release.json", "--check", "--sign-later", "s"}}) {
    const ProcessResult run = RunSealtool(dir, refused);
    EXPECT_EQ(run.exitStatus, 255) << run.out;
    EXPECT_NE(run.out.find("cannot be given with --check"), std::string::npos) << run.out;
  }
}

}  // namespace
}  // namespace sealtool::test
