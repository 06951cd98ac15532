#include "keys/key_handle.h"

#include <gtest/gtest.h>
#include <mbedtls/rsa.h>

#include <cstdio>
#include <cstring>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "example_image.h"
#include "files.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/key_check_value.h"
#include "keys/key_id.h"
#include "release/keyring_check.h"
#include "seal/key_record.h"
#include "seal/rsa_seal.h"
#include "seal/seal_image.h"
#include "test_keys.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Image = std::vector<std::uint8_t>;

constexpr std::uint32_t kMemoryKeySeed = 7;

// A key source of the test's own: "memory:" keys, an RSA key held in this
// program's memory. It is one row and the functions it names; no step knows
// of it.
int gMemorySignatures = 0;

bool ClaimsMemoryRef(const char* ref) { return std::strncmp(ref, "memory:", 7) == 0; }

bool SignInMemory(const KeyHandle& /*key*/, const KeyHandle& /*publicKey*/, const std::uint8_t* block,
                  std::uint8_t* signature) {
  ++gMemorySignatures;
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  const bool signedBlock = mbedtls_rsa_copy(&rsa, &test::TestRsaKey(kMemoryKeySeed)) == 0 &&
                           mbedtls_rsa_private(&rsa, nullptr, nullptr, block, signature) == 0;
  mbedtls_rsa_free(&rsa);
  return signedBlock;
}

bool MemoryPublicKey(const KeyHandle& /*key*/, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  *kind = "memory";
  const mbedtls_rsa_context& rsa = test::TestRsaKey(kMemoryKeySeed);
  return mbedtls_mpi_copy(n, &rsa.N) == 0 && mbedtls_mpi_copy(e, &rsa.E) == 0;
}

// What it cannot do is left out: the handle says so when asked.
const KeySourceInfo kMemoryKeySource = {
    .name = "memory", .claims = ClaimsMemoryRef, .givesOwnPublicKey = true, .refIsPath = false,
    .signRaw = SignInMemory, .publicKey = MemoryPublicKey,
};

class KeyHandleTest : public testing::Test {
 protected:
  void SetUp() override {
    inDir_ = std::make_unique<test::ScopedWorkDir>(dir_.path());
    ASSERT_TRUE(AddKeySource(&kMemoryKeySource));
    gMemorySignatures = 0;
  }
  void TearDown() override { RemoveAddedKeySources(); }

  static Image ExampleImage() {
    Image image(kImageSize, 0);
    EXPECT_TRUE(BuildExampleImage(kRsaChip, 5, image.data(), kImageSize));
    return image;
  }

  // Seals in RSA mode as the run does, its output kept apart.
  static bool Seal(Image* image, const KeySources& sources, std::string* out, SealDigests* digests = nullptr) {
    CaptureStdout();
    const bool sealed = SealImage(image->data(), kRsaChip, RunMode::kRsa, sources, digests);
    *out = GetCapturedStdout();
    return sealed;
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedWorkDir> inDir_;
};

TEST_F(KeyHandleTest, AKeySourceOfItsOwnSealsAnRsaImageAsTheKeyFilesDo) {
  Image inMemory = ExampleImage();
  std::string memoryOut;
  KeySources memory;
  memory.rsaKey = "memory:release";
  SealDigests digests{};
  ASSERT_TRUE(Seal(&inMemory, memory, &memoryOut, &digests)) << memoryOut;
  EXPECT_EQ(gMemorySignatures, 1);

  // The same key as rsa_priv.txt and rsa_pub.txt gives the same bytes.
  test::WriteTestRsaKeyFiles(dir_.path(), kMemoryKeySeed);
  Image inFiles = ExampleImage();
  std::string filesOut;
  ASSERT_TRUE(Seal(&inFiles, KeySources{}, &filesOut)) << filesOut;
  EXPECT_EQ(inMemory, inFiles);
  EXPECT_EQ(memoryOut, filesOut);

  // And the device's check opens it: S^E mod N is the block of the header.
  const mbedtls_rsa_context& rsa = test::TestRsaKey(kMemoryKeySeed);
  std::uint8_t block[kRsaBlockSize];
  MakeRsaInputBlock(digests.header, block);
  EXPECT_EQ(CheckRsaSeal(&rsa.N, &rsa.E, inMemory.data() + kRsaSignatureOffset, block), RsaSealCheck::kVerifies);
  EXPECT_TRUE(digests.hasKeyIds);
}

TEST_F(KeyHandleTest, AnOperationTheSourceLacksFailsLoudlyAndWritesNothing) {
  Image image(kImageSize, 0x5A);
  const Image before = image;
  CaptureStdout();
  EXPECT_FALSE(WrapUserKeyFrom(ResolveKey("memory:user", KeyRole::kAesKey), image.data()));
  EXPECT_EQ(GetCapturedStdout(), " failed\n  ! memory:user cannot wrap an AES key\n\n");
  EXPECT_EQ(image, before);
}

TEST_F(KeyHandleTest, AnAddedSourceIsAskedBeforeTheBuiltInOnes) {
  EXPECT_EQ(KeySourceOf("memory:x"), &kMemoryKeySource);
  RemoveAddedKeySources();
  EXPECT_EQ(KeySourceOf("memory:x"), &kFileKeySource);
}

// Each reference goes to one source, and what a batch or a record asks of
// it is that source's answer.
struct RefCase {
  const char* name;
  const char* ref;
  const char* source;
  bool isPath;
  bool holdsSecret;
  const char* display;
};

void PrintTo(const RefCase& c, std::ostream* os) { *os << c.name; }

class KeyRefTest : public testing::TestWithParam<RefCase> {};

TEST_P(KeyRefTest, GoesToItsSource) {
  const RefCase& c = GetParam();
  EXPECT_STREQ(KeyRefSourceName(c.ref), c.source);
  EXPECT_EQ(KeyRefIsPath(c.ref), c.isPath);
  EXPECT_EQ(KeyRefHoldsSecret(c.ref), c.holdsSecret);
  EXPECT_STREQ(KeyRefForDisplay(c.ref).text, c.display);
}

INSTANTIATE_TEST_SUITE_P(
    References, KeyRefTest,
    testing::Values(RefCase{"File", "aes.txt", "file", true, false, "aes.txt"},
                    RefCase{"FileInAPinValueFolder", "keys/pin-value=1/aes.txt", "file", true, false,
                            "keys/pin-value=1/aes.txt"},
                    RefCase{"FileInAFolderLikeAScheme", "pkcs11-keys/rsa_priv.txt", "file", true, false,
                            "pkcs11-keys/rsa_priv.txt"},
                    RefCase{"Token", "pkcs11:token=A;object=k", "token", false, false, "pkcs11:token=A;object=k"},
                    RefCase{"TokenWithAPin", "pkcs11:token=A;object=k?pin-value=1234", "token", false, true,
                            "pkcs11:token=A;object=k?pin-value=***"}),
    [](const testing::TestParamInfo<RefCase>& info) { return std::string(info.param.name); });

TEST(KeyHandleDefaults, ANullReferenceIsTheDefaultFileOfItsRole) {
  EXPECT_STREQ(KeyHandleText(ResolveKey(nullptr, KeyRole::kRsaPrivate)).text, "rsa_priv.txt");
  EXPECT_STREQ(KeyHandleText(ResolveKey(nullptr, KeyRole::kRsaPublic)).text, "rsa_pub.txt");
  EXPECT_STREQ(KeyHandleText(ResolveKey(nullptr, KeyRole::kSealKey)).text, "aes.txt");
  // A token private key gives its own public key; a key file does not.
  const KeyHandle fromToken = ResolvePublicKey(nullptr, "pkcs11:object=k", KeyRole::kRsaPublic);
  EXPECT_TRUE(fromToken.ofPrivateKey);
  EXPECT_STREQ(fromToken.ref, "pkcs11:object=k");
  const KeyHandle fromFile = ResolvePublicKey(nullptr, "rsa_priv.txt", KeyRole::kRsaPublic);
  EXPECT_FALSE(fromFile.ofPrivateKey);
  EXPECT_EQ(fromFile.ref, nullptr);
}

// A keyring holds a key of any source by its id: the memory key's status
// decides, as a file's or a token's would.
TEST_F(KeyHandleTest, AKeyringRefusesARevokedKeyOfASourceOfItsOwn) {
  KeySources memory;
  memory.rsaKey = "memory:release";
  const RunKeys keys = ResolveRunKeys(memory, kRsaChip);
  const mbedtls_rsa_context& rsa = test::TestRsaKey(kMemoryKeySeed);
  KeyIds ids{};
  ASSERT_TRUE(ComputeKeyIds(&rsa.N, &rsa.E, &ids));
  std::uint8_t bodyValue[kKeyCheckValueSize] = {};
  ASSERT_TRUE(KeyCheckValue(keys.aesKey, bodyValue));
  Keyring keyring;
  keyring.keys.push_back({"memory-key", HexString(ids.spki, sizeof ids.spki), KeyUse::kProduction,
                          KeyStatus::kActive, "", false});
  keyring.keys.push_back({"built-in body key", HexString(bodyValue, sizeof bodyValue), KeyUse::kDevelopment,
                          KeyStatus::kActive, "", false});
  const KeyringUse use{&keyring, "ring.json", false};
  const struct {
    KeyStatus status;
    bool passes;
    const char* said;
  } cases[] = {
      {KeyStatus::kActive, true, "rsa_key"},
      {KeyStatus::kRetired, true, "memory-key is retired in the keyring ring.json"},
      {KeyStatus::kRevoked, false, "is memory-key, revoked in the keyring ring.json"},
  };
  for (const auto& c : cases) {
    keyring.keys[0].status = c.status;
    CaptureStdout();
    const bool passed = CheckRunKeys(keys, RunMode::kRsa, use);
    const std::string said = GetCapturedStdout();
    EXPECT_EQ(passed, c.passes) << said;
    EXPECT_NE(said.find(c.said), std::string::npos) << said;
  }
  // Unknown to the keyring: refused too. A production release refuses the
  // built-in body key, whatever the keyring calls it.
  keyring.keys[0].status = KeyStatus::kActive;
  keyring.keys[1].use = KeyUse::kProduction;
  CaptureStdout();
  EXPECT_FALSE(CheckRunKeys(keys, RunMode::kRsa, KeyringUse{&keyring, "ring.json", true}));
  EXPECT_NE(GetCapturedStdout().find("a development key: a production release takes none"), std::string::npos);
  keyring.keys.pop_back();
  CaptureStdout();
  EXPECT_FALSE(CheckRunKeys(keys, RunMode::kRsa, use));
  EXPECT_NE(GetCapturedStdout().find("is not in the keyring ring.json"), std::string::npos);
  CloseKeys();
}

}  // namespace
}  // namespace sealtool
