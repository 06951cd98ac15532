// Whole runs of the key-record and secure modes: every console line, the
// exit status and every output byte, against an expectation built with
// mbedtls; and the failures of the key files.
#include <gtest/gtest.h>

#include <cstring>

#include "secure_expectation.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

const AesKey kUserKey = {0x3c, 0x91, 0x0e, 0xd4, 0x7a, 0x25, 0xb8, 0x61,
                         0xf0, 0x4d, 0x9b, 0x12, 0xc6, 0x88, 0x5f, 0xa3};

enum class AesFile { kAbsent, kToken };

struct SecureCase {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  AesFile aes;
};

void PrintTo(const SecureCase& c, std::ostream* os) { *os << c.name; }

KeySetup KeysFor(const SecureCase& c) {
  return c.aes == AesFile::kAbsent ? DefaultKeys(c.chip) : TokenKeys(kUserKey);
}

void Prepare(const TempDir& dir, const Bytes& input, const KeySetup& keys, bool rsaFiles) {
  WriteBytes(dir.File("in.bin"), input);
  if (keys.aesText) WriteText(dir.File("aes.txt"), *keys.aesText);
  if (rsaFiles) WriteTestRsaKeyFiles(dir.path(), 1);
}

class SecureModeTest : public testing::TestWithParam<SecureCase> {};

TEST_P(SecureModeTest, SealsExactly) {
  const SecureCase& c = GetParam();
  const bool rsaMode = c.chip == 742 && c.secureBoot == 2;
  TempDir dir;
  const Bytes input = ExampleInput(c.chip, 5);
  const KeySetup keys = KeysFor(c);
  Prepare(dir, input, keys, rsaMode);
  const Expectation expected =
      ExpectSecureRun(c.chip, c.secureBoot, input, keys, rsaMode ? &TestRsaKey(1) : nullptr);

  const ProcessResult result =
      RunSealtool(dir, {"in.bin", "out.bin", std::to_string(c.chip), std::to_string(c.secureBoot)});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, expected.out);
  EXPECT_EQ(result.err, "");
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected.image);
}

INSTANTIATE_TEST_SUITE_P(
    Modes, SecureModeTest,
    testing::Values(SecureCase{"Rsa742Default", 742, 2, AesFile::kAbsent},
                    SecureCase{"Rsa742Token", 742, 2, AesFile::kToken},
                    SecureCase{"AesSeal742Default", 742, 1, AesFile::kAbsent},
                    SecureCase{"AesSeal742With3", 742, 3, AesFile::kToken},
                    SecureCase{"AesSeal775Token", 775, 1, AesFile::kToken},
                    SecureCase{"AesSeal775Default", 775, 1, AesFile::kAbsent},
                    SecureCase{"AesSeal753With2", 753, 2, AesFile::kToken},
                    SecureCase{"AesSeal753Default", 753, 1, AesFile::kAbsent},
                    SecureCase{"AesSeal0Token", 0, 1, AesFile::kToken},
                    SecureCase{"AesSeal731Negative", 731, -4, AesFile::kAbsent}),
    [](const testing::TestParamInfo<SecureCase>& info) { return std::string(info.param.name); });

class KeyRecordModeTest : public testing::TestWithParam<SecureCase> {};

TEST_P(KeyRecordModeTest, WrapsTheUserKey) {
  const SecureCase& c = GetParam();
  TempDir dir;
  const Bytes input = ExampleInput(c.chip, 9);
  const KeySetup keys = KeysFor(c);
  Prepare(dir, input, keys, false);
  const Expectation expected = ExpectKeyRecordRun(c.chip, input, keys);
  const ProcessResult result =
      RunSealtool(dir, {"in.bin", "out.bin", std::to_string(c.chip), "3"});
  EXPECT_EQ(result.exitStatus, 0);
  EXPECT_EQ(result.out, expected.out);
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), expected.image);
}

INSTANTIATE_TEST_SUITE_P(
    Chips, KeyRecordModeTest,
    testing::Values(SecureCase{"Chip753Token", 753, 3, AesFile::kToken},
                    SecureCase{"Chip753Default", 753, 3, AesFile::kAbsent},
                    SecureCase{"Chip775Token", 775, 3, AesFile::kToken},
                    SecureCase{"Chip0Default", 0, 3, AesFile::kAbsent},
                    SecureCase{"Chip731Token", 731, 3, AesFile::kToken}),
    [](const testing::TestParamInfo<SecureCase>& info) { return std::string(info.param.name); });

TEST(KeyRecordRunTest, InputWithoutMarkerGetsOneAndOnlyThreeRegionsChange) {
  TempDir dir;
  Bytes input = ExampleInput(753, 4, 32768);
  input[48] = 0x00;
  input[49] = 0x00;
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "753", "3"});
  ASSERT_EQ(result.exitStatus, 0) << result.out;
  const Bytes out = ReadBytes(dir.File("out.bin"));
  ASSERT_EQ(out.size(), 32768u);
  EXPECT_EQ(out[48], 0x55);
  EXPECT_EQ(out[49], 0xAA);
  for (std::size_t i = 0; i < out.size(); ++i) {
    const bool markerOrChecksum = i >= 48 && i < 52;
    const bool wrappedKey = i >= 128 && i < 144;
    if (!markerOrChecksum && !wrappedKey) {
      ASSERT_EQ(out[i], input[i]) << "offset " << i;
    }
  }
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < 16384; ++i) sum += out[2 * i] + 256u * out[2 * i + 1] + i;
  EXPECT_EQ(sum & 0xFFFF, 0u);
}

TEST(SecureRunTest, UnclearedChipsKeepInputBytesBetweenSignatureAndSeal) {
  // Chip 753 (AES-seal): bytes 352 to 447 and the modulus area pass through.
  TempDir dir;
  const Bytes input = ExampleInput(753, 6);
  WriteBytes(dir.File("in.bin"), input);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "753", "1"});
  ASSERT_EQ(result.exitStatus, 0);
  const Bytes out = ReadBytes(dir.File("out.bin"));
  EXPECT_TRUE(std::equal(out.begin() + 192, out.begin() + 448, input.begin() + 192));
}

// The RSA failures, each with nothing written.
struct RsaFailure {
  const char* name;
  std::function<void(const TempDir&)> keys;
  std::string tail;
};

void PrintTo(const RsaFailure& c, std::ostream* os) { *os << c.name; }

std::string KeyLinesOf(const std::string& text, std::size_t keep) {
  std::string out;
  std::size_t at = 0;
  for (std::size_t i = 0; i < keep; ++i) {
    const std::size_t end = text.find('\n', at);
    out += text.substr(at, end + 1 - at);
    at = end + 1;
  }
  return out;
}

class RsaFailureTest : public testing::TestWithParam<RsaFailure> {};

TEST_P(RsaFailureTest, RunEndsWith255AndNoOutput) {
  const RsaFailure& c = GetParam();
  TempDir dir;
  WriteBytes(dir.File("in.bin"), ExampleInput(742, 5));
  c.keys(dir);
  const std::vector<std::string> before = dir.List();
  WriteBytes(dir.File("out.bin"), Bytes(77, 0x99));
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "742", "2"});
  EXPECT_EQ(result.exitStatus, 255);
  ASSERT_GE(result.out.size(), c.tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - c.tail.size()), c.tail);
  EXPECT_NE(result.out.find("WIN32 system !!\r\n"), std::string::npos);
  EXPECT_EQ(ReadBytes(dir.File("out.bin")), Bytes(77, 0x99));
  std::vector<std::string> after = dir.List();
  after.erase(std::find(after.begin(), after.end(), "out.bin"));
  EXPECT_EQ(after, before);
}

std::string PrivText() { return RsaPrivateKeyText(TestRsaKey(1)); }
std::string PubText() { return RsaPublicKeyText(TestRsaKey(1)); }

INSTANTIATE_TEST_SUITE_P(
    KeyFiles, RsaFailureTest,
    testing::Values(
        RsaFailure{"NoKeyFiles", [](const TempDir&) {},
                   "WIN32 system !!\r\n failed\n  ! Could not open rsa_priv.txt\n"
                   "  ! Please run rsa_genkey first\n\n"},
        RsaFailure{"ShortPrivateKey",
                   [](const TempDir& d) {
                     WriteText(d.File("rsa_priv.txt"), KeyLinesOf(PrivText(), 3));
                     WriteText(d.File("rsa_pub.txt"), PubText());
                   },
                   "WIN32 system !!\r\n failed\n  ! mbedtls_mpi_read_file returned -2\n\n"},
        RsaFailure{"NoPublicKey",
                   [](const TempDir& d) { WriteText(d.File("rsa_priv.txt"), PrivText()); },
                   " failed\n  ! Could not open rsa_pub.txt\n  ! Please run rsa_genkey first\n\n"},
        RsaFailure{"ShortPublicKey",
                   [](const TempDir& d) {
                     WriteText(d.File("rsa_priv.txt"), PrivText());
                     WriteText(d.File("rsa_pub.txt"), KeyLinesOf(PubText(), 1));
                   },
                   " failed\n  ! mbedtls_mpi_read_file returned -2\n\n"},
        RsaFailure{"BlankAfterModulus",
                   [](const TempDir& d) {
                     std::string priv = PrivText();
                     priv.insert(priv.find('\r'), " ");
                     WriteText(d.File("rsa_priv.txt"), priv);
                     WriteText(d.File("rsa_pub.txt"), PubText());
                   },
                   "WIN32 system !!\r\n failed\n  ! N in rsa_priv.txt has 0 bits;"
                   " it must be a 1024-bit modulus\n\n"}),
    [](const testing::TestParamInfo<RsaFailure>& info) { return std::string(info.param.name); });

// An ordinary key (N's top byte well below 0xFF) and an image whose header
// digest ends in a larger byte: the library refuses the operation.
TEST(RsaRefusalTest, DigestAboveTheModulusIsReportedAndNothingWritten) {
  const RefusedRsaCase& refused = RefusedRsaImage();
  TempDir dir;
  WriteBytes(dir.File("in.bin"), refused.input);
  WriteText(dir.File("rsa_priv.txt"), refused.privText);
  WriteText(dir.File("rsa_pub.txt"), refused.pubText);
  const ProcessResult result = RunSealtool(dir, {"in.bin", "out.bin", "742", "2"});
  EXPECT_EQ(result.exitStatus, 255);
  const std::string tail = "WIN32 system !!\r\n" + refused.message;
  ASSERT_GE(result.out.size(), tail.size());
  EXPECT_EQ(result.out.substr(result.out.size() - tail.size()), tail);
  EXPECT_FALSE(FileExists(dir.File("out.bin")));
}

}  // namespace
}  // namespace sealtool::test
