// Two-step signing: the block that --sign-later writes, signed by openssl or
// by a token through pkcs11-tool, gives with --signature the image that the
// one-step run with the key file gives, byte for byte; and every bad
// signature is refused with its own message.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <stdexcept>

#include "e2e_support.h"
#include "secure_expectation.h"
#include "softhsm_token.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

const std::vector<std::string> kRsaRun = {"in.bin", "out.bin", "742", "2"};

ProcessResult RunIn(const TempDir& dir, const std::string& program,
                    const std::vector<std::string>& args, std::vector<std::string> environment = {}) {
  ProcessOptions options;
  options.workDir = dir.path();
  options.environment = std::move(environment);
  return RunProgram(program, args, options);
}

std::vector<std::string> With(std::vector<std::string> options, const std::string& output = "out.bin") {
  options.insert(options.end(), {"in.bin", output, "742", "2"});
  return options;
}

// A folder with key 1's files, a body key, and an input key 1 accepts; the
// one-step image in "one-step.bin".
struct SigningSetup {
  TempDir dir;
  explicit SigningSetup(std::uint32_t seed = 21) {
    WriteTestRsaKeyFiles(dir.path(), 1);
    WriteText(dir.File("aes.txt"), "#k\n000102030405060708090a0b0c0d0e0f\n");
    WriteBytes(dir.File("in.bin"), ExampleInput(742, seed));
    const ProcessResult oneStep = RunSealtool(dir, With({}, "one-step.bin"));
    if (oneStep.exitStatus != 0) throw std::runtime_error("one-step run: " + oneStep.out);
  }
  ProcessResult SignLater(const std::string& block = "block.bin") const {
    return RunSealtool(dir, With({"--sign-later", block}));
  }
  void ExportPem() const {
    const ProcessResult exported =
        RunIn(dir, SEALKEY_EXE, {"export", "--private", "--out", "key.pem", "--force"});
    if (exported.exitStatus != 0) throw std::runtime_error("export: " + exported.err);
  }
  ProcessResult OpensslSign(const std::string& key, const std::string& block,
                            const std::string& signature) const {
    return RunIn(dir, "/usr/bin/openssl",
                 {"pkeyutl", "-decrypt", "-pkeyopt", "rsa_padding_mode:none", "-inkey", key, "-in",
                  block, "-out", signature});
  }
};

TEST(OfflineSigningTest, TheOpensslRoundTripGivesTheOneStepImage) {
  SigningSetup setup;
  const ProcessResult later = setup.SignLater();
  ASSERT_EQ(later.exitStatus, 0) << later.out;
  EXPECT_FALSE(FileExists(setup.dir.File("out.bin"))) << "signing later writes no image";
  EXPECT_EQ(ReadBytes(setup.dir.File("block.bin")).size(), 128u);
  // The key id it shows is the one sealkey shows for rsa_pub.txt.
  const ProcessResult id = RunIn(setup.dir, SEALKEY_EXE, {"id"});
  const std::string headerId = id.out.substr(id.out.find("as stored): ") + 12, 64);
  EXPECT_NE(later.out.find("Key id (image header):        " + headerId), std::string::npos)
      << later.out;

  setup.ExportPem();
  ASSERT_EQ(setup.OpensslSign("key.pem", "block.bin", "sig.bin").exitStatus, 0);
  const ProcessResult sealed = RunSealtool(setup.dir, With({"--signature", "sig.bin"}));
  ASSERT_EQ(sealed.exitStatus, 0) << sealed.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), ReadBytes(setup.dir.File("one-step.bin")));
}

TEST(OfflineSigningTest, ThePkcs11ToolRoundTripGivesTheOneStepImage) {
  if (!HaveSoftHsm() || !FileExists("/usr/bin/pkcs11-tool")) GTEST_SKIP() << kNeedsSoftHsm;
  SigningSetup setup;
  SoftHsmToken token(setup.dir);
  token.ImportRsaKeyPair(TestRsaKey(1), "rsa", "\x01");
  ASSERT_EQ(setup.SignLater().exitStatus, 0);
  const ProcessResult signedByToken =
      RunIn(setup.dir, "/usr/bin/pkcs11-tool",
            {"--module", SoftHsmModule(), "--token-label", kTokenLabel, "--login", "--pin", kTokenPin,
             "--sign", "-m", "RSA-X-509", "--id", "01", "-i", "block.bin", "-o", "sig.bin"},
            {token.ConfigEnvironment()});
  ASSERT_EQ(signedByToken.exitStatus, 0) << signedByToken.out << signedByToken.err;
  const ProcessResult sealed = RunSealtool(setup.dir, With({"--signature", "sig.bin"}));
  ASSERT_EQ(sealed.exitStatus, 0) << sealed.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), ReadBytes(setup.dir.File("one-step.bin")));
}

// A key made by openssl, encrypted with a passphrase, imported: the image
// its key files seal is the one openssl's own signature of the block gives.
TEST(OfflineSigningTest, AnEncryptedOpensslKeyImportsAndSealsAlike) {
  TempDir dir;
  ASSERT_EQ(RunIn(dir, "/usr/bin/openssl", {"genrsa", "-aes256", "-passout", "pass:s3cret", "-out",
                                            "made.pem", "1024"})
                .exitStatus,
            0);
  const ProcessResult imported =
      RunIn(dir, SEALKEY_EXE, {"import", "made.pem", "--pass-env", "KEY_PASS"}, {"KEY_PASS=s3cret"});
  ASSERT_EQ(imported.exitStatus, 0) << imported.err;
  // An ordinary key refuses some images: take the first it accepts.
  ProcessResult oneStep;
  for (std::uint32_t seed = 30; seed < 60; ++seed) {
    WriteBytes(dir.File("in.bin"), ExampleInput(742, seed));
    oneStep = RunSealtool(dir, With({}, "one-step.bin"));
    if (oneStep.exitStatus == 0) break;
  }
  ASSERT_EQ(oneStep.exitStatus, 0) << oneStep.out;
  ASSERT_EQ(RunSealtool(dir, With({"--sign-later", "block.bin"})).exitStatus, 0);
  ASSERT_EQ(RunIn(dir, "/usr/bin/openssl",
                  {"pkeyutl", "-decrypt", "-pkeyopt", "rsa_padding_mode:none", "-inkey", "made.pem",
                   "-passin", "pass:s3cret", "-in", "block.bin", "-out", "sig.bin"})
                .exitStatus,
            0);
  ASSERT_EQ(RunSealtool(dir, With({"--signature", "sig.bin"})).exitStatus, 0);
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), ReadBytes(dir.File("one-step.bin")));
}

struct BadSignature {
  const char* name;
  std::function<void(const SigningSetup&)> make;  // makes sig.bin
  std::string message;
};

void PrintTo(const BadSignature& c, std::ostream* os) { *os << c.name; }

class BadSignatureTest : public testing::TestWithParam<BadSignature> {};

TEST_P(BadSignatureTest, IsRefusedWithItsOwnMessageAndNothingWritten) {
  const BadSignature& c = GetParam();
  SigningSetup setup;
  c.make(setup);
  const Bytes previous(64, 0x42);
  WriteBytes(setup.dir.File("out.bin"), previous);
  const std::vector<std::string> before = setup.dir.List();
  const ProcessResult run = RunSealtool(setup.dir, With({"--signature", "sig.bin"}));
  EXPECT_EQ(run.exitStatus, 255) << run.out;
  EXPECT_NE(run.out.find(c.message), std::string::npos) << run.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), previous);
  EXPECT_EQ(setup.dir.List(), before);
}

// The signature of another image's block, made with the right key.
void SignAnotherImage(const SigningSetup& setup) {
  const Bytes input = ReadBytes(setup.dir.File("in.bin"));
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(742, 22));
  setup.SignLater("other-block.bin");
  WriteBytes(setup.dir.File("in.bin"), input);
  setup.ExportPem();
  setup.OpensslSign("key.pem", "other-block.bin", "sig.bin");
}

void SignWithAnotherKey(const SigningSetup& setup) {
  setup.SignLater();
  TempDir other;
  WriteTestRsaKeyFiles(other.path(), 2);
  RunIn(other, SEALKEY_EXE, {"export", "--private", "--out", setup.dir.File("other.pem")});
  setup.OpensslSign("other.pem", "block.bin", "sig.bin");
}

INSTANTIATE_TEST_SUITE_P(
    Signatures, BadSignatureTest,
    testing::Values(
        BadSignature{"Missing", [](const SigningSetup&) {}, "Could not open sig.bin"},
        BadSignature{"Empty", [](const SigningSetup& s) { WriteBytes(s.dir.File("sig.bin"), {}); },
                     "sig.bin is empty: a signature is 128 bytes"},
        BadSignature{"Short",
                     [](const SigningSetup& s) { WriteBytes(s.dir.File("sig.bin"), Bytes(127, 1)); },
                     "sig.bin holds 127 bytes: a signature is exactly 128 bytes"},
        BadSignature{"Long",
                     [](const SigningSetup& s) { WriteBytes(s.dir.File("sig.bin"), Bytes(129, 1)); },
                     "sig.bin holds more than 128 bytes"},
        BadSignature{"Folder", [](const SigningSetup& s) { mkdir(s.dir.File("sig.bin").c_str(), 0755); },
                     "sig.bin is a directory, not a signature file"},
        BadSignature{"AllZero",
                     [](const SigningSetup& s) { WriteBytes(s.dir.File("sig.bin"), Bytes(128, 0)); },
                     "sig.bin holds only zero bytes"},
        BadSignature{"AnotherImage", SignAnotherImage, "but of another image"},
        BadSignature{"AnotherKey", SignWithAnotherKey,
                     "does not verify under the public key of rsa_pub.txt: it was made with another key"}),
    [](const testing::TestParamInfo<BadSignature>& info) { return std::string(info.param.name); });

TEST(OfflineSigningTest, TheSignatureOptionsExcludeThePrivateKey) {
  SigningSetup setup;
  for (const auto& options : std::vector<std::vector<std::string>>{
           {"--rsa-key", "rsa_priv.txt", "--signature", "sig.bin"},
           {"--sign-later", "block.bin", "--rsa-key", "rsa_priv.txt"},
           {"--sign-later", "block.bin", "--signature", "sig.bin"}}) {
    const ProcessResult run = RunSealtool(setup.dir, With(options));
    EXPECT_EQ(run.exitStatus, 255);
    EXPECT_NE(run.out.find("cannot be given with"), std::string::npos) << run.out;
  }
  // A block the key cannot sign is refused before it is written.
  const RefusedRsaCase& refused = RefusedRsaImage();
  WriteBytes(setup.dir.File("in.bin"), refused.input);
  WriteText(setup.dir.File("rsa_pub.txt"), refused.pubText);
  std::remove(setup.dir.File("aes.txt").c_str());
  const ProcessResult later = setup.SignLater();
  EXPECT_EQ(later.exitStatus, 255);
  EXPECT_NE(later.out.find("The header digest is not below the modulus"), std::string::npos);
  EXPECT_FALSE(FileExists(setup.dir.File("block.bin")));
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// Key files named by options: they must exist and hold what they should;
// no default key stands in for them, and a public key that does not belong
// to the private one is refused.
TEST(KeyOptionTest, NamedKeyFilesMustHoldTheirKeys) {
  SigningSetup setup;
  WriteText(setup.dir.File("seal.txt"), "0x01 0x02\n");  // two values of the sixteen
  WriteTestRsaKeyFiles(setup.dir.path(), 2);
  std::rename(setup.dir.File("rsa_pub.txt").c_str(), setup.dir.File("other_pub.txt").c_str());
  WriteTestRsaKeyFiles(setup.dir.path(), 1);
  symlink("nowhere.txt", setup.dir.File("dangling.txt").c_str());
  const struct {
    std::vector<std::string> args;
    std::string message;
  } cases[] = {
      {{"--aes-key", "missing.txt", "in.bin", "out.bin", "753", "1"}, "AES-Key:\r\n failed\n  ! Could not open missing.txt"},
      {{"--seal-key", "dangling.txt", "in.bin", "out.bin", "753", "1"}, " failed\n  ! Please check dangling.txt"},
      {{"--seal-key", "seal.txt", "in.bin", "out.bin", "753", "1"}, " failed\n  ! Please check seal.txt"},
      {{"--rsa-pub", "other_pub.txt", "in.bin", "out.bin", "742", "2"},
       "does not verify under the public key of other_pub.txt"},
      {{"--rsa-key", "missing.txt", "in.bin", "out.bin", "742", "2"}, "Could not open missing.txt"},
      {{"--rsa-key"}, "command syntax error! --rsa-key needs a value"},
  };
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 21));
  for (const auto& c : cases) {
    if (c.args.size() > 4 && c.args[c.args.size() - 2] == "742") {
      WriteBytes(setup.dir.File("in.bin"), ExampleInput(742, 21));
    }
    const ProcessResult run = RunSealtool(setup.dir, c.args);
    EXPECT_EQ(run.exitStatus, 255) << c.args.front();
    EXPECT_NE(run.out.find(c.message), std::string::npos) << c.args.front() << run.out;
    EXPECT_EQ(run.out.find("No AES128 key file"), std::string::npos);
    EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));
  }
  const ProcessResult help = RunSealtool(setup.dir, {"--help"});
  EXPECT_EQ(help.exitStatus, 0);
  EXPECT_NE(help.out.find("--sign-later BLOCK"), std::string::npos);
  const ProcessResult version = RunSealtool(setup.dir, {"--version"});
  EXPECT_EQ(version.exitStatus, 0);
  EXPECT_NE(version.out.find("2018-0316-1.0003"), std::string::npos);
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// The command that --sign-later prints, pasted into a shell as it stands,
// seals with the first run's keys: here an AES key other than aes.txt, in a
// folder whose name a shell would otherwise split, expand or run.
TEST(OfflineSigningTest, ThePrintedNextStepRunsAsPrintedWithTheSameKeys) {
  SigningSetup setup;
  const std::string odd = "it's $(touch ran) a;b";
  ASSERT_EQ(mkdir(setup.dir.File(odd).c_str(), 0755), 0);
  WriteText(setup.dir.File(odd + "/body key.txt"), "#k\n0f0e0d0c0b0a09080706050403020100\n");
  WriteBytes(setup.dir.File(odd + "/in.bin"), ReadBytes(setup.dir.File("in.bin")));
  const ProcessResult reference = RunSealtool(
      setup.dir, {"--aes-key", odd + "/body key.txt", odd + "/in.bin", "reference.bin", "742", "2"});
  ASSERT_EQ(reference.exitStatus, 0) << reference.out;

  const ProcessResult later = RunSealtool(
      setup.dir, {"--aes-key", odd + "/body key.txt", "--sign-later", odd + "/block.bin",
                  odd + "/in.bin", odd + "/out.bin", "742", "2"});
  ASSERT_EQ(later.exitStatus, 0) << later.out;
  const std::size_t at = later.out.find("  sealtool ");
  ASSERT_NE(at, std::string::npos) << later.out;
  const std::string command = later.out.substr(at + 2, later.out.find('\n', at) - at - 2);
  EXPECT_NE(command.find("--aes-key"), std::string::npos) << command;

  setup.ExportPem();
  ASSERT_EQ(setup.OpensslSign("key.pem", odd + "/block.bin", "sig.bin").exitStatus, 0);
  const ProcessResult sealed =
      RunIn(setup.dir, "/bin/sh", {"-c", "PATH=\"$(dirname " SEALTOOL_EXE "):$PATH\" " + command});
  ASSERT_EQ(sealed.exitStatus, 0) << command << "\n" << sealed.out << sealed.err;
  EXPECT_FALSE(FileExists(setup.dir.File("ran"))) << "the shell ran part of a path: " << command;
  EXPECT_EQ(ReadBytes(setup.dir.File(odd + "/out.bin")), ReadBytes(setup.dir.File("reference.bin")));
}

TEST(OfflineSigningTest, TheNextStepShowsTokenKeysWithoutTheirPin) {
  SigningSetup setup;
  const ProcessResult later = RunSealtool(
      setup.dir, {"--aes-key", "pkcs11:object=aes?pin-value=1234&module-path=/m.so", "--sign-later",
                  "block.bin", "in.bin", "out.bin", "742", "2"});
  // The token cannot be reached; the block is not written, nor the PIN shown.
  EXPECT_EQ(later.out.find("1234"), std::string::npos) << later.out;
  EXPECT_EQ(later.exitStatus, 255);
}

// The block goes to a file of its own: over the input or the output it
// would destroy the firmware or an image.
TEST(OfflineSigningTest, TheBlockCannotReplaceTheInputOrTheOutput) {
  SigningSetup setup;
  const Bytes input = ReadBytes(setup.dir.File("in.bin"));
  WriteBytes(setup.dir.File("out.bin"), Bytes(64, 0x42));
  symlink("in.bin", setup.dir.File("link.bin").c_str());
  const struct {
    std::string block;
    const char* names;
  } cases[] = {
      {"in.bin", "names the input image"},
      {"./in.bin", "names the input image"},
      {"link.bin", "names the input image"},
      {"out.bin", "names the output image"},
      {"aes.txt", "--sign-later: aes.txt is also the AES key"},
      {"./rsa_pub.txt", "is also the RSA public key"},
  };
  const Bytes aesKey = ReadBytes(setup.dir.File("aes.txt"));
  const Bytes rsaPub = ReadBytes(setup.dir.File("rsa_pub.txt"));
  for (const auto& c : cases) {
    const ProcessResult run = setup.SignLater(c.block);
    EXPECT_EQ(run.exitStatus, 255) << c.block;
    EXPECT_NE(run.out.find(c.names), std::string::npos) << c.block << run.out;
    EXPECT_EQ(ReadBytes(setup.dir.File("in.bin")), input);
    EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), Bytes(64, 0x42));
    EXPECT_EQ(ReadBytes(setup.dir.File("aes.txt")), aesKey);
    EXPECT_EQ(ReadBytes(setup.dir.File("rsa_pub.txt")), rsaPub);
  }
  std::remove(setup.dir.File("out.bin").c_str());
  const ProcessResult sameName = RunSealtool(setup.dir, {"--sign-later", "new.bin", "in.bin", "new.bin", "742", "2"});
  EXPECT_EQ(sameName.exitStatus, 255);
  EXPECT_FALSE(FileExists(setup.dir.File("new.bin")));
}

// An option the run's mode does not read is refused before anything is
// read or written, and so is a key option after the paths.
TEST(KeyOptionTest, OptionsTheRunDoesNotReadAreRefusedBeforeAnythingIsRead) {
  SigningSetup setup;
  const std::vector<std::vector<std::string>> runs = {
      {"--sign-later", "block.bin", "in.bin", "out.bin", "742", "1"},
      {"--signature", "/no/such.sig", "in.bin", "out.bin", "753", "3"},
      {"--rsa-key", "/no/such/key", "in.bin", "out.bin", "775", "1"},
      {"in.bin", "out.bin", "742", "2", "--rsa-key", "other/rsa_priv.txt"},
      {"--rsa-key", "rsa_priv.txt", "--rsa-key", "rsa_priv.txt", "in.bin", "out.bin", "742", "2"},
  };
  for (const auto& args : runs) {
    const ProcessResult run = RunSealtool(setup.dir, args);
    EXPECT_EQ(run.exitStatus, 255) << args.front();
    EXPECT_EQ(run.out.rfind("command syntax error! ", 0), 0u) << run.out;
    EXPECT_EQ(run.out.find("sealtool version"), std::string::npos) << run.out;
    EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));
    EXPECT_FALSE(FileExists(setup.dir.File("block.bin")));
  }
}

}  // namespace
}  // namespace sealtool::test
