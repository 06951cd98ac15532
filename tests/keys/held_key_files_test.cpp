// A run that holds its key files reads each once: the key read for the
// first image serves every later one, even once the file is gone, and the
// RSA key signs as a fresh read would (the raw signature is deterministic,
// checked with mbedtls's public operation); CloseKeys forgets it all.
#include "keys/held_key_files.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "files.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"
#include "keys/key_handle.h"
#include "keys/rsa_key_files.h"
#include "test_keys.h"

namespace sealtool {
namespace {

constexpr std::uint32_t kKeySeed = 11;
constexpr char kKeyHex[] = "000102030405060708090a0b0c0d0e0f";

// One AES block of zeros under the key, by mbedtls itself.
void ZeroBlockUnder(const std::uint8_t* key, std::uint8_t* out) {
  std::uint8_t zero[16] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  ASSERT_EQ(mbedtls_aes_setkey_enc(&aes, key, 128), 0);
  ASSERT_EQ(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, zero, out), 0);
  mbedtls_aes_free(&aes);
}

class HeldKeyFilesTest : public testing::Test {
 protected:
  void SetUp() override {
    inDir_ = std::make_unique<test::ScopedWorkDir>(dir_.path());
    std::FILE* file = std::fopen("body.txt", "w");
    ASSERT_NE(file, nullptr);
    std::fprintf(file, "#\n%s\n", kKeyHex);
    std::fclose(file);
    test::WriteTestRsaKeyFiles(dir_.path(), kKeySeed);
  }
  void TearDown() override { CloseKeys(); }

  static bool EncryptZeroBlock(std::uint8_t* block) {
    std::memset(block, 0, 16);
    return KeyEncryptCbc(ResolveKey("body.txt", KeyRole::kAesKey, 753), KeyEcho::kNone, block, 16);
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedWorkDir> inDir_;
};

TEST_F(HeldKeyFilesTest, AnAesKeyFileIsReadOnceAndForgottenAtTheEnd) {
  std::uint8_t key[16];
  for (int i = 0; i < 16; ++i) key[i] = static_cast<std::uint8_t>(i);
  std::uint8_t expected[16];
  ZeroBlockUnder(key, expected);

  HoldKeyFilesForRun();
  std::uint8_t first[16];
  std::uint8_t again[16];
  ASSERT_TRUE(EncryptZeroBlock(first));
  ASSERT_EQ(std::remove("body.txt"), 0);
  ASSERT_TRUE(EncryptZeroBlock(again));
  EXPECT_EQ(std::memcmp(first, expected, 16), 0);
  EXPECT_EQ(std::memcmp(again, expected, 16), 0) << "the key was not held";

  // Forgotten: the file is read again, and it is gone.
  CloseKeys();
  EXPECT_FALSE(HoldingKeyFiles());
  std::uint8_t fresh[16];
  testing::internal::CaptureStdout();
  EXPECT_FALSE(EncryptZeroBlock(fresh));
  EXPECT_NE(testing::internal::GetCapturedStdout().find("Could not open body.txt"), std::string::npos);
}

// A single run holds nothing: each use reads the file as it stands.
TEST_F(HeldKeyFilesTest, WithoutHoldingEachUseReadsTheFile) {
  std::uint8_t first[16];
  ASSERT_TRUE(EncryptZeroBlock(first));
  ASSERT_EQ(std::remove("body.txt"), 0);
  testing::internal::CaptureStdout();
  EXPECT_FALSE(EncryptZeroBlock(first));
  testing::internal::GetCapturedStdout();
}

TEST_F(HeldKeyFilesTest, AHeldRsaKeySignsEveryBlockAsAFreshReadWould) {
  const mbedtls_rsa_context& reference = test::TestRsaKey(kKeySeed);
  HoldKeyFilesForRun();
  const KeyHandle key = ResolveKey(nullptr, KeyRole::kRsaPrivate);
  const KeyHandle publicKey = ResolveKey(nullptr, KeyRole::kRsaPublic);
  for (int i = 0; i < 3; ++i) {
    std::uint8_t block[kRsaBlockSize] = {0x00, 0x01};
    block[kRsaBlockSize - 1] = static_cast<std::uint8_t>(i + 1);
    std::uint8_t signature[kRsaBlockSize];
    testing::internal::CaptureStdout();
    const bool signedBlock = KeySignRaw(key, publicKey, block, signature);
    testing::internal::GetCapturedStdout();
    ASSERT_TRUE(signedBlock) << "block " << i;
    if (i == 0) {
      ASSERT_EQ(std::remove(kRsaPrivateKeyFileName), 0);  // later blocks use the held key
    }
    mbedtls_rsa_context check;
    mbedtls_rsa_init(&check, 0, 0);
    ASSERT_EQ(mbedtls_rsa_copy(&check, &reference), 0);
    std::uint8_t opened[kRsaBlockSize];
    ASSERT_EQ(mbedtls_rsa_public(&check, signature, opened), 0);
    mbedtls_rsa_free(&check);
    EXPECT_EQ(std::memcmp(opened, block, sizeof block), 0) << "block " << i;
  }
}

// A source of the test's own that counts how often its public key is asked.
int gPublicKeyReads = 0;

bool ClaimsCountedRef(const char* ref) { return std::strncmp(ref, "counted:", 8) == 0; }

bool CountedPublicKey(const KeyHandle& /*key*/, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  ++gPublicKeyReads;
  *kind = "counted";
  const mbedtls_rsa_context& rsa = test::TestRsaKey(kKeySeed);
  return mbedtls_mpi_copy(n, &rsa.N) == 0 && mbedtls_mpi_copy(e, &rsa.E) == 0;
}

const KeySourceInfo kCountedKeySource = {
    .name = "counted", .claims = ClaimsCountedRef, .givesOwnPublicKey = true, .refIsPath = false,
    .publicKey = CountedPublicKey,
};

// Every source's public key (a token's modulus, a helper's answer) is asked
// once while the run holds its keys, and again once it no longer does.
TEST_F(HeldKeyFilesTest, APublicKeyOfAnySourceIsAskedOncePerRun) {
  ASSERT_TRUE(AddKeySource(&kCountedKeySource));
  gPublicKeyReads = 0;
  HoldKeyFilesForRun();
  const KeyHandle key = ResolveKey("counted:a", KeyRole::kRsaPublic);
  for (int i = 0; i < 3; ++i) {
    mbedtls_mpi n, e;
    mbedtls_mpi_init(&n);
    mbedtls_mpi_init(&e);
    const char* kind = "";
    EXPECT_TRUE(KeyPublicKey(key, &n, &e, &kind));
    EXPECT_STREQ(kind, "counted");
    EXPECT_EQ(mbedtls_mpi_cmp_mpi(&n, &test::TestRsaKey(kKeySeed).N), 0);
    mbedtls_mpi_free(&n);
    mbedtls_mpi_free(&e);
  }
  EXPECT_EQ(gPublicKeyReads, 1);
  CloseKeys();
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  EXPECT_TRUE(KeyPublicKey(key, &n, &e, &kind));
  EXPECT_TRUE(KeyPublicKey(key, &n, &e, &kind));
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  EXPECT_EQ(gPublicKeyReads, 3);
  RemoveAddedKeySources();
}

}  // namespace
}  // namespace sealtool
