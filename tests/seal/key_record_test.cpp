#include "seal/key_record.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>

#include <array>
#include <cstdio>
#include <vector>

#include "image/layout.h"
#include "keys/aes_key_file.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::array<std::uint8_t, 16> DecryptWrapped(const std::uint8_t* wrapped) {
  std::uint8_t wrappingKey[16];
  AssembleWrappingKey(wrappingKey);
  std::array<std::uint8_t, 16> plain{};
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  EXPECT_EQ(mbedtls_aes_setkey_dec(&aes, wrappingKey, 128), 0);
  EXPECT_EQ(mbedtls_aes_crypt_ecb(&aes, MBEDTLS_AES_DECRYPT, wrapped, plain.data()), 0);
  mbedtls_aes_free(&aes);
  return plain;
}

TEST(WrapUserKeyTest, StoresAndEchoesTheKeyEncryptedUnderTheWrappingKey) {
  const std::uint8_t userKey[16] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77,
                                    0x88, 0x99, 0xaa, 0xbb, 0xcc, 0xdd, 0xee, 0xff};
  std::vector<std::uint8_t> image(kImageSize, 0x5C);
  CaptureStdout();
  EXPECT_TRUE(WrapUserKey(userKey, image.data()));
  const std::string out = GetCapturedStdout();

  const std::uint8_t* wrapped = image.data() + kWrappedKeyOffset;
  const auto plain = DecryptWrapped(wrapped);
  EXPECT_TRUE(std::equal(plain.begin(), plain.end(), userKey));

  std::string echo = "AES-wr-key:\r\n";
  char digits[3];
  for (std::size_t i = 0; i < kWrappedKeySize; ++i) {
    std::snprintf(digits, sizeof digits, "%02x", wrapped[i]);
    echo += digits;
  }
  EXPECT_EQ(out, echo + "\r\n");
  for (std::size_t i = 0; i < kImageSize; ++i) {
    if (i < kWrappedKeyOffset || i >= kWrappedKeyOffset + kWrappedKeySize) {
      ASSERT_EQ(image[i], 0x5C) << i;
    }
  }
}

TEST(WrapUserKeyTest, WrappingKeyIsNeitherZeroNorADefaultKey) {
  std::array<std::uint8_t, 16> wrapping{};
  std::array<std::uint8_t, 16> shared{};
  std::array<std::uint8_t, 16> chip742{};
  AssembleWrappingKey(wrapping.data());
  GetDefaultAesKey(0, shared.data());
  GetDefaultAesKey(742, chip742.data());
  EXPECT_NE(wrapping, (std::array<std::uint8_t, 16>{}));
  EXPECT_NE(wrapping, shared);
  EXPECT_NE(wrapping, chip742);
}

}  // namespace
}  // namespace sealtool
