// sealkey as built: the ids agree whatever carries the key and match what
// openssl computes; checks find what is wrong; imports refuse bad keys and
// change nothing; exports are what openssl reads.
#include <gtest/gtest.h>

#include <sstream>
#include <mbedtls/bignum.h>
#include <sys/stat.h>

#include <cmath>
#include <functional>

#include "e2e_support.h"
#include "softhsm_token.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

ProcessResult RunIn(const TempDir& dir, const std::string& program, const std::vector<std::string>& args,
                  std::vector<std::string> environment = {}) {
  ProcessOptions options;
  options.workDir = dir.path();
  options.environment = std::move(environment);
  return RunProgram(program, args, options);
}

ProcessResult Sealkey(const TempDir& dir, const std::vector<std::string>& args,
                      std::vector<std::string> environment = {}) {
  ProcessOptions options;
  options.workDir = dir.path();
  options.environment = std::move(environment);
  return RunOwnProgram(SEALKEY_EXE, args, options);
}

// The two ids sealkey id prints, header id first.
std::pair<std::string, std::string> Ids(const ProcessResult& id) {
  const std::size_t header = id.out.find("as stored): ");
  const std::size_t spki = id.out.find("SubjectPublicKeyInfo):    ");
  if (header == std::string::npos || spki == std::string::npos) return {};
  return {id.out.substr(header + 12, 64), id.out.substr(spki + 26, 64)};
}

TEST(SealkeyTest, EveryCarrierOfAKeyGivesTheSameIds) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteBytes(dir.File("in.bin"), ExampleInput(742, 21));
  ASSERT_EQ(RunSealtool(dir, {"in.bin", "sealed.bin", "742", "2"}).exitStatus, 0);
  ASSERT_EQ(Sealkey(dir, {"export", "--out", "spki.pem"}).exitStatus, 0);
  ASSERT_EQ(Sealkey(dir, {"export", "--pkcs1", "--format", "der", "--out", "pkcs1.der"}).exitStatus, 0);
  const auto expected = Ids(Sealkey(dir, {"id"}));
  ASSERT_EQ(expected.first.size(), 64u);
  std::vector<std::string> refs = {"rsa_pub.txt", "spki.pem", "pkcs1.der", "sealed.bin"};
  std::unique_ptr<SoftHsmToken> token;
  if (HaveSoftHsm()) {
    token = std::make_unique<SoftHsmToken>(dir);
    token->ImportRsaKeyPair(TestRsaKey(1), "rsa", "\x01");
    refs.push_back(token->Uri("object=rsa;type=public"));
    refs.push_back(token->Uri("object=rsa;type=private"));
  }
  for (const std::string& ref : refs) {
    const ProcessResult id = Sealkey(dir, {"id", ref}, token ? token->Environment() : std::vector<std::string>{});
    EXPECT_EQ(id.exitStatus, 0) << ref << id.err << id.out;
    EXPECT_EQ(Ids(id), expected) << ref;
  }
  // The header id hashes the 160 bytes of N and E as the image holds them;
  // the other is the SHA-256 of what openssl writes as the DER public key.
  const Bytes image = ReadBytes(dir.File("sealed.bin"));
  EXPECT_EQ(Sha256Hex(Bytes(image.begin() + 192, image.begin() + 352)), expected.first);
  ASSERT_EQ(RunIn(dir, "/usr/bin/openssl", {"pkey", "-pubin", "-in", "spki.pem", "-outform", "DER",
                                          "-out", "spki.der"})
                .exitStatus,
            0);
  EXPECT_EQ(Sha256Hex(ReadBytes(dir.File("spki.der"))), expected.second);
  // The same as JSON.
  WriteText(dir.File("id.json"), Sealkey(dir, {"id", "--json"}).out);
  const ProcessResult parsed = RunIn(dir, "/usr/bin/python3",
                                   {"-c", "import json; d = json.load(open('id.json'));"
                                          "print(d['key_id_header'], d['key_id_spki'], d['modulus_bits'])"});
  EXPECT_EQ(parsed.out, expected.first + " " + expected.second + " 1024\n");
}

TEST(SealkeyTest, CheckFindsWhatIsWrong) {
  struct Case {
    const char* name;
    std::function<void(const TempDir&)> spoil;
    int status;
    const char* failedLine;
  };
  const std::vector<Case> cases = {
      {"Sound", [](const TempDir&) {}, 0, nullptr},
      {"WrongDp",
       [](const TempDir& dir) {
         mbedtls_rsa_context rsa;
         mbedtls_rsa_init(&rsa, 0, 0);
         mbedtls_rsa_copy(&rsa, &TestRsaKey(1));
         mbedtls_mpi_add_int(&rsa.DP, &rsa.DP, 2);
         WriteText(dir.File("rsa_priv.txt"), RsaPrivateKeyText(rsa));
         mbedtls_rsa_free(&rsa);
       },
       1, "  dp           FAILED"},
      {"PublicKeyOfAnotherKey",
       [](const TempDir& dir) { WriteText(dir.File("rsa_pub.txt"), RsaPublicKeyText(TestRsaKey(2))); },
       1, "  public key   FAILED"},
      {"Unreadable", [](const TempDir& dir) { std::remove(dir.File("rsa_priv.txt").c_str()); }, 2,
       nullptr},
  };
  for (const Case& c : cases) {
    TempDir dir;
    WriteTestRsaKeyFiles(dir.path(), 1);
    c.spoil(dir);
    const ProcessResult check = Sealkey(dir, {"check"});
    EXPECT_EQ(check.exitStatus, c.status) << c.name << check.out << check.err;
    if (c.failedLine != nullptr) {
      EXPECT_NE(check.out.find(c.failedLine), std::string::npos) << check.out;
    }
    if (c.status == 0) {
      EXPECT_NE(check.out.find("top byte     ok: N's top byte is 0xff"), std::string::npos);
      WriteText(dir.File("check.json"), Sealkey(dir, {"check", "--json"}).out);
      const ProcessResult parsed = RunIn(dir, "/usr/bin/python3",
                                       {"-c", "import json; d = json.load(open('check.json'));"
                                              "print(d['result'], d['modulus_top_byte'], len(d['checks']))"});
      EXPECT_EQ(parsed.out, "ok 255 11\n");
    }
  }
}

struct ImportCase {
  const char* name;
  std::function<void(const TempDir&)> make;  // makes key.pem
  std::vector<std::string> extra;
  int status;
  std::string message;
  bool force = true;
};

void PrintTo(const ImportCase& c, std::ostream* os) { *os << c.name; }

class SealkeyImportTest : public testing::TestWithParam<ImportCase> {};

void Openssl(const TempDir& dir, const std::vector<std::string>& args) {
  ASSERT_EQ(RunIn(dir, "/usr/bin/openssl", args).exitStatus, 0);
}

TEST_P(SealkeyImportTest, ABadKeyChangesNothing) {
  const ImportCase& c = GetParam();
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 3);
  c.make(dir);
  const auto before = dir.List();
  const Bytes privateBefore = ReadBytes(dir.File("rsa_priv.txt"));
  std::vector<std::string> args = {"import", "key.pem"};
  if (c.force) args.push_back("--force");
  args.insert(args.end(), c.extra.begin(), c.extra.end());
  const ProcessResult run = Sealkey(dir, args, {"KEY_PASS=right"});
  EXPECT_EQ(run.exitStatus, c.status) << run.err;
  EXPECT_NE(run.err.find(c.message), std::string::npos) << run.err;
  EXPECT_EQ(dir.List(), before);
  EXPECT_EQ(ReadBytes(dir.File("rsa_priv.txt")), privateBefore);
}

INSTANTIATE_TEST_SUITE_P(
    Keys, SealkeyImportTest,
    testing::Values(
        ImportCase{"Garbage", [](const TempDir& d) { WriteText(d.File("key.pem"), "no key here\n"); },
                   {}, 2, "holds no private key in PEM or DER"},
        ImportCase{"TruncatedPem",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "full.pem", "1024"});
                     const Bytes full = ReadBytes(d.File("full.pem"));
                     WriteBytes(d.File("key.pem"), Bytes(full.begin(), full.begin() + 300));
                     std::remove(d.File("full.pem").c_str());
                   },
                   {}, 2, "holds no private key in PEM or DER"},
        ImportCase{"WrongPassphrase",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-aes256", "-passout", "pass:other", "-out", "key.pem", "1024"});
                   },
                   {"--pass-env", "KEY_PASS"}, 2, "the passphrase does not open key.pem"},
        ImportCase{"NoPassphraseAndNoTerminal",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-aes256", "-passout", "pass:right", "-out", "key.pem", "1024"});
                   },
                   {}, 2, "key.pem is encrypted: give --pass-file or --pass-env"},
        ImportCase{"EcKey",
                   [](const TempDir& d) {
                     Openssl(d, {"ecparam", "-genkey", "-name", "prime256v1", "-out", "key.pem"});
                   },
                   {}, 1, "holds an EC key"},
        ImportCase{"Rsa2048",
                   [](const TempDir& d) { Openssl(d, {"genrsa", "-out", "key.pem", "2048"}); }, {}, 1,
                   "an RSA key of 2048 bits"},
        ImportCase{"ExponentThree",
                   [](const TempDir& d) { Openssl(d, {"genrsa", "-3", "-out", "key.pem", "1024"}); },
                   {}, 1, "public exponent below 65537 (E = 3)"},
        // A key whose derivation would take minutes is refused at once.
        ImportCase{"HugePbkdf2IterationCount",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "plain.pem", "1024"});
                     Openssl(d, {"pkcs8", "-topk8", "-in", "plain.pem", "-v2", "aes-256-cbc", "-iter",
                                 "2000001", "-passout", "pass:right", "-out", "key.pem"});
                     std::remove(d.File("plain.pem").c_str());
                   },
                   {"--pass-env", "KEY_PASS"}, 2, "more than 2000000 key derivation iterations"},
        ImportCase{"HugePkcs12IterationCount",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "plain.pem", "1024"});
                     Openssl(d, {"pkcs8", "-topk8", "-in", "plain.pem", "-v1", "PBE-SHA1-3DES", "-iter",
                                 "2000001", "-passout", "pass:right", "-out", "key.pem"});
                     std::remove(d.File("plain.pem").c_str());
                   },
                   {"--pass-env", "KEY_PASS"}, 2, "more than 2000000 key derivation iterations"},
        // Which of two keys is meant cannot be told: neither is taken.
        ImportCase{"TwoKeysInOnePem",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "a.pem", "1024"});
                     Openssl(d, {"genrsa", "-out", "b.pem", "1024"});
                     const Bytes a = ReadBytes(d.File("a.pem"));
                     Bytes both = ReadBytes(d.File("b.pem"));
                     both.insert(both.begin(), a.begin(), a.end());
                     WriteBytes(d.File("key.pem"), both);
                     std::remove(d.File("a.pem").c_str());
                     std::remove(d.File("b.pem").c_str());
                   },
                   {}, 2, "key.pem holds more than one private key"},
        ImportCase{"TwoPassphraseSources",
                   [](const TempDir& d) { Openssl(d, {"genrsa", "-out", "key.pem", "1024"}); },
                   {"--pass-file", "key.pem", "--pass-env", "KEY_PASS"}, 2, "one passphrase source only"},
        ImportCase{"AnOptionTwice",
                   [](const TempDir& d) { Openssl(d, {"genrsa", "-out", "key.pem", "1024"}); },
                   {"--pass-env", "KEY_PASS", "--pass-env", "OTHER"}, 2, "an option given twice"},
        // Bytes inside the outer SEQUENCE behind the encrypted key, and bytes
        // behind the SEQUENCE: mbedtls's own parser refuses both.
        ImportCase{"EncryptedPkcs8WithBytesInside",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "plain.pem", "1024"});
                     Openssl(d, {"pkcs8", "-topk8", "-in", "plain.pem", "-v2", "aes-256-cbc", "-outform",
                                 "DER", "-passout", "pass:right", "-out", "good.der"});
                     Bytes der = ReadBytes(d.File("good.der"));
                     ASSERT_EQ(der[1], 0x82);
                     const unsigned length = (der[2] << 8 | der[3]) + 16;
                     der[2] = static_cast<std::uint8_t>(length >> 8);
                     der[3] = static_cast<std::uint8_t>(length);
                     der.insert(der.end(), 16, 0x04);
                     WriteBytes(d.File("key.pem"), der);
                     std::remove(d.File("plain.pem").c_str());
                     std::remove(d.File("good.der").c_str());
                   },
                   {"--pass-env", "KEY_PASS"}, 2, "holds no private key in PEM or DER"},
        ImportCase{"EncryptedPkcs8WithBytesBehind",
                   [](const TempDir& d) {
                     Openssl(d, {"genrsa", "-out", "plain.pem", "1024"});
                     Openssl(d, {"pkcs8", "-topk8", "-in", "plain.pem", "-v2", "aes-256-cbc", "-outform",
                                 "DER", "-passout", "pass:right", "-out", "key.pem"});
                     Bytes der = ReadBytes(d.File("key.pem"));
                     der.insert(der.end(), {0x05, 0x00});
                     WriteBytes(d.File("key.pem"), der);
                     std::remove(d.File("plain.pem").c_str());
                   },
                   {"--pass-env", "KEY_PASS"}, 2, "holds no private key in PEM or DER"},
        ImportCase{"ExistingFilesWithoutForce",
                   [](const TempDir& d) { Openssl(d, {"genrsa", "-out", "key.pem", "1024"}); },
                   {}, 1, "rsa_priv.txt already exists", false}),
    [](const testing::TestParamInfo<ImportCase>& info) { return std::string(info.param.name); });

TEST(SealkeyTest, ImportWarnsWithTheShareOfRefusedImages) {
  TempDir dir;
  Openssl(dir, {"genrsa", "-out", "key.pem", "1024"});
  const ProcessResult run = Sealkey(dir, {"import", "key.pem"});
  ASSERT_EQ(run.exitStatus, 0) << run.err;
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  std::FILE* pub = std::fopen(dir.File("rsa_pub.txt").c_str(), "rb");
  ASSERT_NE(pub, nullptr);
  mbedtls_mpi_read_file(&rsa.N, 16, pub);
  std::fclose(pub);
  std::uint8_t modulus[128];
  mbedtls_mpi_write_binary(&rsa.N, modulus, sizeof modulus);
  mbedtls_rsa_free(&rsa);
  // The block's top 32 bytes are a random digest: refused when above N's top.
  double fraction = 0;
  for (int i = 7; i >= 0; --i) fraction = (fraction + modulus[i]) / 256.0;
  const double share = 1.0 - fraction;
  if (share > 1.0 / 256) {
    EXPECT_NE(run.err.find(Format("(%.2f %%)", 100 * share)), std::string::npos) << run.err;
  } else {
    EXPECT_EQ(run.err.find("warning"), std::string::npos);
  }
}

TEST(SealkeyTest, ExportsAreWhatOpensslReads) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteText(dir.File("pass.txt"), "correct horse\n");
  ASSERT_EQ(Sealkey(dir, {"export", "--private", "--out", "enc.pem", "--pass-file", "pass.txt"}).exitStatus, 0);
  struct stat info {};
  ASSERT_EQ(stat(dir.File("enc.pem").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600u);
  EXPECT_EQ(RunIn(dir, "/usr/bin/openssl", {"pkey", "-in", "enc.pem", "-passin", "pass:correct horse",
                                          "-noout"})
                .exitStatus,
            0);
  EXPECT_NE(RunIn(dir, "/usr/bin/openssl", {"pkey", "-in", "enc.pem", "-passin", "pass:wrong", "-noout"})
                .exitStatus,
            0);
  // sealkey reads its own encrypted export back into the same key files.
  TempDir back;
  const ProcessResult imported =
      Sealkey(back, {"import", dir.File("enc.pem"), "--pass-file", dir.File("pass.txt")});
  ASSERT_EQ(imported.exitStatus, 0) << imported.err;
  EXPECT_EQ(ReadBytes(back.File("rsa_priv.txt")), ReadBytes(dir.File("rsa_priv.txt")));
  EXPECT_EQ(ReadBytes(back.File("rsa_pub.txt")), ReadBytes(dir.File("rsa_pub.txt")));
  // Refusals: an existing file, a private key to the terminal, an encrypted PKCS#1.
  EXPECT_EQ(Sealkey(dir, {"export", "--private", "--out", "enc.pem"}).exitStatus, 1);
  EXPECT_EQ(Sealkey(dir, {"export", "--private"}).exitStatus, 2);
  EXPECT_EQ(Sealkey(dir, {"export", "--private", "--pkcs1", "--out", "x.pem", "--pass-file",
                          "pass.txt"})
                .exitStatus,
            2);
  EXPECT_EQ(Sealkey(dir, {"nonsense"}).exitStatus, 2);
  EXPECT_EQ(Sealkey(dir, {"id", "--private"}).exitStatus, 2);
  EXPECT_EQ(Sealkey(dir, {"--help"}).exitStatus, 0);
}

}  // namespace
}  // namespace sealtool::test

namespace sealtool::test {
namespace {

// A key file replaces only a regular file or a link to one: never a FIFO, a
// device or what a link to standard output stands for, --force or not.
TEST(SealkeyTest, SpecialFilesAreNeverReplaced) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  ASSERT_EQ(mkfifo(dir.File("fifo").c_str(), 0600), 0);
  ASSERT_EQ(symlink("/proc/self/fd/1", dir.File("to-stdout").c_str()), 0);
  ASSERT_EQ(symlink("/dev/null", dir.File("to-null").c_str()), 0);
  const struct {
    std::vector<std::string> args;
    const char* message;
  } cases[] = {
      {{"export", "--out", "fifo", "--force"}, "fifo is a FIFO: key files replace only regular files"},
      {{"export", "--out", "fifo"}, "fifo is a FIFO"},
      {{"export", "--out", "to-stdout", "--force"}, "to-stdout is a link to"},
      {{"export", "--out", "to-null", "--force"}, "to-null is a link to a device"},
      {{"export", "--out", "/dev/null", "--force"}, "/dev/null is a device"},
  };
  for (const auto& c : cases) {
    const ProcessResult run = Sealkey(dir, c.args);
    EXPECT_EQ(run.exitStatus, 1) << c.args[2];
    EXPECT_NE(run.err.find(c.message), std::string::npos) << c.args[2] << run.err;
    EXPECT_EQ(run.err.find("--force"), std::string::npos) << run.err;
  }
  struct stat info {};
  EXPECT_EQ(lstat(dir.File("fifo").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
  EXPECT_EQ(lstat(dir.File("to-stdout").c_str(), &info), 0);
  EXPECT_TRUE(S_ISLNK(info.st_mode));
  EXPECT_EQ(stat("/dev/null", &info), 0);
  EXPECT_TRUE(S_ISCHR(info.st_mode));

  // The key files themselves: generate, import and rsa_genkey alike.
  std::remove(dir.File("rsa_pub.txt").c_str());
  ASSERT_EQ(mkfifo(dir.File("rsa_pub.txt").c_str(), 0600), 0);
  for (const auto& run : {Sealkey(dir, {"generate", "--force"}),
                          RunIn(dir, RSA_GENKEY_EXE, {"--force"})}) {
    EXPECT_EQ(run.exitStatus, 1);
    EXPECT_NE(run.err.find("rsa_pub.txt is a FIFO"), std::string::npos) << run.err;
  }
  EXPECT_EQ(lstat(dir.File("rsa_pub.txt").c_str(), &info), 0);
  EXPECT_TRUE(S_ISFIFO(info.st_mode));
}

TEST(SealkeyTest, AnExportThatCannotBeWrittenSaysWhy) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  const struct {
    const char* out;
    const char* message;
  } cases[] = {
      {"", "cannot write : it names no file that could be created"},
      {"sub/", "cannot write sub/: it names no file that could be created"},
      {"/", "/ is a folder"},
  };
  for (const auto& [out, message] : cases) {
    const ProcessResult run = Sealkey(dir, {"export", "--out", out});
    EXPECT_EQ(run.exitStatus, 1) << out;
    EXPECT_NE(run.err.find(message), std::string::npos) << run.err;
    EXPECT_EQ(run.err.find("Success"), std::string::npos) << run.err;
  }
}

// The id of a token key names its URI with the PIN masked, as text and JSON.
TEST(SealkeyTest, AnIdShowsNoPin) {
  if (!HaveSoftHsm()) GTEST_SKIP() << kNeedsSoftHsm;
  TempDir dir;
  SoftHsmToken token(dir);
  token.ImportRsaKeyPair(TestRsaKey(1), "rsa", "\x01");
  // p11-kit reads pin-value in lower case only: in capitals the URI is refused.
  const std::pair<const char*, int> cases[] = {{"object=rsa;type=public?pin-value=", 0},
                                               {"object=rsa;type=private?pin-value=", 0},
                                               {"object=rsa;type=private?PIN-VALUE=", 2}};
  for (const auto& [attributes, status] : cases) {
    const std::string uri = token.Uri(attributes + std::string(kTokenPin));
    for (const bool json : {false, true}) {
      std::vector<std::string> args = {"id"};
      if (json) args.push_back("--json");
      args.push_back(uri);
      const ProcessResult run = Sealkey(dir, args, {token.ConfigEnvironment()});
      EXPECT_EQ(run.exitStatus, status) << run.err;
      EXPECT_EQ((run.out + run.err).find(kTokenPin), std::string::npos) << run.out << run.err;
      EXPECT_NE(run.out.find("=***"), std::string::npos) << run.out;
    }
  }
}

// Every program that reads a private key or a passphrase wipes them before
// the memory goes back: the preloaded scan ends the run with status 99 when
// a freed block still holds one of the texts.
TEST(SealkeyTest, NoKeyOrPassphraseIsLeftInFreedMemory) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  Openssl(dir, {"genrsa", "-out", "key.pem", "1024"});
  WriteText(dir.File("pass.txt"), "tr0ub4dor-and-3\n");
  Openssl(dir, {"pkcs8", "-topk8", "-v2", "aes-128-cbc", "-in", "key.pem", "-out", "enc.pem",
                "-passout", "pass:tr0ub4dor-and-3"});
  WriteBytes(dir.File("in.bin"), ExampleInput(742, 23));
  ASSERT_EQ(RunSealtool(dir, {"in.bin", "sealed.bin", "742", "2"}).exitStatus, 0);
  // A line from the middle of the PEM: base64 of the private key itself.
  const Bytes pemBytes = ReadBytes(dir.File("key.pem"));
  std::istringstream pem(std::string(pemBytes.begin(), pemBytes.end()));
  std::string line;
  for (int i = 0; i < 5; ++i) std::getline(pem, line);
  ASSERT_EQ(line.size(), 64u);
  const std::string needles = line + "|tr0ub4dor-and-3|DQ = |QP = ";
  struct Case {
    std::string program;
    std::vector<std::string> args;
  };
  const std::vector<Case> cases = {
      {SEALKEY_EXE, {"id", "key.pem"}},
      {SEALKEY_EXE, {"check", "rsa_priv.txt"}},
      {SEALINFO_EXE, {"--chip", "742", "--expect-key", "key.pem", "sealed.bin"}},
      {SEALKEY_EXE, {"import", "enc.pem", "--pass-file", "pass.txt", "--force"}},
  };
  for (const Case& c : cases) {
    ProcessOptions options;
    options.workDir = dir.path();
    options.environment = {std::string("LD_PRELOAD=") + SIGNAL_SHIM,
                           "SEALTOOL_TEST_SCAN_FREED=" + needles};
    const ProcessResult run = RunProgram(c.program, c.args, options);
    EXPECT_NE(run.exitStatus, 99) << c.args[0] << " " << c.args[1] << ": " << run.err;
    EXPECT_EQ(run.err.find("freed memory holds secret text"), std::string::npos) << c.args[0];
  }
  // The import really read the key: the shim had something to find.
  const Bytes imported = ReadBytes(dir.File("rsa_priv.txt"));
  EXPECT_NE(std::string(imported.begin(), imported.end()).find("DQ = "), std::string::npos);
}

// No command, and a check that could not compare: said as such.
TEST(SealkeyTest, WhatWasNotDoneIsNeverOk) {
  TempDir dir;
  const ProcessResult none = Sealkey(dir, {});
  EXPECT_EQ(none.exitStatus, 2);
  EXPECT_EQ(none.err.rfind("sealkey: no command given\nusage: sealkey", 0), 0u) << none.err;
  WriteTestRsaKeyFiles(dir.path(), 1);
  std::remove(dir.File("rsa_pub.txt").c_str());
  const ProcessResult check = Sealkey(dir, {"check"});
  EXPECT_EQ(check.exitStatus, 0) << check.out;
  EXPECT_NE(check.out.find("public key   warning: not compared: no rsa_pub.txt beside the key"),
            std::string::npos)
      << check.out;
  EXPECT_EQ(check.out.find("public key   ok"), std::string::npos) << check.out;
}

// Every JSON document the programs write names its keys one way: lower
// case words joined by '_' (python walks each document and lists any other).
TEST(JsonStyleTest, EveryDocumentNamesItsKeysInOneStyle) {
  TempDir dir;
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteText(dir.File("aes.txt"), "#k\n2b7e151628aed2a6abf7158809cf4f3c\n");
  WriteText(dir.File("ring.json"), "{\"version\": 1, \"keys\": []}\n");
  WriteBytes(dir.File("in.bin"), ExampleInput(742, 3));
  ASSERT_EQ(RunSealtool(dir, {"--record", "record.json", "in.bin", "out.bin", "742", "2"}).exitStatus, 0);
  ProcessOptions here;
  here.workDir = dir.path();
  const Bytes record = ReadBytes(dir.File("record.json"));
  const std::vector<std::pair<std::string, std::string>> documents = {
      {"sealinfo --json", RunOwnProgram(SEALINFO_EXE, {"--json", "--keyring", "ring.json", "out.bin"}, here).out},
      {"sealkey id --json", Sealkey(dir, {"id", "--json"}).out},
      {"sealkey id --json aes.txt", Sealkey(dir, {"id", "--json", "aes.txt"}).out},
      {"sealkey check --json", Sealkey(dir, {"check", "--json"}).out},
      {"the record", std::string(record.begin(), record.end())},
  };
  for (const auto& [name, text] : documents) {
    WriteText(dir.File("document.json"), text);
    const ProcessResult keys = RunIn(
        dir, "/usr/bin/python3",
        {"-c",
         "import json, re\n"
         "def walk(v):\n"
         "    if isinstance(v, dict):\n"
         "        for k, e in v.items():\n"
         "            if not re.fullmatch('[a-z0-9]+(_[a-z0-9]+)*', k): print(k)\n"
         "            walk(e)\n"
         "    elif isinstance(v, list):\n"
         "        for e in v: walk(e)\n"
         "walk(json.load(open('document.json')))\n"});
    EXPECT_EQ(keys.exitStatus, 0) << name << ": " << keys.err << text;
    EXPECT_EQ(keys.out, "") << name;
  }
}

}  // namespace
}  // namespace sealtool::test
