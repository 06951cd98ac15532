#include "seal/rsa_signature.h"

#include <gtest/gtest.h>
#include <mbedtls/bignum.h>
#include <mbedtls/rsa.h>

#include <array>
#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "files.h"
#include "image/layout.h"
#include "test_keys.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Image = std::vector<std::uint8_t>;

struct SignOutcome {
  bool result;
  Image image;
  std::string out;
};

class RsaSignatureTest : public testing::Test {
 protected:
  void SetUp() override { inDir_ = std::make_unique<test::ScopedWorkDir>(dir_.path()); }

  SignOutcome Sign(const std::uint8_t* digest) {
    SignOutcome outcome{false, Image(kImageSize, 0), ""};
    CaptureStdout();
    outcome.result = SignHeaderDigestRsa(digest, outcome.image.data(), ResolveRunKeys(KeySources{}, 0));
    outcome.out = GetCapturedStdout();
    return outcome;
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedWorkDir> inDir_;
};

std::array<std::uint8_t, 32> DigestEndingIn(std::uint8_t last) {
  std::array<std::uint8_t, 32> digest{};
  for (std::size_t i = 0; i < digest.size(); ++i) {
    digest[i] = static_cast<std::uint8_t>(i * 37 + 5);
  }
  digest[31] = last;
  return digest;
}

std::vector<std::string> Lines(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    lines.push_back(line);
  }
  return lines;
}

std::string JoinLines(const std::vector<std::string>& lines) {
  std::string text;
  for (const std::string& line : lines) {
    text += line + "\n";
  }
  return text;
}

// S = m^D mod N computed directly from D, without the CRT.
Image ExpectedSignature(const mbedtls_rsa_context& rsa, const std::uint8_t* block) {
  mbedtls_mpi m, s;
  mbedtls_mpi_init(&m);
  mbedtls_mpi_init(&s);
  EXPECT_EQ(mbedtls_mpi_read_binary(&m, block, 128), 0);
  EXPECT_EQ(mbedtls_mpi_exp_mod(&s, &m, &rsa.D, &rsa.N, nullptr), 0);
  Image signature(128);
  EXPECT_EQ(mbedtls_mpi_write_binary(&s, signature.data(), signature.size()), 0);
  mbedtls_mpi_free(&m);
  mbedtls_mpi_free(&s);
  return signature;
}

std::string ExpectedEcho(const std::uint8_t* signature) {
  std::string text = "Encypt Sig(RSA): \r\n";
  char line[128];
  for (int k = 0; k < 16; ++k) {
    const std::uint8_t* b = signature + 8 * k;
    std::snprintf(line, sizeof line, "0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\r\n", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7]);
    text += line;
  }
  return text;
}

TEST(ReverseCopyTest, ReversesTheBytes) {
  const std::uint8_t source[4] = {1, 2, 3, 4};
  std::uint8_t destination[5] = {9, 9, 9, 9, 9};
  ReverseCopy(source, destination, 4);
  EXPECT_EQ(std::vector<std::uint8_t>(destination, destination + 5),
            (std::vector<std::uint8_t>{4, 3, 2, 1, 9}));
}

TEST_F(RsaSignatureTest, SignatureVerifiesWithTheStoredPublicKey) {
  test::WriteTestRsaKeyFiles(dir_.path(), 1);
  const mbedtls_rsa_context& key = test::TestRsaKey(1);
  const auto digest = DigestEndingIn(0xFE);
  const SignOutcome outcome = Sign(digest.data());
  ASSERT_TRUE(outcome.result) << outcome.out;

  std::uint8_t block[128] = {};
  for (int j = 0; j < 32; ++j) {
    block[j] = digest[31 - j];
  }
  const std::uint8_t* signature = outcome.image.data() + kRsaSignatureOffset;
  const Image expected = ExpectedSignature(key, block);
  EXPECT_TRUE(std::equal(expected.begin(), expected.end(), signature));
  EXPECT_EQ(outcome.out, ExpectedEcho(signature));

  // S^E mod N with the N and E stored (little-endian) in the image.
  mbedtls_rsa_context stored;
  mbedtls_rsa_init(&stored, 0, 0);
  ASSERT_EQ(mbedtls_mpi_read_binary_le(&stored.N, outcome.image.data() + kModulusOffset, 128), 0);
  ASSERT_EQ(mbedtls_mpi_read_binary_le(&stored.E, outcome.image.data() + kExponentOffset, 32), 0);
  stored.len = 128;
  std::uint8_t recovered[128];
  ASSERT_EQ(mbedtls_rsa_public(&stored, signature, recovered), 0);
  EXPECT_EQ(0, std::memcmp(recovered, block, 128));
  EXPECT_EQ(mbedtls_mpi_cmp_mpi(&stored.N, &key.N), 0);
  mbedtls_rsa_free(&stored);

  const std::uint8_t* exponent = outcome.image.data() + kExponentOffset;
  EXPECT_EQ(exponent[0], 0x01);
  EXPECT_EQ(exponent[1], 0x00);
  EXPECT_EQ(exponent[2], 0x01);
  EXPECT_EQ(std::count(exponent + 3, exponent + 32, 0), 29);
}

// A public key that does not verify the signature would give an image no
// device can boot: the run fails naming both files, and a public key whose
// exponent proves nothing is refused as well.
TEST_F(RsaSignatureTest, EverySealIsCheckedBeforeItIsStored) {
  test::WriteText(dir_.File("rsa_priv.txt"), test::RsaPrivateKeyText(test::TestRsaKey(1)));
  const mbedtls_rsa_context& key1 = test::TestRsaKey(1);
  char n1[600] = {};
  std::size_t written = 0;
  ASSERT_EQ(mbedtls_mpi_write_string(&key1.N, 16, n1, sizeof n1, &written), 0);
  const struct {
    const char* name;
    std::string pub;
    const char* message;
  } cases[] = {
      {"another key's N", test::RsaPublicKeyText(test::TestRsaKey(2)),
       " failed\n  ! the signature made with rsa_priv.txt does not verify under the public key of "
       "rsa_pub.txt: it was made with another key, or it is damaged\n\n"},
      {"E = 1", std::string("N = ") + n1 + "\r\nE = 01\r\n",
       " failed\n  ! E in rsa_pub.txt is even or below 3: a signature under it proves nothing\n\n"},
      {"E even", std::string("N = ") + n1 + "\r\nE = 010000\r\n",
       " failed\n  ! E in rsa_pub.txt is even or below 3: a signature under it proves nothing\n\n"},
      {"E = 0", std::string("N = ") + n1 + "\r\nE = 0\r\n",
       " failed\n  ! E in rsa_pub.txt is even or below 3: a signature under it proves nothing\n\n"},
      {"E = 3 of another key", std::string("N = ") + n1 + "\r\nE = 03\r\n",
       " failed\n  ! the signature made with rsa_priv.txt does not verify under the public key of "
       "rsa_pub.txt: it was made with another key, or it is damaged\n\n"},
  };
  for (const auto& c : cases) {
    test::WriteText(dir_.File("rsa_pub.txt"), c.pub);
    const auto digest = DigestEndingIn(0x10);
    const SignOutcome outcome = Sign(digest.data());
    EXPECT_FALSE(outcome.result) << c.name;
    const std::size_t at = outcome.out.rfind(" failed\n");
    ASSERT_NE(at, std::string::npos) << c.name << outcome.out;
    EXPECT_EQ(outcome.out.substr(at), c.message) << c.name;
  }
}

// The shared check against mbedtls's own verifier: a signature it accepts
// is accepted, and one bit off is not.
TEST(RsaSealTest, TheCheckAgreesWithTheLibrarysVerifier) {
  const mbedtls_rsa_context& key = test::TestRsaKey(1);
  std::uint8_t digest[32];
  for (std::uint8_t i = 0; i < 32; ++i) digest[i] = static_cast<std::uint8_t>(7 * i + 1);
  std::uint8_t block[kRsaBlockSize];
  MakeRsaInputBlock(digest, block);
  EXPECT_EQ(block[0], digest[31]);
  EXPECT_EQ(block[31], digest[0]);
  EXPECT_EQ(block[32], 0);
  mbedtls_rsa_context signer;
  mbedtls_rsa_init(&signer, 0, 0);
  ASSERT_EQ(mbedtls_rsa_copy(&signer, &key), 0);
  std::uint8_t signature[kRsaBlockSize];
  ASSERT_EQ(mbedtls_rsa_private(&signer, nullptr, nullptr, block, signature), 0);
  mbedtls_rsa_free(&signer);
  EXPECT_EQ(CheckRsaSeal(&key.N, &key.E, signature, block), RsaSealCheck::kVerifies);
  signature[100] ^= 0x01;
  EXPECT_EQ(CheckRsaSeal(&key.N, &key.E, signature, block), RsaSealCheck::kOtherKey);
  signature[100] ^= 0x01;
  block[5] ^= 0x01;
  EXPECT_EQ(CheckRsaSeal(&key.N, &key.E, signature, block), RsaSealCheck::kOtherImage);
  mbedtls_mpi one;
  mbedtls_mpi_init(&one);
  ASSERT_EQ(mbedtls_mpi_lset(&one, 1), 0);
  EXPECT_EQ(CheckRsaSeal(&key.N, &one, block, block), RsaSealCheck::kUnsoundKey);
  mbedtls_mpi_free(&one);
}

TEST_F(RsaSignatureTest, LinesAfterTheLastValueAreNeverRead) {
  const std::string priv = test::RsaPrivateKeyText(test::TestRsaKey(1));
  test::WriteText(dir_.File("rsa_priv.txt"), priv + "garbage that is no key\n");
  test::WriteText(dir_.File("rsa_pub.txt"),
                  test::RsaPublicKeyText(test::TestRsaKey(1)) + std::string(5000, 'x') + "\n");
  const auto digest = DigestEndingIn(0x42);
  EXPECT_TRUE(Sign(digest.data()).result);
}

std::string PrivLines(int keep) {
  std::vector<std::string> lines = Lines(test::RsaPrivateKeyText(test::TestRsaKey(1)));
  lines.resize(static_cast<std::size_t>(keep));
  return JoinLines(lines);
}

TEST_F(RsaSignatureTest, KeyFileFailures) {
  const std::string priv = test::RsaPrivateKeyText(test::TestRsaKey(1));
  const std::string pub = test::RsaPublicKeyText(test::TestRsaKey(1));
  std::vector<std::string> blankN = Lines(priv);
  blankN[0] += " ";  // a blank after the digits reads as 0
  std::vector<std::string> blankD = Lines(priv);
  blankD[1] += " ";
  std::vector<std::string> wrongDp = Lines(priv);
  wrongDp[4] = "DP = 3";
  const std::string pubLines = pub;
  const std::string pubNOnly = Lines(pub)[0] + "\n";
  const std::string wideE = Lines(pub)[0] + "\nE = 1" + std::string(64, '0') + "1\n";
  struct Case {
    const char* name;
    bool havePriv;
    std::string privText;
    bool havePub;
    std::string pubText;
    std::string message;
  };
  const Case cases[] = {
      {"no private key", false, "", true, pubLines,
       " failed\n  ! Could not open rsa_priv.txt\n  ! Please run rsa_genkey first\n\n"},
      {"six values", true, PrivLines(6), true, pubLines,
       " failed\n  ! mbedtls_mpi_read_file returned -2\n\n"},
      {"empty private key", true, "", true, pubLines,
       " failed\n  ! mbedtls_mpi_read_file returned -2\n\n"},
      {"overlong line", true, "N = " + std::string(3000, 'A') + "\n", true, pubLines,
       " failed\n  ! mbedtls_mpi_read_file returned -8\n\n"},
      {"blank after N", true, JoinLines(blankN), true, pubLines,
       " failed\n  ! N in rsa_priv.txt has 0 bits; it must be a 1024-bit modulus\n\n"},
      {"blank after D", true, JoinLines(blankD), true, pubLines,
       " failed\n  ! mbedtls_mpi_inv_mod returned -0x000e\n"
       "  ! rsa_priv.txt does not hold a consistent RSA key\n\n"},
      {"inconsistent DP", true, JoinLines(wrongDp), true, pubLines,
       " failed\n  ! mbedtls_rsa_private returned -0x4380\n"
       "  ! rsa_priv.txt does not hold a consistent RSA key\n\n"},
      {"no public key", true, priv, false, "",
       " failed\n  ! Could not open rsa_pub.txt\n  ! Please run rsa_genkey first\n\n"},
      {"public key without E", true, priv, true, pubNOnly,
       " failed\n  ! mbedtls_mpi_read_file returned -2\n\n"},
      {"short public modulus", true, priv, true, "N = 0FF1\nE = 10001\n",
       " failed\n  ! N in rsa_pub.txt has 12 bits; it must be a 1024-bit modulus\n\n"},
      {"wide exponent", true, priv, true, wideE,
       " failed\n  ! E in rsa_pub.txt is 33 bytes long; it must fit in 32 bytes\n\n"},
  };
  const auto digest = DigestEndingIn(0x20);
  for (const Case& c : cases) {
    std::remove("rsa_priv.txt");
    std::remove("rsa_pub.txt");
    if (c.havePriv) test::WriteText("rsa_priv.txt", c.privText);
    if (c.havePub) test::WriteText("rsa_pub.txt", c.pubText);
    const SignOutcome outcome = Sign(digest.data());
    EXPECT_FALSE(outcome.result) << c.name;
    // A failure after signing leaves the echo before the message.
    const std::size_t at = outcome.out.find(" failed\n");
    ASSERT_NE(at, std::string::npos) << c.name;
    EXPECT_EQ(outcome.out.substr(at), c.message) << c.name;
  }
}

TEST_F(RsaSignatureTest, KeyOfAnotherSizeIsRefused) {
  mbedtls_rsa_context small;
  mbedtls_rsa_init(&small, 0, 0);
  ASSERT_TRUE(test::GenerateOrdinaryRsaKey(&small, 768, 1));
  test::WriteText("rsa_priv.txt", test::RsaPrivateKeyText(small));
  test::WriteText("rsa_pub.txt", test::RsaPublicKeyText(small));
  const auto digest = DigestEndingIn(0x01);
  const SignOutcome outcome = Sign(digest.data());
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out, " failed\n  ! N in rsa_priv.txt has 768 bits; it must be a 1024-bit modulus\n\n");
  mbedtls_rsa_free(&small);
}

TEST_F(RsaSignatureTest, DigestNotBelowTheModulusIsRefusedWithAReason) {
  // With N's top byte 0xFF, only a digest ending in 0xFF can reach N; this
  // one is made to exceed it.
  test::WriteTestRsaKeyFiles(dir_.path(), 1);
  auto digest = DigestEndingIn(0xFF);
  for (int i = 0; i < 31; ++i) {
    digest[i] = 0xFF;
  }
  const SignOutcome outcome = Sign(digest.data());
  EXPECT_FALSE(outcome.result);
  EXPECT_EQ(outcome.out,
            " failed\n  ! mbedtls_rsa_private returned -0x4304\n"
            "  ! The header digest is not below the modulus: its last byte 0xff is the top byte"
            " of the RSA input, and N's top byte is 0xff\n"
            "  ! The key's modulus starts with 0xff already: change the image (any change to the"
            " header gives another digest)\n\n");
  const Image untouched(kImageSize, 0);
  EXPECT_EQ(outcome.image, untouched);
}

}  // namespace
}  // namespace sealtool
