#include "secure_expectation.h"

#include <mbedtls/aes.h>
#include <mbedtls/bignum.h>
#include <mbedtls/sha256.h>

#include <cstring>
#include <stdexcept>

#include "keys/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "seal/key_record.h"
#include "test_keys.h"

namespace sealtool::test {
namespace {

bool GroupA(std::int32_t chip) { return chip == 742 || chip == 753 || chip == 764 || chip == 775; }

std::uint32_t WordLE(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

std::string DigestLines(const char* label, const std::uint8_t* d) {
  return Format("%s0x%x 0x%x 0x%x 0x%x\r\n        0x%x 0x%x 0x%x 0x%x\r\n", label, WordLE(d),
                WordLE(d + 4), WordLE(d + 8), WordLE(d + 12), WordLE(d + 16), WordLE(d + 20),
                WordLE(d + 24), WordLE(d + 28));
}

void Sha256(const std::uint8_t* data, std::size_t length, std::uint8_t* out) {
  if (mbedtls_sha256_ret(data, length, out, 0) != 0) throw std::runtime_error("sha256");
}

void CbcEncrypt(const AesKey& key, std::uint8_t* data, std::size_t length) {
  if (AesCbcZeroIv(key.data(), MBEDTLS_AES_ENCRYPT, data, length) != 0) {
    throw std::runtime_error("aes-cbc");
  }
}

std::string KeyLines(const KeySetup& keys, const char* separator) {
  if (!keys.aesText) return "No AES128 key file! Using default setting\n";
  return "AES-Key:\r\n" + HexKey(keys.bodyKey, separator) + "\r\n";
}

std::string StartFor(std::int32_t chip, std::int32_t secureBoot, const Bytes& input) {
  return StartLines(std::to_string(chip), std::to_string(secureBoot), "in.bin", input.size());
}

// S = m^D mod N, and the echo of it.
std::string SignExpected(const mbedtls_rsa_context& rsa, const std::uint8_t* digest, Bytes& image) {
  std::uint8_t block[128] = {};
  for (int j = 0; j < 32; ++j) block[j] = digest[31 - j];
  mbedtls_mpi m, s;
  mbedtls_mpi_init(&m);
  mbedtls_mpi_init(&s);
  mbedtls_mpi_read_binary(&m, block, sizeof block);
  mbedtls_mpi_exp_mod(&s, &m, &rsa.D, &rsa.N, nullptr);
  mbedtls_mpi_write_binary(&s, image.data() + 352, 128);
  mbedtls_mpi_free(&m);
  mbedtls_mpi_free(&s);
  mbedtls_mpi_write_binary_le(&rsa.N, image.data() + 192, 128);
  mbedtls_mpi_write_binary_le(&rsa.E, image.data() + 320, 32);
  std::string text = "Encypt Sig(RSA): \r\n";
  for (int k = 0; k < 16; ++k) {
    const std::uint8_t* b = image.data() + 352 + 8 * k;
    text += Format("0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x 0x%x\r\n", b[0], b[1], b[2], b[3], b[4],
                   b[5], b[6], b[7]);
  }
  return text;
}

}  // namespace

std::string HexKey(const AesKey& key, const char* separator) {
  std::string text;
  for (std::uint8_t byte : key) text += Format("%02x%s", byte, separator);
  return text;
}

KeySetup DefaultKeys(std::int32_t chip) {
  KeySetup keys;
  GetDefaultAesKey(chip, keys.bodyKey.data());
  keys.sealKey = keys.bodyKey;
  return keys;
}

KeySetup TokenKeys(const AesKey& key) {
  KeySetup keys;
  keys.aesText = "#test-key\r\n" + HexKey(key, "") + "\r\n";
  keys.bodyKey = key;
  return keys;
}

Expectation ExpectSecureRun(std::int32_t chip, std::int32_t secureBoot, const Bytes& input,
                            const KeySetup& keys, const mbedtls_rsa_context* rsa) {
  const bool rsaMode = chip == 742 && secureBoot == 2;
  const std::size_t bootHeader = GroupA(chip) ? 48 : 64;
  const unsigned count = GroupA(chip) ? 6 : 4;
  Expectation e;
  e.image = PaddedImage(input);
  e.image[bootHeader + 8] = static_cast<std::uint8_t>(count);
  e.image[bootHeader + 9] &= 0xF0;
  if (chip == 742 || chip == 775) {
    std::memset(e.image.data() + 352, 0, 160);
    if (rsaMode) std::memset(e.image.data() + 192, 0, 160);
  }
  e.out = StartFor(chip, secureBoot, input) + ExampleDescribeLines(chip) +
          ApplyReferenceChecksum(e.image, bootHeader);

  std::uint8_t digest[32];
  Sha256(e.image.data(), 32768, digest);
  std::memcpy(e.image.data() + 480, digest, 32);
  e.out += DigestLines("SHA256: ", digest);
  e.out += KeyLines(keys, " ");
  CbcEncrypt(keys.bodyKey, e.image.data() + 512, 32256);
  Sha256(e.image.data(), 512, digest);
  std::memcpy(e.headerDigest.data(), digest, 32);
  e.out += DigestLines("Sig: ", digest) + "WIN32 system !!\r\n";
  if (rsaMode) {
    e.out += SignExpected(*rsa, digest, e.image);
  } else {
    CbcEncrypt(keys.sealKey, digest, 32);
    e.out += DigestLines("Encypt Sig: ", digest);
    std::memcpy(e.image.data() + 448, digest, 32);
  }
  e.out += WriteLines("out.bin") + "Save BIN OK.\nAll OK.\n";
  return e;
}

Expectation ExpectKeyRecordRun(std::int32_t chip, const Bytes& input, const KeySetup& keys) {
  const std::size_t bootHeader = GroupA(chip) ? 48 : 64;
  Expectation e;
  e.image = PaddedImage(input);
  e.out = StartFor(chip, 3, input) + "=>Secure program key\n=>[2019-07-12-01234-05.01.04]\n" +
          KeyLines(keys, "");
  AesKey wrappingKey{};
  AssembleWrappingKey(wrappingKey.data());
  AesKey wrapped = keys.bodyKey;
  CbcEncrypt(wrappingKey, wrapped.data(), wrapped.size());
  std::memcpy(e.image.data() + 128, wrapped.data(), 16);
  e.out += "AES-wr-key:\r\n" + HexKey(wrapped, "") + "\r\n";
  e.out += ApplyReferenceChecksum(e.image, bootHeader);
  e.out += WriteLines("out.bin") + "Save BIN OK.\nAll OK.\n";
  return e;
}

const RefusedRsaCase& RefusedRsaImage() {
  static const RefusedRsaCase refused = [] {
    RefusedRsaCase c;
    mbedtls_rsa_context rsa;
    mbedtls_rsa_init(&rsa, 0, 0);
    if (!GenerateOrdinaryRsaKey(&rsa, 1024, 2, 0xF0)) throw std::runtime_error("rsa key");
    std::uint8_t modulus[128];
    mbedtls_mpi_write_binary(&rsa.N, modulus, sizeof modulus);
    const KeySetup keys = DefaultKeys(742);
    for (std::uint32_t seed = 1;; ++seed) {
      c.input = ExampleInput(742, seed);
      const Expectation expected = ExpectSecureRun(742, 2, c.input, keys, &rsa);
      if (expected.headerDigest[31] <= modulus[0]) continue;
      c.message = Format(
          " failed\n  ! mbedtls_rsa_private returned -0x4304\n"
          "  ! The header digest is not below the modulus: its last byte 0x%02x is the top byte"
          " of the RSA input, and N's top byte is 0x%02x\n"
          "  ! Use a key whose modulus starts with 0xff (rsa_genkey makes such keys) or change"
          " the image\n\n",
          expected.headerDigest[31], modulus[0]);
      break;
    }
    c.privText = RsaPrivateKeyText(rsa);
    c.pubText = RsaPublicKeyText(rsa);
    mbedtls_rsa_free(&rsa);
    return c;
  }();
  return refused;
}

}  // namespace sealtool::test
