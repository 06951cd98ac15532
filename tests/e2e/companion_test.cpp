// sealinfo and rsa_genkey, run as built: sealinfo passes images that sealtool
// wrote and fails the right check on damaged ones; rsa_genkey's keys work.
#include <gtest/gtest.h>
#include <mbedtls/bignum.h>
#include <mbedtls/sha256.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <functional>
#include <map>
#include <sstream>

#include "e2e_support.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

ProcessResult RunSealinfo(const TempDir& dir, const std::vector<std::string>& args) {
  ProcessOptions options;
  options.workDir = dir.path();
  return RunOwnProgram(SEALINFO_EXE, args, options);
}

ProcessResult RunGenkey(const TempDir& dir, const std::vector<std::string>& args) {
  ProcessOptions options;
  options.workDir = dir.path();
  return RunOwnProgram(RSA_GENKEY_EXE, args, options);
}

std::string Collapse(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c != ' ' || (!out.empty() && out.back() != ' ')) out += c;
  }
  return out;
}

// "name verdict" of every check line of a text report.
std::vector<std::string> CheckLines(const std::string& report) {
  std::vector<std::string> lines;
  std::istringstream in(report);
  bool inChecks = false;
  for (std::string line; std::getline(in, line);) {
    if (line == "checks:") {
      inChecks = true;
    } else if (inChecks && line.rfind("  ", 0) == 0) {
      lines.push_back(Collapse(line.substr(2, line.find(':') - 2)));
    } else {
      inChecks = false;
    }
  }
  return lines;
}

struct Sealed {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  bool zeroSealRegions;  // input bytes 448-511 zero, for --assume-zero
  std::vector<std::string> expectedChecks;
  bool withInput = false;  // --input in.bin
};

void PrintTo(const Sealed& c, std::ostream* os) { *os << c.name; }

// Seals an example image in dir with a token-form aes.txt and the test RSA key.
void SealExample(const TempDir& dir, const Sealed& c) {
  Bytes input = ExampleInput(c.chip, 8);
  if (c.zeroSealRegions) std::fill(input.begin() + 448, input.begin() + 512, 0);
  WriteBytes(dir.File("in.bin"), input);
  WriteText(dir.File("aes.txt"), "#k\n2b7e151628aed2a6abf7158809cf4f3c\n");
  WriteTestRsaKeyFiles(dir.path(), 1);
  const ProcessResult run = RunSealtool(
      dir, {"in.bin", "out.bin", std::to_string(c.chip), std::to_string(c.secureBoot)});
  ASSERT_EQ(run.exitStatus, 0) << run.out;
}

std::vector<std::string> SealinfoArgs(const Sealed& c) {
  std::vector<std::string> args = {"--chip", std::to_string(c.chip)};
  if (c.zeroSealRegions) args.push_back("--assume-zero");
  if (c.withInput) args.insert(args.end(), {"--input", "in.bin"});
  args.push_back("out.bin");
  return args;
}

class SealinfoPassTest : public testing::TestWithParam<Sealed> {};

TEST_P(SealinfoPassTest, EveryCheckPassesOnWhatSealtoolWrote) {
  const Sealed& c = GetParam();
  TempDir dir;
  SealExample(dir, c);
  const ProcessResult info = RunSealinfo(dir, SealinfoArgs(c));
  EXPECT_EQ(info.exitStatus, 0) << info.out << info.err;
  EXPECT_EQ(CheckLines(info.out), c.expectedChecks) << info.out;
  EXPECT_NE(info.out.find("\nresult: ok\n"), std::string::npos);
}

const std::vector<std::string> kSealedAes = {"image digest ok", "digest seal ok", "checksum ok",
                                             "dram count ok"};
// Chips 742 and 775 clear the signature span that no digest covers.
const std::vector<std::string> kSealedAesCleared = {"image digest ok", "digest seal ok",
                                                    "checksum ok", "dram count ok",
                                                    "cleared bytes ok"};
const std::vector<std::string> kSealedAesInput = {"image digest ok", "digest seal ok",
                                                  "checksum ok", "dram count ok", "input ok"};
const std::vector<std::string> kSealedRsa = {"image digest ok", "rsa signature ok",
                                             "public key ok", "checksum ok", "dram count ok"};
const std::vector<std::string> kSealedRsaInput = {"image digest ok", "rsa signature ok",
                                                  "public key ok", "checksum ok",
                                                  "dram count ok", "input ok"};

// A plain image of an input with a key record is told from a key-record one
// by its input only; --mode is the other way.
INSTANTIATE_TEST_SUITE_P(
    Modes, SealinfoPassTest,
    testing::Values(
        Sealed{"Plain753", 753, 0, false, {"checksum ok", "dram count ok", "input ok"}, true},
        Sealed{"Plain0", 0, 0, false, {"checksum ok", "dram count ok", "input ok"}, true},
        Sealed{"KeyRecord753", 753, 3, false, {"checksum ok", "wrapped key ok"}},
        Sealed{"KeyRecord731", 731, 3, false, {"checksum ok", "wrapped key ok", "input ok"}, true},
        Sealed{"Rsa742", 742, 2, false, kSealedRsa},
        Sealed{"Rsa742Input", 742, 2, false, kSealedRsaInput, true},
        Sealed{"AesSeal742", 742, 1, false, kSealedAesCleared},
        Sealed{"AesSeal775", 775, 1, false, kSealedAesCleared},
        Sealed{"AesSeal753AssumeZero", 753, 1, true, kSealedAes},
        Sealed{"AesSeal0AssumeZero", 0, 7, true, kSealedAes},
        Sealed{"AesSeal753Input", 753, 1, false, kSealedAesInput, true},
        Sealed{"AesSeal764Input", 764, 5, false, kSealedAesInput, true}),
    [](const testing::TestParamInfo<Sealed>& info) { return std::string(info.param.name); });

struct Damage {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  std::size_t offset;  // byte flipped; 0: none
  const char* otherKey;  // aes.txt put in place after sealing; nullptr: none
  std::vector<std::string> failed;  // the checks that must fail
  const char* mode = nullptr;       // --mode; nullptr: detected
  int exitStatus = 1;
  bool giveChip = true;  // --chip; false: told from the image
};

void PrintTo(const Damage& c, std::ostream* os) { *os << c.name; }

class SealinfoDamageTest : public testing::TestWithParam<Damage> {};

TEST_P(SealinfoDamageTest, TheRightCheckFails) {
  const Damage& c = GetParam();
  TempDir dir;
  SealExample(dir, Sealed{c.name, c.chip, c.secureBoot, false, {}});
  if (c.offset != 0) {
    Bytes image = ReadBytes(dir.File("out.bin"));
    image[c.offset] ^= 0x01;
    WriteBytes(dir.File("out.bin"), image);
  }
  if (c.otherKey != nullptr) WriteText(dir.File("aes.txt"), c.otherKey);
  std::vector<std::string> args;
  if (c.giveChip) args = {"--chip", std::to_string(c.chip)};
  if (c.mode != nullptr) args.insert(args.end(), {"--mode", c.mode});
  args.push_back("out.bin");
  const ProcessResult info = RunSealinfo(dir, args);
  EXPECT_EQ(info.exitStatus, c.exitStatus) << info.out;
  std::vector<std::string> failed;
  for (const std::string& line : CheckLines(info.out)) {
    if (line.size() > 7 && line.compare(line.size() - 6, 6, "FAILED") == 0) {
      failed.push_back(line.substr(0, line.size() - 7));
    }
  }
  EXPECT_EQ(failed, c.failed) << info.out;
}

const char kOtherKey[] = "000102030405060708090a0b0c0d0e0f\n";

INSTANTIATE_TEST_SUITE_P(
    Flips, SealinfoDamageTest,
    testing::Values(
        Damage{"RsaBody", 742, 2, 20000, nullptr, {"image digest", "checksum"}},
        Damage{"RsaHeader", 742, 2, 120, nullptr, {"image digest", "rsa signature", "checksum"}},
        Damage{"RsaSignature", 742, 2, 400, nullptr, {"rsa signature"}},
        Damage{"RsaModulus", 742, 2, 200, nullptr, {"rsa signature", "public key"}},
        Damage{"RsaWrongBodyKey", 742, 2, 0, kOtherKey, {"image digest", "checksum"}},
        Damage{"AesBody", 775, 1, 512, nullptr, {"image digest", "checksum"}},
        Damage{"AesHeader", 775, 1, 130, nullptr, {"image digest", "digest seal", "checksum"}},
        Damage{"AesSeal", 775, 1, 470, nullptr, {"digest seal"}},
        Damage{"AesImageDigest", 775, 1, 500, nullptr, {"image digest", "digest seal"}},
        Damage{"AesWrongKey", 775, 1, 0, kOtherKey, {"image digest", "checksum"}},
        Damage{"PlainBody", 753, 0, 30000, nullptr, {"checksum"}, "plain"},
        // Detected, a plain image whose checksum fails may be a sealed one:
        // no check fails, none settles it.
        Damage{"PlainBodyDetected", 753, 0, 30000, nullptr, {}, nullptr, 3},
        // The exponent's low bit: still told as RSA, and the signature fails.
        Damage{"RsaExponentLowBit", 742, 2, 320, nullptr, {"rsa signature", "public key"}},
        // Without --chip it may as well be a chip-753 AES-seal image whose
        // overwritten bytes are unknown: nothing fails on that guess.
        Damage{"RsaExponentLowBitDetected", 742, 2, 320, nullptr, {}, nullptr, 3, false},
        // The 96 bytes in front of the digest seal, which no digest covers.
        Damage{"AesClearedSpan775", 775, 1, 400, nullptr, {"cleared bytes"}},
        Damage{"AesClearedSpan742", 742, 1, 352, nullptr, {"cleared bytes"}, "aes-seal"},
        // Without the user's key a key-record image is not taken for plain.
        Damage{"KeyRecordWrongKeyDetected", 753, 3, 0, kOtherKey, {"wrapped key"}},
        Damage{"PlainDramCount", 753, 0, 56, nullptr, {"checksum", "dram count"}, "plain"},
        Damage{"KeyRecordWrongKey", 753, 3, 0, kOtherKey, {"wrapped key"}, "key-record"},
        Damage{"KeyRecordWrappedKey", 753, 3, 131, nullptr, {"checksum", "wrapped key"},
               "key-record"}),
    [](const testing::TestParamInfo<Damage>& info) { return std::string(info.param.name); });

TEST(SealinfoTest, OverwrittenInputBytesAreNotVerifiableWithoutAssumption) {
  TempDir dir;
  SealExample(dir, Sealed{"", 753, 1, false, {}});
  const std::vector<std::string> unverifiable = {
      "image digest not verifiable", "digest seal not verifiable", "checksum not verifiable",
      "dram count ok"};
  const ProcessResult told = RunSealinfo(dir, {"--mode", "aes-seal", "out.bin"});
  EXPECT_EQ(told.exitStatus, 3);
  EXPECT_EQ(CheckLines(told.out), unverifiable);
  EXPECT_NE(told.out.find("\nresult: unverified\n"), std::string::npos);
  // Detected, such a seal cannot be told from a damaged plain image.
  const ProcessResult info = RunSealinfo(dir, {"out.bin"});
  EXPECT_EQ(info.exitStatus, 3);
  std::vector<std::string> withMode = unverifiable;
  withMode.push_back("mode not verifiable");
  EXPECT_EQ(CheckLines(info.out), withMode);
  EXPECT_NE(info.out.find("chip: 753 (assumed from the marker"), std::string::npos);
  EXPECT_NE(info.out.find("warning: the digest seal uses a key of 16 zero bytes"),
            std::string::npos);
}

// A wrong --chip fails the image; the report names the chip it passes as.
TEST(SealinfoTest, AWrongChipIsNamedAsTheLikelyCause) {
  TempDir dir;
  SealExample(dir, Sealed{"", 775, 1, false, {}});
  const ProcessResult wrong = RunSealinfo(dir, {"--chip", "0", "out.bin"});
  EXPECT_EQ(wrong.exitStatus, 1) << wrong.out;
  EXPECT_NE(wrong.out.find("chip           FAILED: the checks fail as chip 0 but not as chip 775, which the "
                           "marker points to: is --chip right?"),
            std::string::npos)
      << wrong.out;
  // A damaged image fails as every chip: nothing is suggested.
  Bytes image = ReadBytes(dir.File("out.bin"));
  image[20000] ^= 1;
  WriteBytes(dir.File("damaged.bin"), image);
  const ProcessResult damaged = RunSealinfo(dir, {"--chip", "775", "damaged.bin"});
  EXPECT_EQ(damaged.exitStatus, 1);
  EXPECT_EQ(damaged.out.find("is --chip right?"), std::string::npos) << damaged.out;
}

TEST(SealinfoTest, JsonCarriesTheSameVerdicts) {
  TempDir dir;
  SealExample(dir, Sealed{"", 742, 2, false, {}});
  Bytes image = ReadBytes(dir.File("out.bin"));
  image[400] ^= 0x80;
  WriteBytes(dir.File("bad.bin"), image);
  for (const std::string file : {"out.bin", "bad.bin"}) {
    const ProcessResult text = RunSealinfo(dir, {"--chip", "742", file});
    const ProcessResult json = RunSealinfo(dir, {"--chip", "742", "--json", file});
    EXPECT_EQ(json.exitStatus, text.exitStatus);
    WriteText(dir.File("report.json"), json.out);
    ProcessOptions options;
    options.workDir = dir.path();
    const ProcessResult parsed = RunProgram(
        "/usr/bin/python3",
        {"-c",
         "import json\nd = json.load(open('report.json'))\n"
         "print('\\n'.join(c['name'] + ' ' + c['verdict'] for c in d['checks']))\n"
         "print(d['result'], d['mode'], d['chip'], d['dram_walk_count'], len(d['dram_entries']))"},
        options);
    ASSERT_EQ(parsed.exitStatus, 0) << parsed.err << json.out;
    std::string expected;
    for (const std::string& line : CheckLines(text.out)) expected += line + "\n";
    expected += std::string(text.exitStatus == 0 ? "ok" : "failed") + " rsa 742 6 7\n";
    EXPECT_EQ(parsed.out, expected);
  }
}

TEST(SealinfoTest, UsageAndUnreadableImages) {
  TempDir dir;
  WriteBytes(dir.File("short.bin"), Bytes(100, 0));
  Bytes both(32768, 0);
  both[48] = both[64] = 0x55;
  both[49] = both[65] = 0xAA;
  WriteBytes(dir.File("both.bin"), both);
  const std::vector<std::vector<std::string>> cases = {
      {}, {"--bogus", "x.bin"}, {"--mode", "nonsense", "x.bin"}, {"absent.bin"},
      {"short.bin"}, {"both.bin"}, {"--chip"}, {"a.bin", "b.bin"}};
  for (const auto& args : cases) {
    const ProcessResult info = RunSealinfo(dir, args);
    EXPECT_EQ(info.exitStatus, 2) << (args.empty() ? "" : args[0]);
    EXPECT_NE(info.err, "");
  }
  const ProcessResult help = RunSealinfo(dir, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("usage: sealinfo"), std::string::npos);
  const ProcessResult chosen = RunSealinfo(dir, {"--chip", "0", "--mode", "plain", "both.bin"});
  EXPECT_EQ(chosen.exitStatus, 1);  // a marker alone does not make the checksum hold
}

std::uint8_t TopByteOfN(const std::string& path) {
  mbedtls_mpi n;
  mbedtls_mpi_init(&n);
  std::FILE* stream = std::fopen(path.c_str(), "rb");
  std::uint8_t modulus[128] = {};
  const bool ok = stream != nullptr && mbedtls_mpi_read_file(&n, 16, stream) == 0 &&
                  mbedtls_mpi_bitlen(&n) == 1024 &&
                  mbedtls_mpi_write_binary(&n, modulus, sizeof modulus) == 0;
  if (stream != nullptr) std::fclose(stream);
  mbedtls_mpi_free(&n);
  return ok ? modulus[0] : 0;
}

TEST(RsaGenkeyTest, KeysSealAndVerifyWithTopByteFF) {
  for (int round = 0; round < 3; ++round) {
    TempDir dir;
    const ProcessResult made = RunGenkey(dir, {"--aes"});
    ASSERT_EQ(made.exitStatus, 0) << made.err;
    EXPECT_EQ(TopByteOfN(dir.File("rsa_priv.txt")), 0xFF);
    EXPECT_EQ(TopByteOfN(dir.File("rsa_pub.txt")), 0xFF);
    struct stat info {};
    ASSERT_EQ(stat(dir.File("rsa_priv.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(dir.File("aes.txt").c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // A fresh key refuses about one image in 256 or fewer (a header digest
    // ending in 0xFF above N); such an image is swapped for the next one.
    ProcessResult sealed;
    for (std::uint32_t seed = 11 + 10 * round;; ++seed) {
      WriteBytes(dir.File("in.bin"), ExampleInput(742, seed));
      sealed = RunSealtool(dir, {"in.bin", "out.bin", "742", "2"});
      if (sealed.exitStatus == 0) break;
      ASSERT_NE(sealed.out.find("The header digest is not below the modulus: its last byte 0xff"),
                std::string::npos)
          << sealed.out;
    }
    EXPECT_NE(sealed.out.find("AES-Key:\r\n"), std::string::npos);
    const ProcessResult verified = RunSealinfo(dir, {"--chip", "742", "out.bin"});
    EXPECT_EQ(verified.exitStatus, 0) << verified.out;
    EXPECT_EQ(CheckLines(verified.out), kSealedRsa);
  }
}

TEST(RsaGenkeyTest, ExistingFilesAreKeptWithoutForce) {
  TempDir dir;
  WriteText(dir.File("rsa_pub.txt"), "mine\n");
  const ProcessResult refused = RunGenkey(dir, {});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("rsa_pub.txt already exists"), std::string::npos);
  EXPECT_EQ(dir.List(), std::vector<std::string>{"rsa_pub.txt"});
  EXPECT_EQ(ReadBytes(dir.File("rsa_pub.txt")), Bytes({'m', 'i', 'n', 'e', '\n'}));

  const ProcessResult forced = RunGenkey(dir, {"--force"});
  EXPECT_EQ(forced.exitStatus, 0);
  EXPECT_EQ(TopByteOfN(dir.File("rsa_pub.txt")), 0xFF);
  EXPECT_EQ(RunGenkey(dir, {"--nonsense"}).exitStatus, 2);
  const ProcessResult help = RunGenkey(dir, {"--help"});
  EXPECT_NE(help.out.find("top byte is 0xFF"), std::string::npos);
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// What a folder holds, name and contents.
std::map<std::string, Bytes> Snapshot(const TempDir& dir) {
  std::map<std::string, Bytes> files;
  for (const std::string& name : dir.List()) {
    files[name] = std::filesystem::is_directory(dir.File(name)) ? Bytes{} : ReadBytes(dir.File(name));
  }
  return files;
}

void MakeOldKeyPair(const TempDir& dir) {
  WriteTestRsaKeyFiles(dir.path(), 3);
  WriteText(dir.File("aes.txt"), "#old\n000102030405060708090a0b0c0d0e0f\n");
}

TEST(RsaGenkeyTest, AFailedRunChangesNoKeyFile) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> breakage;
    long fileSizeLimit;
    const char* message;
  };
  const std::vector<Case> cases = {
      // The limit stops the private key part way: no death by SIGXFSZ, no
      // half key file.
      {"FileSizeLimit", [](const TempDir&) {}, 600, "writing rsa_priv.txt failed: File too large; no key file was changed"},
      // rsa_pub.txt cannot be replaced: rsa_priv.txt must not be either.
      {"PublicKeyNameIsAFolder",
       [](const TempDir& dir) {
         std::remove(dir.File("rsa_pub.txt").c_str());
         std::filesystem::create_directory(dir.File("rsa_pub.txt"));
         WriteText(dir.File("rsa_pub.txt/keep"), "x");
       },
       -1, "rsa_pub.txt is a folder: key files replace only regular files"},
  };
  for (const Case& c : cases) {
    TempDir dir;
    MakeOldKeyPair(dir);
    c.breakage(dir);
    const auto before = Snapshot(dir);
    ProcessOptions options;
    options.workDir = dir.path();
    options.fileSizeLimit = c.fileSizeLimit;
    const ProcessResult run = RunOwnProgram(RSA_GENKEY_EXE, {"--force", "--aes"}, options);
    EXPECT_EQ(run.exitStatus, 1) << c.name;
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.name << run.err;
    EXPECT_EQ(Snapshot(dir), before) << c.name;
  }
}

TEST(RsaGenkeyTest, LinksAtTheKeyNamesAreReplacedNeverFollowed) {
  TempDir dir;
  WriteText(dir.File("victim.txt"), "precious\n");
  ASSERT_EQ(symlink("planted-priv.txt", dir.File("rsa_priv.txt").c_str()), 0);
  ASSERT_EQ(symlink("victim.txt", dir.File("rsa_pub.txt").c_str()), 0);

  const ProcessResult refused = RunGenkey(dir, {});
  EXPECT_EQ(refused.exitStatus, 1);
  EXPECT_NE(refused.err.find("rsa_priv.txt already exists"), std::string::npos);

  const ProcessResult forced = RunGenkey(dir, {"--force"});
  ASSERT_EQ(forced.exitStatus, 0) << forced.err;
  EXPECT_FALSE(FileExists(dir.File("planted-priv.txt")));
  EXPECT_EQ(ReadBytes(dir.File("victim.txt")), Bytes({'p', 'r', 'e', 'c', 'i', 'o', 'u', 's', '\n'}));
  for (const char* name : {"rsa_priv.txt", "rsa_pub.txt"}) {
    struct stat info {};
    ASSERT_EQ(lstat(dir.File(name).c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode)) << name;
  }
  EXPECT_EQ(TopByteOfN(dir.File("rsa_pub.txt")), 0xFF);
  EXPECT_EQ(dir.List(), (std::vector<std::string>{"rsa_priv.txt", "rsa_pub.txt", "victim.txt"}));
}

TEST(RsaGenkeyTest, NoKeyTextIsLeftInFreedMemory) {
  TempDir dir;
  ProcessOptions options;
  options.workDir = dir.path();
  options.environment = {std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                         "SEALTOOL_TEST_SCAN_FREED=DQ = |QP = |AES-128-key-for-sealtool"};
  const ProcessResult run = RunProgram(RSA_GENKEY_EXE, {"--aes"}, options);
  EXPECT_EQ(run.exitStatus, 0) << run.err;
  EXPECT_TRUE(FileExists(dir.File("aes.txt")));
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// "ok" only when the checks that establish integrity ran: a body flip that
// nothing could check is not passed.
TEST(SealinfoVerdictTest, WhatNoCheckCoveredIsUnverifiedNotOk) {
  TempDir dir;
  SealExample(dir, Sealed{"", 753, 1, false, {}});
  Bytes image = ReadBytes(dir.File("out.bin"));
  image[20000] ^= 0x01;
  WriteBytes(dir.File("flipped.bin"), image);
  const ProcessResult told = RunSealinfo(dir, {"--chip", "753", "--mode", "aes-seal", "flipped.bin"});
  EXPECT_EQ(told.exitStatus, 3) << told.out;
  EXPECT_NE(told.out.find("\nresult: unverified\n"), std::string::npos);
  // Against its input the flip shows.
  const ProcessResult checked =
      RunSealinfo(dir, {"--chip", "753", "--input", "in.bin", "flipped.bin"});
  EXPECT_EQ(checked.exitStatus, 1) << checked.out;
  EXPECT_EQ(CheckLines(checked.out),
            (std::vector<std::string>{"image digest FAILED", "digest seal ok", "checksum FAILED",
                                      "dram count ok", "input FAILED"}));
  // A plain image detected without its input may as well be a key-record one.
  TempDir plain;
  SealExample(plain, Sealed{"", 753, 0, false, {}});
  const ProcessResult detected = RunSealinfo(plain, {"out.bin"});
  EXPECT_EQ(detected.exitStatus, 3);
  EXPECT_NE(detected.out.find("not verifiable: the image could be plain, or key-record"),
            std::string::npos)
      << detected.out;
  // An input that is not the one the image was made from.
  WriteBytes(plain.File("other.bin"), ExampleInput(753, 99));
  EXPECT_EQ(RunSealinfo(plain, {"--mode", "plain", "--input", "other.bin", "out.bin"}).exitStatus, 1);
}

TEST(SealinfoVerdictTest, JsonParsesWhateverTheFileName) {
  TempDir dir;
  SealExample(dir, Sealed{"", 742, 2, false, {}});
  const std::string name = "\xff\xfe-not-utf8.bin";
  std::rename(dir.File("out.bin").c_str(), dir.File(name).c_str());
  const ProcessResult json = RunSealinfo(dir, {"--json", name});
  EXPECT_EQ(json.exitStatus, 0);
  WriteText(dir.File("report.json"), json.out);
  ProcessOptions options;
  options.workDir = dir.path();
  const ProcessResult parsed = RunProgram(
      "/usr/bin/python3",
      {"-c", "import json\nd = json.load(open('report.json', encoding='utf-8'))\n"
             "print(d['image'].endswith('-not-utf8.bin'), d['result'])"},
      options);
  EXPECT_EQ(parsed.exitStatus, 0) << parsed.err;
  EXPECT_EQ(parsed.out, "True ok\n");
}

TEST(SealinfoVerdictTest, KeyFolderProblemsAreNeverTheDefaultKey) {
  TempDir dir;
  SealExample(dir, Sealed{"", 753, 3, false, {}});
  ASSERT_EQ(mkdir(dir.File("keys").c_str(), 0755), 0);
  const std::vector<std::pair<std::string, std::string>> links = {
      {"dangling", "no-such-file"}, {"endless", "/dev/zero"}};
  for (const auto& [what, target] : links) {
    std::remove(dir.File("keys/aes.txt").c_str());
    ASSERT_EQ(symlink(target.c_str(), dir.File("keys/aes.txt").c_str()), 0);
    const ProcessResult info =
        RunSealinfo(dir, {"--keys", "keys", "--mode", "key-record", "out.bin"});
    EXPECT_EQ(info.exitStatus, 3) << what << info.out;
    EXPECT_NE(info.out.find("wrapped key    not verifiable: aes.txt in keys cannot be read"),
              std::string::npos)
        << what << info.out;
  }
  // A path that would be cut short is refused, not shortened.
  const std::string longKeys(PATH_MAX - 8, 'k');
  EXPECT_EQ(RunSealinfo(dir, {"--keys", longKeys, "out.bin"}).exitStatus, 2);
}

TEST(SealinfoVerdictTest, NonHexKeyCharactersAreWarnedAbout) {
  TempDir dir;
  SealExample(dir, Sealed{"", 753, 3, false, {}});
  // "zz" converts to 0 on its own: the same key as "00".
  WriteText(dir.File("aes.txt"), "#k\nzz7e151628aed2a6abf7158809cf4f3c\n");
  const ProcessResult zz = RunSealinfo(dir, {"--mode", "key-record", "out.bin"});
  EXPECT_NE(zz.out.find("warning: aes.txt's key token holds characters that are not hex digits"),
            std::string::npos)
      << zz.out;
  WriteText(dir.File("aes.txt"), "#k\n2b7e151628aed2a6abf7158809cf4f3c\n");
  const ProcessResult hex = RunSealinfo(dir, {"--mode", "key-record", "out.bin"});
  EXPECT_EQ(hex.exitStatus, 0);
  EXPECT_EQ(hex.out.find("not hex digits"), std::string::npos);
}

// The header key id of an RSA image, taken with mbedtls's own SHA-256 over
// the stored N and E (bytes 192-351).
std::string HeaderKeyIdOf(const Bytes& image) {
  unsigned char id[32];
  mbedtls_sha256_ret(image.data() + 192, 160, id, 0);
  std::string text;
  for (unsigned char byte : id) text += Format("%02x", byte);
  return text;
}

// A sealed image whose body was replaced and whose checksum was made to hold
// again: a plain image as far as the checksum goes, but never passed as one
// while sealed bytes say otherwise, and never when a key is pinned.
TEST(SealinfoVerdictTest, AForgedSealedImageIsNeverPassedAsPlain) {
  struct Case {
    std::int32_t chip;
    std::int32_t secureBoot;
    std::vector<std::string> args;
    int exitStatus;
  };
  const std::vector<Case> cases = {
      {742, 2, {"--chip", "742"}, 3},
      {742, 2, {}, 3},
      {775, 1, {"--chip", "775"}, 3},
      {775, 1, {}, 3},
      {742, 2, {"--chip", "742", "--expect-key", "PIN"}, 1},
      // Told it is plain, it is a sound plain image.
      {742, 2, {"--chip", "742", "--mode", "plain"}, 0},
  };
  for (const Case& c : cases) {
    TempDir dir;
    SealExample(dir, Sealed{"", c.chip, c.secureBoot, false, {}});
    Bytes image = ReadBytes(dir.File("out.bin"));
    const std::string pinned = HeaderKeyIdOf(image);
    std::fill(image.begin() + 20000, image.begin() + 20100, 0x5A);
    ApplyReferenceChecksum(image, 48);
    WriteBytes(dir.File("forged.bin"), image);
    std::vector<std::string> args = c.args;
    for (std::string& arg : args) {
      if (arg == "PIN") arg = pinned;
    }
    args.push_back("forged.bin");
    const ProcessResult info = RunSealinfo(dir, args);
    const std::string name = Format("%d/%d with %zu options", c.chip, c.secureBoot, c.args.size());
    EXPECT_EQ(info.exitStatus, c.exitStatus) << name << "\n" << info.out;
    if (c.exitStatus == 3 && !c.args.empty()) {
      EXPECT_NE(info.out.find("whose seal does not verify"), std::string::npos) << name << info.out;
    }
  }
}

// Sealing clears the 96 bytes in front of the digest seal on chips 742 and
// 775, and no digest covers them.
TEST(SealinfoVerdictTest, BytesInFrontOfTheDigestSealMustBeZero) {
  for (const std::int32_t chip : {742, 775}) {
    TempDir dir;
    SealExample(dir, Sealed{"", chip, 1, false, {}});
    Bytes image = ReadBytes(dir.File("out.bin"));
    std::fill(image.begin() + 352, image.begin() + 448, 0xEE);
    WriteBytes(dir.File("filled.bin"), image);
    for (const std::vector<std::string>& extra :
         {std::vector<std::string>{}, std::vector<std::string>{"--input", "in.bin"}}) {
      std::vector<std::string> args = {"--chip", std::to_string(chip), "--mode", "aes-seal"};
      args.insert(args.end(), extra.begin(), extra.end());
      args.push_back("filled.bin");
      const ProcessResult info = RunSealinfo(dir, args);
      EXPECT_EQ(info.exitStatus, 1) << chip << info.out;
      EXPECT_NE(info.out.find("cleared bytes  FAILED: 96 of bytes 352-447 are not zero"),
                std::string::npos)
          << chip << info.out;
    }
  }
}

// Without --chip the marker tells the group only: a good AES-seal image of
// chip 775 or 742 passes against its own input, and a verdict that holds for one chip
// of the group and not another is unverified.
TEST(SealinfoVerdictTest, AnAssumedChipNeverFailsAGoodImage) {
  for (const std::int32_t chip : {742, 775}) {
    TempDir dir;
    SealExample(dir, Sealed{"", chip, 1, false, {}});
    const ProcessResult info = RunSealinfo(dir, {"--input", "in.bin", "out.bin"});
    EXPECT_EQ(info.exitStatus, 0) << chip << info.out;
    // The two chips seal alike: either may be named.
    EXPECT_NE(info.out.find(" (assumed from the marker"), std::string::npos) << info.out;
  }
  // A plain chip-742 image whose input held bytes where sealing writes: as
  // chip 753 every check passes, as chip 742 the bytes may be a seal.
  TempDir plain;
  SealExample(plain, Sealed{"", 742, 0, false, {}});
  const ProcessResult info = RunSealinfo(plain, {"--input", "in.bin", "out.bin"});
  EXPECT_EQ(info.exitStatus, 3) << info.out;
  EXPECT_NE(info.out.find("chip           not verifiable: the chip is assumed from the marker"),
            std::string::npos)
      << info.out;
  EXPECT_EQ(RunSealinfo(plain, {"--chip", "753", "--input", "in.bin", "out.bin"}).exitStatus, 0);
}

// --expect-key pins the release key: a match establishes the stored key even
// without rsa_pub.txt; another key, the image itself or a bad key folder is
// refused or fails, and a PIN in a reference is never shown.
TEST(SealinfoVerdictTest, APinnedKeyIsCheckedAndEstablishesTheKey) {
  TempDir dir;
  SealExample(dir, Sealed{"", 742, 2, false, {}});
  ASSERT_EQ(mkdir(dir.File("keys").c_str(), 0755), 0);
  WriteText(dir.File("keys/aes.txt"), "#k\n2b7e151628aed2a6abf7158809cf4f3c\n");
  const std::string pinned = HeaderKeyIdOf(ReadBytes(dir.File("out.bin")));
  std::string other = pinned;
  other[0] = other[0] == '0' ? '1' : '0';
  struct Case {
    std::vector<std::string> args;
    int exitStatus;
    const char* shown;  // in the report or on standard error
  };
  const std::vector<Case> cases = {
      {{"--keys", "keys", "out.bin"}, 3, "public key     not verifiable"},
      {{"--keys", "keys", "--expect-key", pinned, "out.bin"}, 0,
       "public key     ok: stored N and E are the expected key's"},
      {{"--keys", "keys", "--expect-key", "rsa_pub.txt", "out.bin"}, 0, "expected key   ok"},
      {{"--keys", "keys", "--expect-key", other, "out.bin"}, 1, "expected key   FAILED"},
      // rsa_pub.txt beside the image still counts, and must agree.
      {{"--expect-key", pinned, "out.bin"}, 0, "stored N and E are those of rsa_pub.txt"},
      {{"--expect-key", "out.bin", "out.bin"}, 2, "names the image itself"},
      {{"--expect-key", "./out.bin", "out.bin"}, 2, "names the image itself"},
      {{"--keys", "no-such-folder", "out.bin"}, 2, "cannot open the key folder 'no-such-folder'"},
      {{"--keys", "out.bin", "out.bin"}, 2, "cannot open the key folder"},
      {{"--chip", "742", "--chip", "753", "out.bin"}, 2, "--chip given twice"},
      {{"--json", "--json", "out.bin"}, 2, "--json given twice"},
      {{"--expect-key", pinned, "--expect-key", other, "out.bin"}, 2, "--expect-key given twice"},
      {{"--expect-key", "pkcs11:object=k;PIN-VALUE=4711?pin-value=4711", "out.bin"}, 2,
       "PIN-VALUE=***"},
  };
  for (const Case& c : cases) {
    const ProcessResult info = RunSealinfo(dir, c.args);
    const std::string name = c.args[c.args.size() - 2];
    EXPECT_EQ(info.exitStatus, c.exitStatus) << name << "\n" << info.out << info.err;
    EXPECT_NE((info.out + info.err).find(c.shown), std::string::npos)
        << name << "\n" << info.out << info.err;
    EXPECT_EQ((info.out + info.err).find("4711"), std::string::npos) << info.err;
  }
}

// Bad usage says which argument and why, and a verdict gives one reason.
TEST(SealinfoVerdictTest, EveryRefusalSaysWhyAndEveryVerdictHasOneReason) {
  TempDir dir;
  SealExample(dir, Sealed{"", 753, 3, false, {}});
  const std::string longKeys(PATH_MAX - 8, 'k');
  const std::vector<std::pair<std::vector<std::string>, std::string>> refusals = {
      {{"--mode", "rsa2", "out.bin"}, "'--mode': the mode is plain, key-record, aes-seal or rsa"},
      {{"--chip", "74x", "out.bin"}, "'--chip': the chip id is a decimal number"},
      {{"--keys", longKeys, "out.bin"}, "leaves no room for its key files' names"},
      {{"--bogus", "out.bin"}, "'--bogus': no such option"},
      {{"out.bin", "in.bin"}, "one image only"},
      {{"out.bin", "--json"}, ""},  // not a refusal: options may follow the image
      {{"--expect-key", "no-such.pem", "out.bin"},
       "sealinfo: cannot read no-such.pem: No such file or directory"},
  };
  for (const auto& [args, reason] : refusals) {
    const ProcessResult info = RunSealinfo(dir, args);
    if (reason.empty()) {
      EXPECT_NE(info.exitStatus, 2) << info.err;
      continue;
    }
    EXPECT_EQ(info.exitStatus, 2) << args[0];
    EXPECT_NE(info.err.find(reason), std::string::npos) << args[0] << "\n" << info.err;
  }
  // A key-record image checked without aes.txt: one FAILED line, and no
  // warning that the wrapped key is the default one when it is not.
  ASSERT_EQ(mkdir(dir.File("empty").c_str(), 0755), 0);
  const ProcessResult info = RunSealinfo(dir, {"--keys", "empty", "--mode", "key-record", "out.bin"});
  EXPECT_EQ(info.exitStatus, 1) << info.out;
  EXPECT_NE(info.out.find("wrapped key    FAILED: does not unwrap to the default key, which a run "
                          "without aes.txt wraps (no aes.txt in empty)"),
            std::string::npos)
      << info.out;
  EXPECT_EQ(info.out.find("warning: the wrapped key is the built-in default key"), std::string::npos)
      << info.out;
}

// With E = 1 the signature is the block itself: anyone can make it.
TEST(SealinfoVerdictTest, AnExponentOfOneProtectsNothing) {
  TempDir dir;
  SealExample(dir, Sealed{"", 742, 2, false, {}});
  Bytes image = ReadBytes(dir.File("out.bin"));
  // The header digest as signed: N, E and the signature span zero, the
  // image digest in place; the block is it byte-reversed, then zeros.
  Bytes header(image.begin(), image.begin() + 512);
  std::fill(header.begin() + 192, header.begin() + 480, 0);
  unsigned char digest[32];
  mbedtls_sha256_ret(header.data(), header.size(), digest, 0);
  std::fill(image.begin() + 320, image.begin() + 480, 0);
  image[320] = 1;
  for (std::size_t i = 0; i < 32; ++i) image[352 + i] = digest[31 - i];
  WriteBytes(dir.File("e1.bin"), image);
  const ProcessResult info = RunSealinfo(dir, {"--chip", "742", "e1.bin"});
  EXPECT_EQ(info.exitStatus, 1) << info.out;
  EXPECT_NE(info.out.find("rsa signature  FAILED: the stored E is below 3 or even"),
            std::string::npos)
      << info.out;
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

TEST(MakeExampleImageTest, OptionsAreNeverTakenForTheOutputName) {
  const std::vector<std::pair<std::vector<std::string>, int>> cases = {
      {{"--help"}, 0}, {{"--bogus"}, 2}, {{}, 2}, {{"x.bin", "753", "100"}, 2},
      {{"x.bin", "753", "24576", "1", "extra"}, 2}, {{"-"}, 2}};
  for (const auto& [args, status] : cases) {
    TempDir dir;
    ProcessOptions options;
    options.workDir = dir.path();
    const ProcessResult run = RunOwnProgram(MAKE_EXAMPLE_EXE, args, options);
    EXPECT_EQ(run.exitStatus, status) << (args.empty() ? "" : args[0]);
    EXPECT_NE((status == 0 ? run.out : run.err).find("usage: make_example_image"), std::string::npos);
    EXPECT_TRUE(dir.List().empty()) << (args.empty() ? "" : args[0]);
  }
  TempDir dir;
  ProcessOptions options;
  options.workDir = dir.path();
  EXPECT_EQ(RunOwnProgram(MAKE_EXAMPLE_EXE, {"x.bin", "753"}, options).exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("x.bin")), ExampleInput(753));
}

}  // namespace
}  // namespace sealtool::test
