#include "seal/rsa_signature.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <mbedtls/bignum.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "image/layout.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "token/key_ref_text.h"
#include "token/pkcs11_token.h"
#include "keys/rsa_key_files.h"
#include "digest/sha256.h"

namespace sealtool {
namespace {


// Reads the values of one key file in order, stopping at the first failure,
// which it reports: a file that cannot be opened, or the library's result.
bool ReadKeyValues(const char* name, mbedtls_mpi* const* values, int count) {
  const int result = ReadRsaKeyValues(name, values, count);
  const bool defaultFile = std::strcmp(name, kRsaPrivateKeyFileName) == 0 ||
                           std::strcmp(name, kRsaPublicKeyFileName) == 0;
  if (result == kKeyFileNotOpened && defaultFile) {
    std::printf(" failed\n  ! Could not open %s\n  ! Please run rsa_genkey first\n\n", name);
  } else if (result == kKeyFileNotOpened) {
    std::printf(" failed\n  ! Could not open %s\n\n", KeyRefForDisplay(name).text);
  } else if (result != 0) {
    std::printf(" failed\n  ! mbedtls_mpi_read_file returned %d\n\n", result);
  }
  return result == 0;
}

// The block, result and image regions are sized for RSA-1024 alone.
bool ModulusIsRsa1024(const mbedtls_mpi* n, const char* fileName) {
  const std::size_t bits = mbedtls_mpi_bitlen(n);
  if (bits == kRsaModulusBits) {
    return true;
  }
  std::printf(" failed\n  ! N in %s has %u bits; it must be a %u-bit modulus\n\n",
              KeyRefForDisplay(fileName).text, static_cast<unsigned>(bits), kRsaModulusBits);
  return false;
}

bool ExponentFits(const mbedtls_mpi* e, const char* fileName) {
  const std::size_t size = mbedtls_mpi_size(e);
  if (size > kExponentSize) {
    std::printf(" failed\n  ! E in %s is %u bytes long; it must fit in %u bytes\n\n",
                KeyRefForDisplay(fileName).text, static_cast<unsigned>(size),
                static_cast<unsigned>(kExponentSize));
    return false;
  }
  if (!PublicExponentIsSound(e)) {
    std::printf(" failed\n  ! E in %s is even or below 3: a signature under it proves nothing\n\n",
                KeyRefForDisplay(fileName).text);
    return false;
  }
  return true;
}

// True when E * D = 1 modulo P - 1 and modulo Q - 1, that is modulo
// lcm(P - 1, Q - 1): E is then a public exponent that fits D.
bool ExponentFitsKey(const mbedtls_rsa_context* rsa, const mbedtls_mpi* e) {
  mbedtls_mpi product, p1, q1, remainder;
  mbedtls_mpi_init(&product);
  mbedtls_mpi_init(&p1);
  mbedtls_mpi_init(&q1);
  mbedtls_mpi_init(&remainder);
  bool fits = mbedtls_mpi_mul_mpi(&product, e, &rsa->D) == 0 &&
              mbedtls_mpi_sub_int(&product, &product, 1) == 0 &&
              mbedtls_mpi_sub_int(&p1, &rsa->P, 1) == 0 &&
              mbedtls_mpi_sub_int(&q1, &rsa->Q, 1) == 0 &&
              mbedtls_mpi_cmp_int(&p1, 0) > 0 && mbedtls_mpi_cmp_int(&q1, 0) > 0;
  fits = fits && mbedtls_mpi_mod_mpi(&remainder, &product, &p1) == 0 &&
         mbedtls_mpi_cmp_int(&remainder, 0) == 0;
  fits = fits && mbedtls_mpi_mod_mpi(&remainder, &product, &q1) == 0 &&
         mbedtls_mpi_cmp_int(&remainder, 0) == 0;
  mbedtls_mpi_free(&product);
  mbedtls_mpi_free(&p1);
  mbedtls_mpi_free(&q1);
  mbedtls_mpi_free(&remainder);
  return fits;
}

// E as the inverse of D modulo lcm(P - 1, Q - 1).
int InvertPrivateExponent(mbedtls_rsa_context* rsa) {
  mbedtls_mpi p1, q1, gcd, product, lcm;
  mbedtls_mpi_init(&p1);
  mbedtls_mpi_init(&q1);
  mbedtls_mpi_init(&gcd);
  mbedtls_mpi_init(&product);
  mbedtls_mpi_init(&lcm);
  int ret = mbedtls_mpi_sub_int(&p1, &rsa->P, 1);
  if (ret == 0) ret = mbedtls_mpi_sub_int(&q1, &rsa->Q, 1);
  if (ret == 0) ret = mbedtls_mpi_gcd(&gcd, &p1, &q1);
  if (ret == 0) ret = mbedtls_mpi_mul_mpi(&product, &p1, &q1);
  if (ret == 0) ret = mbedtls_mpi_div_mpi(&lcm, nullptr, &product, &gcd);
  if (ret == 0) ret = mbedtls_mpi_inv_mod(&rsa->E, &rsa->D, &lcm);
  mbedtls_mpi_free(&p1);
  mbedtls_mpi_free(&q1);
  mbedtls_mpi_free(&gcd);
  mbedtls_mpi_free(&product);
  mbedtls_mpi_free(&lcm);
  return ret;
}

// The library checks its private-key result against E, which rsa_priv.txt
// does not hold (the public key file is read only after signing). E is the
// exponent that fits D: the usual 65537 (or 3 or 17) when it fits, checked
// with two remainders, else the inverse of D modulo lcm(P - 1, Q - 1), which
// costs about as much as the signature itself. Either way the signature is
// S = m^D mod N. A D with no such inverse means the key is not a consistent
// RSA key.
int DerivePublicExponent(mbedtls_rsa_context* rsa) {
  for (const int candidate : {65537, 3, 17}) {
    int ret = mbedtls_mpi_lset(&rsa->E, candidate);
    if (ret != 0) return ret;
    if (ExponentFitsKey(rsa, &rsa->E)) return 0;
  }
  return InvertPrivateExponent(rsa);
}

// True when the input block, read big-endian, is not below N: the case the
// library refuses for a sound key.
bool BlockNotBelowModulus(const std::uint8_t* block, const mbedtls_mpi* n) {
  mbedtls_mpi m;
  mbedtls_mpi_init(&m);
  const bool notBelow = mbedtls_mpi_read_binary(&m, block, kRsaBlockSize) == 0 &&
                        mbedtls_mpi_cmp_mpi(&m, n) >= 0;
  mbedtls_mpi_free(&m);
  return notBelow;
}

void PrintNotBelowModulus(const std::uint8_t* block, std::uint8_t modulusTopByte) {
  std::printf("  ! The header digest is not below the modulus: its last byte 0x%02x"
              " is the top byte of the RSA input, and N's top byte is 0x%02x\n"
              "%s",
              block[0], modulusTopByte,
              modulusTopByte == 0xFF
                  ? "  ! The key's modulus starts with 0xff already: change the image (any change"
                    " to the header gives another digest)\n\n"
                  : "  ! Use a key whose modulus starts with 0xff (rsa_genkey makes"
                    " such keys) or change the image\n\n");
}

void PrintRefusedOperation(const char* call, int ret, const std::uint8_t* block,
                           const mbedtls_mpi* n, const char* fileName) {
  std::printf(" failed\n  ! %s returned -0x%04x\n", call, static_cast<unsigned>(-ret));
  if (BlockNotBelowModulus(block, n)) {
    std::uint8_t modulus[kRsaBlockSize] = {};
    mbedtls_mpi_write_binary(n, modulus, sizeof modulus);
    PrintNotBelowModulus(block, modulus[0]);
    return;
  }
  std::printf("  ! %s does not hold a consistent RSA key\n\n", KeyRefForDisplay(fileName).text);
}

void PrintSignature(const std::uint8_t* result) {
  std::printf("Encypt Sig(RSA): \r\n");
  for (std::size_t k = 0; k < kRsaBlockSize / 8; ++k) {
    const std::uint8_t* line = result + 8 * k;
    std::printf("0x%x 0x%x 0x%x 0x%x ", line[0], line[1], line[2], line[3]);
    std::printf("0x%x 0x%x 0x%x 0x%x\r\n", line[4], line[5], line[6], line[7]);
  }
}

// The private-key operation, blinded with a generator seeded from the
// system, so that its timing tells nothing of D; S = m^D mod N is the same.
int PrivateOperationBlinded(mbedtls_rsa_context* rsa, const std::uint8_t* block, std::uint8_t* result) {
  static constexpr unsigned char kPersonalization[] = "sealtool rsa blinding";
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context random;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&random);
  int ret = mbedtls_ctr_drbg_seed(&random, mbedtls_entropy_func, &entropy, kPersonalization,
                                  sizeof kPersonalization - 1);
  if (ret == 0) ret = mbedtls_rsa_private(rsa, mbedtls_ctr_drbg_random, &random, block, result);
  mbedtls_ctr_drbg_free(&random);
  mbedtls_entropy_free(&entropy);
  return ret;
}

// Reads the private key file (rsa_priv.txt unless named) and signs the block.
bool SignWithKeyFile(mbedtls_rsa_context* rsa, const char* fileName, const std::uint8_t* block,
                     std::uint8_t* result) {
  mbedtls_mpi* const values[] = {&rsa->N, &rsa->D, &rsa->P, &rsa->Q,
                                 &rsa->DP, &rsa->DQ, &rsa->QP};
  if (!ReadKeyValues(fileName, values, 7) || !ModulusIsRsa1024(&rsa->N, fileName)) {
    return false;
  }
  rsa->len = (mbedtls_mpi_bitlen(&rsa->N) + 7) >> 3;
  int ret = DerivePublicExponent(rsa);
  if (ret != 0) {
    PrintRefusedOperation("mbedtls_mpi_inv_mod", ret, block, &rsa->N, fileName);
    return false;
  }
  ret = PrivateOperationBlinded(rsa, block, result);
  if (ret != 0) {
    PrintRefusedOperation("mbedtls_rsa_private", ret, block, &rsa->N, fileName);
    return false;
  }
  return true;
}

bool SignWithToken(const char* uri, const std::uint8_t* block, std::uint8_t* result) {
  std::uint8_t modulus[kRsaBlockSize] = {};
  const TokenSigning signing = TokenSignRsaRaw(uri, block, result, modulus);
  if (signing == TokenSigning::kBlockNotBelowModulus) {
    std::printf(" failed\n");
    PrintNotBelowModulus(block, modulus[0]);
  }
  return signing == TokenSigning::kSigned;
}

// A signature made elsewhere: exactly 128 bytes, big-endian, as raw RSA
// tools write it.
bool ReadSignatureFile(const char* path, std::uint8_t* signature) {
  struct stat info {};
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::printf(" failed\n  ! Could not open %s\n\n", path);
    return false;
  }
  if (fstat(fileno(stream), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fclose(stream);
    std::printf(" failed\n  ! %s is a directory, not a signature file\n\n", path);
    return false;
  }
  std::uint8_t bytes[kRsaBlockSize + 1];
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, stream);
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed || count == 0) {
    std::printf(" failed\n  ! %s is %s: a signature is %zu bytes\n\n", path,
                failed ? "unreadable" : "empty", kRsaBlockSize);
    return false;
  }
  if (count != kRsaBlockSize) {
    std::printf(" failed\n  ! %s holds %s%zu bytes: a signature is exactly %zu bytes, big-endian\n\n",
                path, count > kRsaBlockSize ? "more than " : "", count > kRsaBlockSize ? kRsaBlockSize : count,
                kRsaBlockSize);
    return false;
  }
  std::memcpy(signature, bytes, kRsaBlockSize);
  if (std::all_of(bytes, bytes + kRsaBlockSize, [](std::uint8_t b) { return b == 0; })) {
    std::printf(" failed\n  ! %s holds only zero bytes: no signer made it\n\n", path);
    return false;
  }
  return true;
}

// The private-key operation, by where the key is.
bool ComputeSignature(const KeySources& sources, mbedtls_rsa_context* rsa,
                      const std::uint8_t* block, std::uint8_t* result) {
  if (sources.signature != nullptr) {
    return ReadSignatureFile(sources.signature, result);
  }
  if (IsTokenRef(sources.rsaKey)) {
    return SignWithToken(sources.rsaKey, block, result);
  }
  const char* fileName = sources.rsaKey != nullptr ? sources.rsaKey : kRsaPrivateKeyFileName;
  return SignWithKeyFile(rsa, fileName, block, result);
}

// The public key that goes beside the signature, read apart from the
// private key's context.
struct PublicKey {
  mbedtls_mpi n;
  mbedtls_mpi e;
};

bool ReadPublicKeyFile(PublicKey* key, const char* fileName) {
  mbedtls_mpi* const values[] = {&key->n, &key->e};
  return ReadKeyValues(fileName, values, 2);
}

// N and E to store: from rsa_pub.txt or the file or token key named, or,
// for a token private key named alone, from its public key in the token.
bool ReadPublicKey(const KeySources& sources, PublicKey* key, const char** name) {
  const bool ofPrivateKey = sources.rsaPub == nullptr && IsTokenRef(sources.rsaKey);
  *name = ofPrivateKey ? sources.rsaKey
                       : (sources.rsaPub != nullptr ? sources.rsaPub : kRsaPublicKeyFileName);
  const bool read = (ofPrivateKey || IsTokenRef(*name))
                        ? TokenReadRsaPublicKey(*name, ofPrivateKey, &key->n, &key->e)
                        : ReadPublicKeyFile(key, *name);
  return read && ModulusIsRsa1024(&key->n, *name) && ExponentFits(&key->e, *name);
}

// What made the signature, for the message that refuses it.
struct SignerText {
  char text[kKeyRefTextSize + 32];
};

SignerText SignerOf(const KeySources& sources) {
  SignerText text{};
  if (sources.signature != nullptr) {
    std::snprintf(text.text, sizeof text.text, "%s", KeyRefForDisplay(sources.signature).text);
    return text;
  }
  const char* privateKey = sources.rsaKey != nullptr ? sources.rsaKey : kRsaPrivateKeyFileName;
  std::snprintf(text.text, sizeof text.text, "the signature made with %s",
                KeyRefForDisplay(privateKey).text);
  return text;
}

// Every signature, wherever it was made, is stored only when the public key
// that goes beside it verifies it: an image the device cannot verify is
// never written.
bool SignatureVerifies(const PublicKey& key, const std::uint8_t* signature,
                       const std::uint8_t* block, const KeySources& sources,
                       const char* publicKeyName) {
  const RsaSealCheck check = CheckRsaSeal(&key.n, &key.e, signature, block);
  if (check == RsaSealCheck::kVerifies) return true;
  const SignerText what = SignerOf(sources);
  const KeyRefText publicKey = KeyRefForDisplay(publicKeyName);
  if (check == RsaSealCheck::kOtherImage) {
    std::printf(" failed\n  ! %s is a signature by the key of %s, but of another image: its"
                " header digest differs from this run's\n  ! Sign the block that --sign-later"
                " writes for this input, chip and keys\n\n", what.text, publicKey.text);
  } else if (check == RsaSealCheck::kUnsoundKey) {
    std::printf(" failed\n  ! the public key of %s is no RSA-1024 key a device can verify with\n\n",
                publicKey.text);
  } else {
    std::printf(" failed\n  ! %s does not verify under the public key of %s: it was made with"
                " another key, or it is damaged\n\n", what.text, publicKey.text);
  }
  return false;
}

void PrintHex(const char* label, const std::uint8_t* bytes, std::size_t count) {
  std::printf("%s", label);
  for (std::size_t i = 0; i < count; ++i) std::printf("%02x", bytes[i]);
  std::printf("\n");
}

void InitPublicKey(PublicKey* key) {
  mbedtls_mpi_init(&key->n);
  mbedtls_mpi_init(&key->e);
}

void FreePublicKey(PublicKey* key) {
  mbedtls_mpi_free(&key->n);
  mbedtls_mpi_free(&key->e);
}

// Everything short of the private-key operation: the public key that will be
// stored must accept the block, and what a signer needs to know is printed.
// The block is left in the RSA signature region for the driver to write out.
bool PrepareLaterSigning(const std::uint8_t* headerDigest, const std::uint8_t* block,
                         std::uint8_t* image, const KeySources& sources) {
  PublicKey key;
  InitPublicKey(&key);
  const char* publicKeyName = nullptr;
  bool ok = ReadPublicKey(sources, &key, &publicKeyName);
  if (ok && BlockNotBelowModulus(block, &key.n)) {
    std::uint8_t modulus[kRsaBlockSize] = {};
    mbedtls_mpi_write_binary(&key.n, modulus, sizeof modulus);
    std::printf(" failed\n");
    PrintNotBelowModulus(block, modulus[0]);
    ok = false;
  }
  KeyIds ids{};
  ok = ok && ComputeKeyIds(&key.n, &key.e, &ids) == 0;
  FreePublicKey(&key);
  if (!ok) return false;
  std::printf("Sign later: this run makes no signature and writes no image.\n");
  PrintHex("Image digest:  ", image + kImageDigestOffset, kImageDigestSize);
  PrintHex("Header digest: ", headerDigest, kSha256DigestSize);
  PrintHex("Key id (image header):        ", ids.header, kKeyIdSize);
  PrintHex("Key id (SubjectPublicKeyInfo): ", ids.spki, kKeyIdSize);
  std::memcpy(image + kRsaSignatureOffset, block, kRsaBlockSize);
  return true;
}

}  // namespace

bool SignHeaderDigestRsa(const std::uint8_t* headerDigest, std::uint8_t* image,
                         const KeySources& sources) {
  std::uint8_t block[kRsaBlockSize];
  MakeRsaInputBlock(headerDigest, block);
  if (sources.signLater != nullptr) {
    return PrepareLaterSigning(headerDigest, block, image, sources);
  }
  std::uint8_t signature[kRsaBlockSize] = {};
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  bool ok = ComputeSignature(sources, &rsa, block, signature);
  mbedtls_rsa_free(&rsa);
  if (ok) {
    PrintSignature(signature);
    std::memcpy(image + kRsaSignatureOffset, signature, kRsaSignatureSize);
  }
  PublicKey key;
  InitPublicKey(&key);
  const char* publicKeyName = nullptr;
  ok = ok && ReadPublicKey(sources, &key, &publicKeyName) &&
       SignatureVerifies(key, signature, block, sources, publicKeyName);
  if (ok) StoreImagePublicKey(&key.n, &key.e, image);
  FreePublicKey(&key);
  return ok;
}

}  // namespace sealtool
