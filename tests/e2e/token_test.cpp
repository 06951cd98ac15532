// Keys in a real token (SoftHSM2, a token of each test's own): the images
// equal those the same keys as files give, and every failure is loud,
// leaves no output and an old one untouched.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstring>

#include "e2e_support.h"
#include "secure_expectation.h"
#include "softhsm_token.h"
#include "test_keys.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {

class TokenEquivalenceTest : public testing::TestWithParam<Equivalence> {};

TEST_P(TokenEquivalenceTest, TokenKeysSealExactlyAsTheSameKeysInFiles) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  const Equivalence& c = GetParam();
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(c.chip, 12));
  const std::vector<std::string> positional = {"in.bin", "file.bin", std::to_string(c.chip),
                                               std::to_string(c.secureBoot)};
  std::vector<std::string> args = c.fileKeys;
  args.insert(args.end(), positional.begin(), positional.end());
  const ProcessResult fromFiles = setup.Run(args);
  ASSERT_EQ(fromFiles.exitStatus, 0) << fromFiles.out;

  std::vector<std::string> tokenArgs;
  for (const std::string& word : c.tokenKeys) {
    tokenArgs.push_back(word.rfind("--", 0) == 0 ? word : setup.token.Uri(word));
  }
  tokenArgs.insert(tokenArgs.end(), positional.begin(), positional.end());
  tokenArgs[tokenArgs.size() - 3] = "token.bin";
  const ProcessResult fromToken = setup.Run(tokenArgs);
  ASSERT_EQ(fromToken.exitStatus, 0) << fromToken.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("token.bin")), ReadBytes(setup.dir.File("file.bin")));
  EXPECT_NE(fromToken.out.find("Save BIN OK.\nAll OK.\n"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, TokenEquivalenceTest,
    testing::Values(
        Equivalence{"Rsa", 742, 2, {"--aes-key", "body.txt"},
                    {"--rsa-key", "object=rsa;type=private", "--aes-key", "object=aes"}},
        Equivalence{"RsaPublicKeyNamed", 742, 2, {"--aes-key", "body.txt"},
                    {"--rsa-key", "id=%01;type=private", "--rsa-pub", "object=rsa;type=public",
                     "--aes-key", "object=aes"}},
        Equivalence{"RsaTokenBodyKeyOnly", 742, 2, {"--aes-key", "body.txt"},
                    {"--aes-key", "object=aes"}},
        Equivalence{"AesSeal", 775, 1, {"--aes-key", "body.txt", "--seal-key", "seal.txt"},
                    {"--aes-key", "object=aes", "--seal-key", "object=seal"}},
        Equivalence{"AesSeal753", 753, 5, {"--aes-key", "body.txt", "--seal-key", "seal.txt"},
                    {"--aes-key", "object=aes", "--seal-key", "id=%03"}},
        Equivalence{"KeyRecord", 753, 3, {"--aes-key", "body.txt"}, {"--aes-key", "object=aes"}},
        Equivalence{"KeyRecord0", 0, 3, {"--aes-key", "body.txt"}, {"--aes-key", "object=aes"}}),
    [](const testing::TestParamInfo<Equivalence>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

struct TokenFailure {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  // Options, with "URI:attributes" standing for a URI of the test token and
  // "FAULTY:attributes" for one through the fault-injecting module.
  std::vector<std::string> options;
  std::string message;  // what the run must say
  std::vector<std::string> environment = {};
  bool withPin = true;
};

void PrintTo(const TokenFailure& c, std::ostream* os) { *os << c.name; }

std::string Expand(const std::string& word, const SoftHsmToken& token) {
  if (word.rfind("URI:", 0) == 0) return token.Uri(word.substr(4));
  if (word.rfind("FAULTY:", 0) == 0) {
    return "pkcs11:token=" + std::string(kTokenLabel) + ";" + word.substr(7) +
           "?module-path=" + FAULTY_PKCS11;
  }
  return word;
}

class TokenFailureTest : public testing::TestWithParam<TokenFailure> {};

TEST_P(TokenFailureTest, FailsLoudlyNamingTheKeyAndWritesNothing) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  const TokenFailure& c = GetParam();
  TokenSetup setup;
  const std::uint8_t longKey[32] = {1, 2, 3};
  setup.token.ImportAesKey(longKey, sizeof longKey, "aes256", "\x04");
  setup.token.ImportAesKey(kBodyKey.data(), kBodyKey.size(), "kept", "\x05", false);
  setup.token.ImportAesKey(kBodyKey.data(), kBodyKey.size(), "twice", "\x06");
  setup.token.ImportAesKey(kSealKey.data(), kSealKey.size(), "twice", "\x07");
  mbedtls_rsa_context big;
  mbedtls_rsa_init(&big, 0, 0);
  ASSERT_TRUE(GenerateOrdinaryRsaKey(&big, 2048, 5));
  setup.token.ImportRsaKeyPair(big, "rsa2048", "\x08");
  mbedtls_rsa_free(&big);
  setup.token.ImportRsaKeyPair(TestRsaKey(2), "nopub", "\x09", false);

  WriteBytes(setup.dir.File("in.bin"), ExampleInput(c.chip, 13));
  const Bytes previous(500, 0x42);
  WriteBytes(setup.dir.File("out.bin"), previous);
  const std::vector<std::string> before = setup.dir.List();
  std::vector<std::string> args;
  for (const std::string& word : c.options) args.push_back(Expand(word, setup.token));
  args.insert(args.end(), {"in.bin", "out.bin", std::to_string(c.chip), std::to_string(c.secureBoot)});
  ProcessOptions options;
  options.environment = c.withPin ? setup.token.Environment()
                                  : std::vector<std::string>{setup.token.ConfigEnvironment()};
  options.environment.push_back(std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule());
  options.environment.insert(options.environment.end(), c.environment.begin(), c.environment.end());
  const ProcessResult result = RunSealtool(setup.dir, args, options);

  EXPECT_EQ(result.exitStatus, 255) << result.out;
  EXPECT_NE(result.out.find(c.message), std::string::npos) << result.out;
  EXPECT_NE(result.out.find("  ! key: pkcs11:"), std::string::npos) << result.out;
  EXPECT_EQ(result.out.find(kTokenPin), std::string::npos) << "the PIN must never be shown";
  EXPECT_EQ(result.out.find("Save BIN OK."), std::string::npos);
  EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), previous);
  EXPECT_EQ(setup.dir.List(), before) << "no output, no temporary file";
}

INSTANTIATE_TEST_SUITE_P(
    Failures, TokenFailureTest,
    testing::Values(
        TokenFailure{"ModuleNotFound", 753, 1,
                     {"--aes-key", "pkcs11:token=sealtest;object=aes?module-path=/no/such/module.so"},
                     "cannot load the PKCS#11 module /no/such/module.so"},
        TokenFailure{"NoSuchToken", 753, 1,
                     {"--aes-key", "pkcs11:token=other;object=aes?module-path=" SOFTHSM2_MODULE},
                     "no token matches"},
        // Without module-path only the configured modules are searched, and
        // the message says how to name the token's own.
        TokenFailure{"NoTokenInTheConfiguredModules", 753, 1, {"--aes-key", "pkcs11:token=nowhere;object=aes"},
                     "no token matches in the configured PKCS#11 modules (p11-kit list-modules names them): "
                     "name the token's module with module-path="},
        TokenFailure{"NoSuchObject", 753, 1, {"--aes-key", "URI:object=nothing"}, "no object matches"},
        TokenFailure{"TwoObjectsMatch", 753, 1, {"--aes-key", "URI:object=twice"},
                     "more than one object matches"},
        TokenFailure{"WrongPin", 753, 1, {"--aes-key", "URI:object=aes"},
                     "the PIN is wrong (CKR_PIN_INCORRECT)", {"SEALTOOL_PIN=9999"}, false},
        TokenFailure{"LockedPin", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the PIN is locked (CKR_PIN_LOCKED)", {"SEALTOOL_FAULT=login-locked"}},
        TokenFailure{"NoPin", 753, 1, {"--aes-key", "URI:object=aes"},
                     "no PIN: give pin-source in the URI", {}, false},
        TokenFailure{"MissingPinFile", 753, 1,
                     {"--aes-key", "URI:object=aes?pin-source=file:/no/such/pin"},
                     "cannot read the PIN file /no/such/pin", {}, false},
        TokenFailure{"AesKeyOf32Bytes", 753, 1, {"--aes-key", "URI:object=aes256"},
                     "the key is not a 16-byte AES key"},
        TokenFailure{"RsaKeyOf2048Bits", 742, 2, {"--rsa-key", "URI:object=rsa2048;type=private"},
                     "the key is not an RSA-1024 key"},
        TokenFailure{"NoPublicKeyObject", 742, 2, {"--rsa-key", "URI:object=nopub;type=private"},
                     "no public key object has the private key's id or label"},
        TokenFailure{"PublicKeyOfAnotherKey", 742, 2,
                     {"--rsa-key", "URI:object=rsa;type=private", "--rsa-pub",
                      "URI:object=nopub;type=public"},
                     "no object matches"},
        TokenFailure{"RawRsaNotOffered", 742, 2, {"--rsa-key", "FAULTY:object=rsa;type=private"},
                     "the token does not offer raw RSA signing", {"SEALTOOL_FAULT=no-raw-rsa"}},
        TokenFailure{"TokenRemovedDuringEncryption", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the token failed AES-CBC encryption", {"SEALTOOL_FAULT=encrypt-removed"}},
        TokenFailure{"SigningFails", 742, 2, {"--rsa-key", "FAULTY:object=rsa;type=private"},
                     "the token failed raw RSA signing", {"SEALTOOL_FAULT=sign-error"}},
        TokenFailure{"KeyNotExtractable", 753, 3, {"--aes-key", "URI:object=kept"},
                     "the token will not wrap the key: it is not extractable"},
        TokenFailure{"NotAUri", 753, 1, {"--aes-key", "pkcs11:object=%zz"}, "not a PKCS#11 URI"},
        TokenFailure{"NeitherCbcNorEcb", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the token does not offer AES-CBC encryption, nor AES-ECB to build it from",
                     {"SEALTOOL_FAULT=no-aes"}},
        TokenFailure{"RemovedDuringChainedEcb", 775, 1,
                     {"--aes-key", "FAULTY:object=aes", "--seal-key", "seal.txt"},
                     "the token failed AES-ECB encryption: ", {"SEALTOOL_FAULT=no-aes-cbc,encrypt-removed"}},
        TokenFailure{"KeyLengthNotStated", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the token does not state the AES key's length (CKA_VALUE_LEN)",
                     {"SEALTOOL_FAULT=no-value-len"}},
        TokenFailure{"ModuleFailsToInitialize", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the PKCS#11 module " FAULTY_PKCS11 " fails to initialize: ",
                     {"SEALTOOL_FAULT=init-fails"}},
        TokenFailure{"ModuleReportsNoToken", 753, 1, {"--aes-key", "FAULTY:object=aes"},
                     "the PKCS#11 module " FAULTY_PKCS11 " reports no token\n  ! key: ",
                     {"SEALTOOL_FAULT=no-slots"}},
        TokenFailure{"NoModuleOfThatName", 753, 1,
                     {"--aes-key", "pkcs11:token=sealtest;object=aes?module-name=no-such-module"},
                     "no configured PKCS#11 module is named no-such-module (module-name)"}),
    [](const testing::TestParamInfo<TokenFailure>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// Two keys of one token: one session, one login; and logout, close and
// finalize on success and on failure alike.
TEST(TokenSessionTest, OneLoginPerRunAndACleanEndOnEveryPath) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(742, 14));
  const std::string expected =
      "C_Initialize\nC_OpenSession\nC_Login\nC_Logout\nC_CloseSession\nC_Finalize\n";
  for (const char* fault : {"none", "sign-error"}) {
    std::remove(setup.dir.File("calls.log").c_str());
    const ProcessResult run = setup.Run(
        {"--rsa-key", Faulty("object=rsa;type=private"), "--aes-key", Faulty("object=aes"),
         "in.bin", "out.bin", "742", "2"},
        {std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule(),
         std::string("SEALTOOL_FAULT=") + fault, "SEALTOOL_FAULT_LOG=" + setup.dir.File("calls.log")});
    EXPECT_EQ(run.exitStatus, std::strcmp(fault, "none") == 0 ? 0 : 255) << run.out;
    const Bytes log = ReadBytes(setup.dir.File("calls.log"));
    EXPECT_EQ(std::string(log.begin(), log.end()), expected) << fault;
  }
}

TEST(TokenSessionTest, PinSourcesAndWhatARunPrints) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(775, 15));
  WriteText(setup.dir.File("pin.txt"), std::string(kTokenPin) + "\n");
  ProcessOptions noPin;
  noPin.environment = {setup.token.ConfigEnvironment()};
  const std::vector<std::string> tail = {"in.bin", "out.bin", "775", "1"};

  std::vector<std::string> fromFile = {"--aes-key", setup.token.Uri("object=aes?pin-source=file:" +
                                                                    setup.dir.File("pin.txt"))};
  fromFile.insert(fromFile.end(), tail.begin(), tail.end());
  const ProcessResult withFile = RunSealtool(setup.dir, fromFile, noPin);
  EXPECT_EQ(withFile.exitStatus, 0) << withFile.out;
  EXPECT_NE(withFile.out.find("SHA256: "), std::string::npos);
  EXPECT_NE(withFile.out.find("AES-Key:\r\nin the token\r\nSig: "), std::string::npos) << withFile.out;

  std::vector<std::string> inUri = {"--aes-key",
                                    setup.token.Uri(std::string("object=aes?pin-value=") + kTokenPin)};
  inUri.insert(inUri.end(), tail.begin(), tail.end());
  const ProcessResult withValue = RunSealtool(setup.dir, inUri, noPin);
  EXPECT_EQ(withValue.exitStatus, 0) << withValue.out;
  EXPECT_NE(withValue.out.find("warning: the URI carries its PIN (pin-value)"), std::string::npos);
  EXPECT_EQ(withValue.out.find(kTokenPin), std::string::npos);
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// An input whose RSA block is not below the key's modulus is refused with the
// reason the file key gives, before the token sees it.
TEST(TokenSessionTest, ABlockAboveTheModulusIsRefusedWithTheFileKeysReason) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  mbedtls_rsa_context ordinary;
  mbedtls_rsa_init(&ordinary, 0, 0);
  ASSERT_TRUE(GenerateOrdinaryRsaKey(&ordinary, 1024, 2, 0xF0));  // the key RefusedRsaImage uses
  setup.token.ImportRsaKeyPair(ordinary, "ordinary", "\x0a");
  mbedtls_rsa_free(&ordinary);
  const RefusedRsaCase& refused = RefusedRsaImage();
  WriteBytes(setup.dir.File("in.bin"), refused.input);
  std::remove(setup.dir.File("aes.txt").c_str());
  const ProcessResult run = setup.Run({"--rsa-key", setup.token.Uri("object=ordinary;type=private"),
                                       "in.bin", "out.bin", "742", "2"});
  EXPECT_EQ(run.exitStatus, 255);
  const std::string reason = refused.message.substr(refused.message.find("  ! The header digest"));
  EXPECT_NE(run.out.find(" failed\n" + reason), std::string::npos) << run.out;
  EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

ProcessResult RunWithLog(const TokenSetup& setup, const std::vector<std::string>& args,
                         std::vector<std::string> environment) {
  environment.push_back(std::string("SEALTOOL_FAULTY_TARGET=") + SoftHsmModule());
  environment.push_back("SEALTOOL_FAULT_LOG=" + setup.dir.File("calls.log"));
  std::remove(setup.dir.File("calls.log").c_str());
  return setup.Run(args, environment);
}

std::string CallLog(const TokenSetup& setup) {
  const Bytes log = ReadBytes(setup.dir.File("calls.log"));
  return std::string(log.begin(), log.end());
}

// Keys in two tokens of one module, and one module named two ways: each
// module is loaded and initialized once, and the image is the file keys'.
TEST(TokenChoiceTest, KeysOfTwoTokensOfOneModuleSealAsTheirFiles) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  setup.token.AddToken("second");
  setup.token.ImportAesKey(kSealKey.data(), kSealKey.size(), "seal2", "\x04", true, "second");
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(775, 16));
  const ProcessResult files =
      setup.Run({"--aes-key", "body.txt", "--seal-key", "seal.txt", "in.bin", "file.bin", "775", "1"});
  ASSERT_EQ(files.exitStatus, 0) << files.out;
  ASSERT_EQ(symlink(SoftHsmModule().c_str(), setup.dir.File("other-name.so").c_str()), 0);
  const std::string secondByPath = "pkcs11:token=second;object=seal2?module-path=" + SoftHsmModule();
  const struct {
    const char* name;
    std::string aesKey, sealKey;
  } cases[] = {
      {"two tokens, one path", setup.token.Uri("object=aes"), secondByPath},
      {"one module, two paths", setup.token.Uri("object=aes"),
       "pkcs11:token=second;object=seal2?module-path=" + setup.dir.File("other-name.so")},
      {"configured and named", "pkcs11:token=sealtest;object=aes", secondByPath},
      {"named and configured", setup.token.Uri("object=aes"), "pkcs11:token=second;object=seal2"},
  };
  for (const auto& c : cases) {
    std::remove(setup.dir.File("token.bin").c_str());
    const ProcessResult run =
        setup.Run({"--aes-key", c.aesKey, "--seal-key", c.sealKey, "in.bin", "token.bin", "775", "1"});
    ASSERT_EQ(run.exitStatus, 0) << c.name << "\n" << run.out << run.err;
    EXPECT_EQ(ReadBytes(setup.dir.File("token.bin")), ReadBytes(setup.dir.File("file.bin"))) << c.name;
  }
}

// A URI that fits several tokens is searched in all of them: one key is
// used wherever it is, two are refused with the names of their tokens.
TEST(TokenChoiceTest, EveryMatchingTokenIsSearchedAndTwoKeysAreRefused) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  setup.token.AddToken("second");
  const AesKey other = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
  setup.token.ImportAesKey(other.data(), other.size(), "aes", "\x05", true, "second");
  setup.token.ImportAesKey(kBodyKey.data(), kBodyKey.size(), "only2", "\x06", true, "second");
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 17));
  const std::string module = "?module-path=" + SoftHsmModule();
  const ProcessResult twoKeys =
      setup.Run({"--aes-key", "pkcs11:object=aes" + module, "in.bin", "out.bin", "753", "3"});
  EXPECT_EQ(twoKeys.exitStatus, 255);
  EXPECT_NE(twoKeys.out.find("keys in more than one token match"), std::string::npos) << twoKeys.out;
  EXPECT_NE(twoKeys.out.find("'sealtest'"), std::string::npos) << twoKeys.out;
  EXPECT_NE(twoKeys.out.find("'second'"), std::string::npos) << twoKeys.out;
  EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));

  const ProcessResult files = setup.Run({"--aes-key", "body.txt", "in.bin", "file.bin", "753", "3"});
  ASSERT_EQ(files.exitStatus, 0) << files.out;
  const ProcessResult later =
      setup.Run({"--aes-key", "pkcs11:object=only2" + module, "in.bin", "out.bin", "753", "3"});
  ASSERT_EQ(later.exitStatus, 0) << later.out;
  EXPECT_EQ(ReadBytes(setup.dir.File("out.bin")), ReadBytes(setup.dir.File("file.bin")));
}

// A module with more slots than a fixed list would hold: the token behind
// them is found.
TEST(TokenChoiceTest, ATokenBehindManySlotsIsFound) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 18));
  const ProcessResult run = RunWithLog(setup, {"--aes-key", Faulty("object=aes"), "in.bin", "out.bin", "753", "3"},
                                       {"SEALTOOL_FAULT=many-slots"});
  EXPECT_EQ(run.exitStatus, 0) << run.out;
}

// No PIN is sent that cannot be right, nor one that no person typed to a
// token with one try left: every try counts toward a locked PIN.
TEST(TokenPinTest, PinsThatCannotBeRightAreNeverSent) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(753, 19));
  WriteBytes(setup.dir.File("nul-pin.txt"), {'t', 'k', 0, 'x', '\n'});
  WriteText(setup.dir.File("long-pin.txt"), std::string(257, 'p') + "\n");
  WriteText(setup.dir.File("empty-pin.txt"), "\n");
  const struct {
    const char* name;
    std::string attributes;
    std::vector<std::string> environment;
    const char* message;
  } cases[] = {
      {"empty variable", "object=aes", {"SEALTOOL_PIN="}, "the PIN is empty"},
      {"NUL in the file", "object=aes?pin-source=" + setup.dir.File("nul-pin.txt"), {}, "holds a NUL byte"},
      {"file too long", "object=aes?pin-source=" + setup.dir.File("long-pin.txt"), {},
       "the PIN is longer than 256 characters"},
      {"variable too long", "object=aes", {"SEALTOOL_PIN=" + std::string(257, 'p')},
       "the PIN is longer than 256 characters"},
      {"empty file", "object=aes?pin-source=" + setup.dir.File("empty-pin.txt"), {}, "is empty"},
      {"final try", "object=aes", {"SEALTOOL_FAULT=pin-final-try"}, "one PIN try is left"},
      {"locked", "object=aes", {"SEALTOOL_FAULT=pin-locked-flag"}, "the PIN is locked"},
  };
  for (const auto& c : cases) {
    std::string uri = Faulty(c.attributes);
    if (c.attributes.find('?') != std::string::npos) {
      uri = "pkcs11:token=" + std::string(kTokenLabel) + ";" + c.attributes + "&module-path=" + FAULTY_PKCS11;
    }
    const ProcessResult run = RunWithLog(setup, {"--aes-key", uri, "in.bin", "out.bin", "753", "3"}, c.environment);
    EXPECT_EQ(run.exitStatus, 255) << c.name;
    EXPECT_NE(run.out.find(c.message), std::string::npos) << c.name << "\n" << run.out;
    EXPECT_EQ(CallLog(setup).find("C_Login"), std::string::npos) << c.name;
    EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));
  }
  // A PIN of exactly 256 characters is sent from a file as from the
  // environment (the token then judges it).
  WriteText(setup.dir.File("pin-256.txt"), std::string(256, 'p') + "\n");
  const ProcessResult fromFile = RunWithLog(
      setup, {"--aes-key", "pkcs11:token=sealtest;object=aes?pin-source=" + setup.dir.File("pin-256.txt") +
                               "&module-path=" + FAULTY_PKCS11, "in.bin", "out.bin", "753", "3"}, {});
  EXPECT_NE(CallLog(setup).find("C_Login"), std::string::npos) << fromFile.out;
  const ProcessResult fromVariable = RunWithLog(setup, {"--aes-key", Faulty("object=aes"), "in.bin", "out.bin", "753", "3"},
                                                {"SEALTOOL_PIN=" + std::string(256, 'p')});
  EXPECT_NE(CallLog(setup).find("C_Login"), std::string::npos) << fromVariable.out;
}

// No message shows a PIN: not a second pin-value, not one in capitals, not
// one behind a label that holds the text "pin-value=".
TEST(TokenPinTest, NoMessageShowsAPin) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  setup.token.ImportRsaKeyPair(TestRsaKey(2), "rsa2", "\x07");
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(742, 20));
  const std::string module = "module-path=" + SoftHsmModule();
  const std::vector<std::vector<std::string>> runs = {
      {"--aes-key", "pkcs11:token=none;object=aes?" + module + "&pin-value=9911&pin-value=9922"},
      {"--aes-key", "pkcs11:token=none;object=xpin-value=1;token=y?" + module + "&pin-value=9933"},
      {"--aes-key", "pkcs11:object=aes?" + module + "&PIN-VALUE=9944"},
      {"--aes-key", "pkcs11:object=aes;object=seal?" + module + "&pin-value=9955"},
      {"--rsa-key", "pkcs11:token=sealtest;object=aes;type=private?" + module + "&pin-value=" + kTokenPin},
      {"--rsa-key", "pkcs11:token=sealtest;object=rsa;type=private?" + module + "&pin-value=" + kTokenPin,
       "--rsa-pub", "pkcs11:token=sealtest;object=rsa2;type=public?" + module + "&pin-value=" + kTokenPin},
  };
  for (std::vector<std::string> args : runs) {
    args.insert(args.end(), {"in.bin", "out.bin", "742", "2"});
    const ProcessResult run = setup.Run(args);
    EXPECT_EQ(run.exitStatus, 255) << args[1];
    for (const char* pin : {"9911", "9922", "9933", "9944", "9955", kTokenPin}) {
      EXPECT_EQ(run.out.find(pin), std::string::npos) << args[1] << "\n" << run.out;
    }
    EXPECT_NE(run.out.find("=***"), std::string::npos) << args[1] << "\n" << run.out;
  }
  const ProcessResult repeated =
      setup.Run({"--aes-key", "pkcs11:object=aes;object=seal?" + module, "in.bin", "out.bin", "742", "2"});
  EXPECT_NE(repeated.out.find("the URI names object twice"), std::string::npos) << repeated.out;
}

// The PIN read from pin-source, from SEALTOOL_PIN or from the URI is wiped
// before its memory goes back: the preloaded scan ends the run with status 99
// when a freed block still holds it.
TEST(TokenPinTest, NoPinIsLeftInFreedMemory) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(775, 24));
  WriteText(setup.dir.File("pin.txt"), std::string(kTokenPin) + "\n");
  const std::vector<std::pair<std::string, std::vector<std::string>>> runs = {
      {"object=aes?pin-source=file:" + setup.dir.File("pin.txt"), {}},
      {"object=aes", {std::string("SEALTOOL_PIN=") + kTokenPin}},
  };
  for (const auto& [query, environment] : runs) {
    ProcessOptions options;
    options.workDir = setup.dir.path();
    options.environment = {setup.token.ConfigEnvironment(),
                           std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                           std::string("SEALTOOL_TEST_SCAN_FREED=") + kTokenPin};
    options.environment.insert(options.environment.end(), environment.begin(), environment.end());
    const ProcessResult run = RunProgram(
        SEALTOOL_EXE, {"--aes-key", setup.token.Uri(query), "in.bin", "out.bin", "775", "1"}, options);
    EXPECT_EQ(run.exitStatus, 0) << query << "\n" << run.out << run.err;
    EXPECT_TRUE(FileExists(setup.dir.File("out.bin"))) << query;
    std::remove(setup.dir.File("out.bin").c_str());
  }
}

// Reads the terminal's output until text shows or the deadline passes.
bool AwaitOutput(int master, const std::string& text, std::string* seen) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
  char buffer[256];
  while (seen->find(text) == std::string::npos) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    pollfd ready{master, POLLIN, 0};
    if (poll(&ready, 1, 200) <= 0) continue;
    const ssize_t count = read(master, buffer, sizeof buffer);
    if (count <= 0) return false;
    seen->append(buffer, static_cast<std::size_t>(count));
  }
  return true;
}

bool Echoes(int master) {
  termios now{};
  return tcgetattr(master, &now) == 0 && (now.c_lflag & ECHO) != 0;
}

// Interrupted at the PIN prompt, a run gives the terminal back as it found
// it: echo on, nothing written.
TEST(TokenPinTest, ASignalAtThePromptGivesTheTerminalBack) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TokenSetup setup;
  WriteBytes(setup.dir.File("in.bin"), ExampleInput(775, 25));
  const std::string config = setup.token.ConfigEnvironment();
  const std::string uri = setup.token.Uri("object=aes");
  for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
    int master = -1;
    const pid_t pid = forkpty(&master, nullptr, nullptr, nullptr);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      unsetenv("SEALTOOL_PIN");
      putenv(const_cast<char*>(config.c_str()));
      if (chdir(setup.dir.path().c_str()) != 0) _exit(126);
      execl(SEALTOOL_EXE, SEALTOOL_EXE, "--aes-key", uri.c_str(), "in.bin", "out.bin", "775", "1",
            static_cast<char*>(nullptr));
      _exit(127);
    }
    std::string seen;
    const bool prompted = AwaitOutput(master, "PIN for sealtest: ", &seen);
    EXPECT_TRUE(prompted) << seen;
    EXPECT_FALSE(Echoes(master)) << "echo is on while the PIN is typed";
    kill(pid, signal);
    int status = 0;
    waitpid(pid, &status, 0);
    EXPECT_TRUE(WIFSIGNALED(status) || WIFEXITED(status)) << signal;
    EXPECT_TRUE(Echoes(master)) << "signal " << signal << " left the terminal without echo";
    EXPECT_FALSE(FileExists(setup.dir.File("out.bin")));
    close(master);
  }
}

}  // namespace
}  // namespace sealtool::test
