#include "keys/aes_cbc.h"

#include <gtest/gtest.h>
#include <mbedtls/aes.h>

#include <string>
#include <vector>

namespace sealtool {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes FromHex(const std::string& hex) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < hex.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// SP 800-38A F.2.1 and F.2.2 (CBC-AES128). Its IV is folded into the first
// plaintext block, which gives the same chain under a zero IV.
TEST(AesCbcZeroIvTest, MatchesTheSp800_38aVectorsBothWays) {
  const Bytes key = FromHex("2b7e151628aed2a6abf7158809cf4f3c");
  const Bytes iv = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes plain = FromHex(
      "6bc1bee22e409f96e93d7e117393172aae2d8a571e03ac9c9eb76fac45af8e51"
      "30c81c46a35ce411e5fbc1191a0a52eff69f2445df4f9b17ad2b417be66c3710");
  const Bytes cipher = FromHex(
      "7649abac8119b246cee98e9b12e9197d5086cb9b507219ee95db113a917678b2"
      "73bed6b8e3c1743b7116e69e222295163ff1caa1681fac09120eca307586e1a7");
  for (std::size_t i = 0; i < iv.size(); ++i) plain[i] ^= iv[i];

  Bytes data = plain;
  ASSERT_EQ(AesCbcZeroIv(key.data(), MBEDTLS_AES_ENCRYPT, data.data(), data.size()), 0);
  EXPECT_EQ(data, cipher);
  ASSERT_EQ(AesCbcZeroIv(key.data(), MBEDTLS_AES_DECRYPT, data.data(), data.size()), 0);
  EXPECT_EQ(data, plain);
}

// FIPS 197 C.1: one block is the plain cipher, as the key wrapping needs.
TEST(AesCbcZeroIvTest, OneBlockIsTheBlockCipher) {
  const Bytes key = FromHex("000102030405060708090a0b0c0d0e0f");
  Bytes block = FromHex("00112233445566778899aabbccddeeff");
  ASSERT_EQ(AesCbcZeroIv(key.data(), MBEDTLS_AES_ENCRYPT, block.data(), block.size()), 0);
  EXPECT_EQ(block, FromHex("69c4e0d86a7b0430d8cdb78070b4c55a"));
}

TEST(AesCbcZeroIvTest, PartialBlocksAreRefusedAndLeftUntouched) {
  const Bytes key(16, 0x42);
  for (const std::size_t length : {std::size_t{1}, std::size_t{15}, std::size_t{17},
                                   std::size_t{32255}}) {
    for (const int direction : {MBEDTLS_AES_ENCRYPT, MBEDTLS_AES_DECRYPT}) {
      Bytes data(length, 0x5A);
      EXPECT_EQ(AesCbcZeroIv(key.data(), direction, data.data(), data.size()),
                MBEDTLS_ERR_AES_INVALID_INPUT_LENGTH)
          << length;
      EXPECT_EQ(data, Bytes(length, 0x5A)) << length;
    }
  }
  Bytes empty;
  EXPECT_EQ(AesCbcZeroIv(key.data(), MBEDTLS_AES_ENCRYPT, empty.data(), 0), 0);
}

}  // namespace
}  // namespace sealtool
