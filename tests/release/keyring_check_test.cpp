// The keys no production release may use, worked out from the example key
// files themselves and from the built-in keys, so that the list cannot
// drift from them.
#include "release/keyring_check.h"

#include <gtest/gtest.h>

#include <mbedtls/bignum.h>

#include <memory>
#include <string>

#include "files.h"
#include "image/hex_text.h"
#include "keys/key_check_value.h"
#include "keys/key_id.h"
#include "keys/public_key.h"

namespace sealtool {
namespace {

std::string CheckValueOf(const char* ref, KeyRole role, std::int32_t chip = 0) {
  std::uint8_t value[kKeyCheckValueSize] = {};
  EXPECT_TRUE(KeyCheckValue(ResolveKey(ref, role, chip), value)) << (ref != nullptr ? ref : "built-in");
  return HexString(value, sizeof value);
}

TEST(KeyringCheckTest, TheExampleKeysAndTheBuiltInKeysAreDevelopmentKeys) {
  const std::string examples = SEALTOOL_EXAMPLE_KEYS;
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  KeyIds ids{};
  ASSERT_TRUE(LoadPublicKeyFile((examples + "/rsa_pub.txt").c_str(), &n, &e, &kind));
  ASSERT_TRUE(ComputeKeyIds(&n, &e, &ids));
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  EXPECT_TRUE(IsDevelopmentKeyId(HexString(ids.header, sizeof ids.header)));
  EXPECT_TRUE(IsDevelopmentKeyId(HexString(ids.spki, sizeof ids.spki)));
  EXPECT_TRUE(IsDevelopmentKeyId(CheckValueOf((examples + "/aes-token.txt").c_str(), KeyRole::kAesKey)));
  EXPECT_TRUE(IsDevelopmentKeyId(CheckValueOf((examples + "/aes-bytes.txt").c_str(), KeyRole::kSealKey)));
  // Where no aes.txt is, the built-in key of the chip stands in.
  test::TempDir dir;
  const test::ScopedWorkDir inDir(dir.path());
  EXPECT_TRUE(IsDevelopmentKeyId(CheckValueOf(nullptr, KeyRole::kSealKey, 742)));
  EXPECT_TRUE(IsDevelopmentKeyId(CheckValueOf(nullptr, KeyRole::kSealKey, 753)));
  test::WriteText(dir.File("aes.txt"), "00112233445566778899aabbccddeeff\n");
  EXPECT_FALSE(IsDevelopmentKeyId(CheckValueOf("aes.txt", KeyRole::kAesKey)));
}

}  // namespace
}  // namespace sealtool
