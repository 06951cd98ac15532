#include "keys/pkcs8.h"

#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/asn1.h>
#include <mbedtls/asn1write.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/md.h>
#include <mbedtls/oid.h>
#include <mbedtls/pk.h>
#include <mbedtls/pkcs5.h>
#include <mbedtls/platform_util.h>

#include "keys/aes_cbc.h"
#include "keys/pkcs8_algorithm.h"
#include "secret/system_random.h"

namespace sealtool {
namespace {

constexpr std::size_t kSaltSize = 16;
constexpr int kIterations = 200000;

int DeriveKey(mbedtls_md_type_t prf, const char* passphrase, std::size_t passphraseLength,
              const unsigned char* salt, std::size_t saltLength, int iterations, unsigned char* key,
              std::size_t keyLength) {
  mbedtls_md_context_t md;
  mbedtls_md_init(&md);
  int ret = mbedtls_md_setup(&md, mbedtls_md_info_from_type(prf), 1);
  if (ret == 0) {
    ret = mbedtls_pkcs5_pbkdf2_hmac(&md, reinterpret_cast<const unsigned char*>(passphrase),
                                    passphraseLength, salt, saltLength,
                                    static_cast<unsigned>(iterations), static_cast<std::uint32_t>(keyLength), key);
  }
  mbedtls_md_free(&md);
  return ret;
}

// PKCS#7 padding of a decrypted buffer: its length without it, or 0 when it
// is not well formed (the mark of a wrong passphrase).
std::size_t UnpaddedLength(const unsigned char* data, std::size_t length) {
  if (length == 0) return 0;
  const unsigned pad = data[length - 1];
  if (pad == 0 || pad > kAesBlockSize || pad > length) return 0;
  for (std::size_t i = length - pad; i < length; ++i) {
    if (data[i] != pad) return 0;
  }
  return length - pad;
}

int RandomBytes(unsigned char* out, std::size_t size) {
  SystemRandom random;
  int ret = SeedSystemRandom(&random, "sealkey pkcs8") ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
  if (ret == 0) ret = mbedtls_ctr_drbg_random(&random.drbg, out, size);
  FreeSystemRandom(&random);
  return ret;
}

// mbedtls's ASN.1 writer fills a buffer from its end: each call adds in
// front of what is there and returns how much. This keeps the count and the
// first error.
struct Asn1Writer {
  unsigned char* p;
  unsigned char* start;
  int error;

  std::size_t Add(int written) {
    if (written < 0) {
      if (error == 0) error = written;
      return 0;
    }
    return static_cast<std::size_t>(written);
  }
  std::size_t Oid(const unsigned char* oid, std::size_t size) {
    return Add(mbedtls_asn1_write_oid(&p, start, reinterpret_cast<const char*>(oid), size));
  }
  // The SEQUENCE header of the content just written.
  std::size_t Sequence(std::size_t content) {
    const std::size_t length = Add(mbedtls_asn1_write_len(&p, start, content));
    return length + Add(mbedtls_asn1_write_tag(&p, start, MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE));
  }
};

// AlgorithmIdentifier of PBES2 with PBKDF2 (HMAC-SHA256) and aes256-CBC.
std::size_t WriteAlgorithm(Asn1Writer* w, const unsigned char* salt, const unsigned char* iv) {
  std::size_t scheme = w->Add(mbedtls_asn1_write_octet_string(&w->p, w->start, iv, kAesBlockSize));
  scheme += w->Oid(kOidAesCbc[2], sizeof kOidAesCbc[2] - 1);
  scheme += w->Sequence(scheme);
  std::size_t kdfParameters = w->Add(mbedtls_asn1_write_algorithm_identifier(
      &w->p, w->start, reinterpret_cast<const char*>(kOidHmacSha256), sizeof kOidHmacSha256 - 1, 0));
  kdfParameters += w->Add(mbedtls_asn1_write_int(&w->p, w->start, kIterations));
  kdfParameters += w->Add(mbedtls_asn1_write_octet_string(&w->p, w->start, salt, kSaltSize));
  kdfParameters += w->Sequence(kdfParameters);
  std::size_t kdf = kdfParameters + w->Oid(kOidPbkdf2, sizeof kOidPbkdf2 - 1);
  kdf += w->Sequence(kdf);
  std::size_t pbes2 = scheme + kdf;
  pbes2 += w->Sequence(pbes2);
  std::size_t algorithm = pbes2 + w->Oid(kOidPbes2, sizeof kOidPbes2 - 1);
  algorithm += w->Sequence(algorithm);
  return algorithm;
}

}  // namespace

bool WrapRsaInPkcs8(std::uint8_t* buf, std::size_t size, std::size_t* length) {
  static constexpr unsigned char kOidRsa[] = MBEDTLS_OID_PKCS1_RSA;
  if (*length > size) return false;
  Asn1Writer w{buf + size - *length, buf, 0};
  std::size_t total = *length + w.Add(mbedtls_asn1_write_len(&w.p, buf, *length));
  total += w.Add(mbedtls_asn1_write_tag(&w.p, buf, MBEDTLS_ASN1_OCTET_STRING));
  total += w.Add(mbedtls_asn1_write_algorithm_identifier(
      &w.p, buf, reinterpret_cast<const char*>(kOidRsa), sizeof kOidRsa - 1, 0));
  total += w.Add(mbedtls_asn1_write_int(&w.p, buf, 0));
  total += w.Sequence(total);
  *length = total;
  return w.error == 0;
}

namespace {

int DecryptPkcs8AesCode(const std::uint8_t* der, std::size_t derLength, const char* passphrase,
                    std::size_t passphraseLength, std::uint8_t* plain, std::size_t size,
                    std::size_t* length) {
  unsigned char* p = const_cast<unsigned char*>(der);
  std::size_t outer = 0;
  int ret = mbedtls_asn1_get_tag(&p, der + derLength, &outer,
                                 MBEDTLS_ASN1_CONSTRUCTED | MBEDTLS_ASN1_SEQUENCE);
  if (ret != 0) return kNotAes;
  // Everything lies inside the outer SEQUENCE, and nothing behind it, as
  // mbedtls's own key parser demands.
  const unsigned char* end = p + outer;
  Pbes2Parameters parameters{};
  ret = ParseAlgorithm(&p, end, &parameters);
  if (ret != 0) return ret;
  if (end != der + derLength) return MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
  if (passphraseLength == 0) return MBEDTLS_ERR_PK_PASSWORD_REQUIRED;
  std::size_t cipherLength = 0;
  ret = mbedtls_asn1_get_tag(&p, end, &cipherLength, MBEDTLS_ASN1_OCTET_STRING);
  if (ret != 0) return ret;
  if (p + cipherLength != end) return MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
  if (cipherLength == 0 || cipherLength % kAesBlockSize != 0 || cipherLength > size) {
    return MBEDTLS_ERR_PK_KEY_INVALID_FORMAT;
  }
  unsigned char key[32];
  const std::size_t keyLength = parameters.keyBits / 8;
  ret = DeriveKey(parameters.prf, passphrase, passphraseLength, parameters.salt.p,
                  parameters.salt.len, parameters.iterations, key, keyLength);
  if (ret == 0) {
    ret = AesCbc(key, parameters.keyBits, MBEDTLS_AES_DECRYPT, parameters.iv.p, p, plain, cipherLength);
  }
  mbedtls_platform_zeroize(key, sizeof key);
  if (ret != 0) return ret;
  *length = UnpaddedLength(plain, cipherLength);
  return *length == 0 ? MBEDTLS_ERR_PK_PASSWORD_MISMATCH : 0;
}

}  // namespace

Pkcs8Decryption DecryptPkcs8Aes(const std::uint8_t* der, std::size_t derLength,
                                const char* passphrase, std::size_t passphraseLength,
                                std::uint8_t* plain, std::size_t size, std::size_t* length) {
  switch (DecryptPkcs8AesCode(der, derLength, passphrase, passphraseLength, plain, size, length)) {
    case 0:
      return Pkcs8Decryption::kDecrypted;
    case kNotAes:
      return Pkcs8Decryption::kNotAes;
    case kTooManyIterations:
      return Pkcs8Decryption::kTooManyIterations;
    case MBEDTLS_ERR_PK_PASSWORD_REQUIRED:
      return Pkcs8Decryption::kNeedsPassphrase;
    case MBEDTLS_ERR_PK_PASSWORD_MISMATCH:
      return Pkcs8Decryption::kWrongPassphrase;
    default:
      return Pkcs8Decryption::kMalformed;
  }
}

bool EncryptPkcs8Aes(const std::uint8_t* plain, std::size_t plainLength, const char* passphrase,
                     std::size_t passphraseLength, std::uint8_t* out, std::size_t size,
                     std::size_t* length) {
  const std::size_t pad = kAesBlockSize - plainLength % kAesBlockSize;
  const std::size_t cipherLength = plainLength + pad;
  if (cipherLength + 256 > size) return false;
  unsigned char salt[kSaltSize];
  unsigned char iv[kAesBlockSize];
  unsigned char key[32];
  int ret = RandomBytes(salt, sizeof salt);
  if (ret == 0) ret = RandomBytes(iv, sizeof iv);
  if (ret == 0) {
    ret = DeriveKey(MBEDTLS_MD_SHA256, passphrase, passphraseLength, salt, sizeof salt, kIterations,
                    key, sizeof key);
  }
  // The padded key sits at the end of out; encrypted in place there.
  unsigned char* cipher = out + size - cipherLength;
  std::memcpy(cipher, plain, plainLength);
  std::memset(cipher + plainLength, static_cast<int>(pad), pad);
  if (ret == 0) ret = AesCbc(key, 256, MBEDTLS_AES_ENCRYPT, iv, cipher, cipher, cipherLength);
  mbedtls_platform_zeroize(key, sizeof key);
  if (ret != 0) return false;
  Asn1Writer w{cipher, out, 0};
  std::size_t total = cipherLength + w.Add(mbedtls_asn1_write_len(&w.p, out, cipherLength));
  total += w.Add(mbedtls_asn1_write_tag(&w.p, out, MBEDTLS_ASN1_OCTET_STRING));
  total += WriteAlgorithm(&w, salt, iv);
  total += w.Sequence(total);
  *length = total;
  return w.error == 0;
}

}  // namespace sealtool
