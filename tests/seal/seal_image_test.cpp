#include "seal/seal_image.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>
#include <mbedtls/sha256.h>

#include <array>
#include <cstring>
#include <vector>

#include "example_image.h"
#include "files.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Image = std::vector<std::uint8_t>;

void DecryptCbc(const std::uint8_t* key, std::uint8_t* data, std::size_t length) {
  std::uint8_t iv[16] = {};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  ASSERT_EQ(mbedtls_aes_setkey_dec(&aes, key, 128), 0);
  ASSERT_EQ(mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_DECRYPT, length, iv, data, data), 0);
  mbedtls_aes_free(&aes);
}

std::array<std::uint8_t, 32> Sha256Of(const std::uint8_t* data, std::size_t length) {
  std::array<std::uint8_t, 32> digest{};
  EXPECT_EQ(mbedtls_sha256_ret(data, length, digest.data(), 0), 0);
  return digest;
}

// True when the sealed body decrypts under key to the plain image's body.
bool BodyDecryptsTo(const Image& sealed, const Image& plain, const std::uint8_t* key) {
  Image body(sealed.begin() + kBodyAreaOffset, sealed.end());
  DecryptCbc(key, body.data(), body.size());
  return std::equal(body.begin(), body.end(), plain.begin() + kBodyAreaOffset);
}

// The header digest as sealing took it: before the seal was stored.
std::array<std::uint8_t, 32> HeaderDigestBeforeSeal(const Image& sealed, const Image& plain) {
  Image header(sealed.begin(), sealed.begin() + kHeaderAreaSize);
  std::memcpy(header.data() + kDigestSealOffset, plain.data() + kDigestSealOffset, 32);
  return Sha256Of(header.data(), header.size());
}

Image ExampleImage(std::int32_t chip) {
  Image image(kImageSize, 0);
  EXPECT_TRUE(BuildExampleImage(chip, 3, image.data(), kImageSize));
  return image;
}

TEST(DigestWordsTest, WordsAreLittleEndianWithoutLeadingZeros) {
  std::uint8_t digest[32] = {0x01, 0x02, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00};
  digest[28] = 0xEF;
  digest[29] = 0xBE;
  digest[30] = 0xAD;
  digest[31] = 0xDE;
  CaptureStdout();
  PrintDigestWords("SHA256: ", digest);
  EXPECT_EQ(GetCapturedStdout(),
            "SHA256: 0x201 0x1 0x0 0x0\r\n        0x0 0x0 0x0 0xdeadbeef\r\n");
}

TEST(SealImageTest, AesSealDecryptsBackToWhatWentIn) {
  test::TempDir dir;
  test::ScopedWorkDir inDir(dir.path());
  const Image plain = ExampleImage(753);
  Image sealed = plain;
  CaptureStdout();
  ASSERT_TRUE(SealImage(sealed.data(), 753, RunMode::kAesSeal, KeySources{}));
  const std::string out = GetCapturedStdout();

  // The image digest covers the plain image with the digest region as the
  // input had it (chip 753 is not cleared).
  const auto imageDigest = Sha256Of(plain.data(), kImageSize);
  EXPECT_EQ(0, std::memcmp(sealed.data() + kImageDigestOffset, imageDigest.data(), 32));

  std::uint8_t key[16];
  GetDefaultAesKey(753, key);
  EXPECT_TRUE(BodyDecryptsTo(sealed, plain, key));

  const auto headerDigest = HeaderDigestBeforeSeal(sealed, plain);
  std::uint8_t seal[32];
  std::memcpy(seal, sealed.data() + kDigestSealOffset, 32);
  DecryptCbc(key, seal, sizeof seal);
  EXPECT_EQ(0, std::memcmp(seal, headerDigest.data(), 32));

  // Everything else in the header is unchanged, bytes 352 to 447 included.
  for (std::size_t i = 0; i < kDigestSealOffset; ++i) {
    ASSERT_EQ(sealed[i], plain[i]) << i;
  }
  EXPECT_NE(out.find("No AES128 key file! Using default setting\n"), std::string::npos);
  EXPECT_NE(out.find("WIN32 system !!\r\nEncypt Sig: 0x"), std::string::npos);
}

TEST(SealImageTest, TokenFormSealsTheDigestUnderAZeroKey) {
  test::TempDir dir;
  test::ScopedWorkDir inDir(dir.path());
  test::WriteText("aes.txt", "#body-key\n000102030405060708090a0b0c0d0e0f\n");
  const Image plain = ExampleImage(775);
  Image sealed = plain;
  CaptureStdout();
  ASSERT_TRUE(SealImage(sealed.data(), 775, RunMode::kAesSeal, KeySources{}));
  GetCapturedStdout();

  const std::uint8_t bodyKey[16] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15};
  EXPECT_TRUE(BodyDecryptsTo(sealed, plain, bodyKey));

  // First half of the seal: one ECB block under the zero key.
  const auto headerDigest = HeaderDigestBeforeSeal(sealed, plain);
  const std::uint8_t zeroKey[16] = {};
  std::uint8_t firstHalf[16];
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  ASSERT_EQ(mbedtls_aes_setkey_enc(&aes, zeroKey, 128), 0);
  ASSERT_EQ(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_ENCRYPT, headerDigest.data(), firstHalf), 0);
  mbedtls_aes_free(&aes);
  EXPECT_EQ(0, std::memcmp(sealed.data() + kDigestSealOffset, firstHalf, 16));
}

TEST(SealImageTest, MalformedBodyKeyFailsBeforeEncrypting) {
  test::TempDir dir;
  test::ScopedWorkDir inDir(dir.path());
  test::WriteText("aes.txt", "0123\n");
  const Image plain = ExampleImage(753);
  Image sealed = plain;
  CaptureStdout();
  EXPECT_FALSE(SealImage(sealed.data(), 753, RunMode::kAesSeal, KeySources{}));
  const std::string out = GetCapturedStdout();
  EXPECT_NE(out.find("AES-Key:\r\n failed\n  ! Please check aes.txt\n"), std::string::npos);
  EXPECT_TRUE(std::equal(sealed.begin() + kBodyAreaOffset, sealed.end(),
                         plain.begin() + kBodyAreaOffset));
}

}  // namespace
}  // namespace sealtool
