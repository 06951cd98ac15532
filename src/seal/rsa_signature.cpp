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

#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "token/key_ref_text.h"
#include "token/pkcs11_token.h"
#include "keys/rsa_key_files.h"
#include "keys/rsa_signing_keys.h"
#include "digest/sha256.h"
#include "secret/system_random.h"

namespace sealtool {
namespace {

// True when the input block, read big-endian, is not below N: the case the
// library refuses for a sound key.
bool BlockNotBelowModulus(const std::uint8_t* block, const mbedtls_mpi* n) {
  std::uint8_t modulus[kRsaBlockSize];
  return mbedtls_mpi_write_binary(n, modulus, sizeof modulus) != 0 ||
         !BigEndianBelow(block, modulus, kRsaBlockSize);
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
  SystemRandom random;
  int ret = SeedSystemRandom(&random, "sealtool rsa blinding") ? 0 : MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
  if (ret == 0) ret = mbedtls_rsa_private(rsa, mbedtls_ctr_drbg_random, &random.drbg, block, result);
  FreeSystemRandom(&random);
  return ret;
}

// Reads the private key file (rsa_priv.txt unless named) and signs the block.
bool SignWithKeyFile(mbedtls_rsa_context* rsa, const char* fileName, const std::uint8_t* block,
                     std::uint8_t* result) {
  if (!ReadPrivateKeyFile(rsa, fileName)) return false;
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

void PrintLabelledHex(const char* label, const std::uint8_t* bytes, std::size_t count) {
  std::printf("%s", label);
  PrintHex(bytes, count, "");
  std::printf("\n");
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
  ok = ok && ComputeKeyIds(&key.n, &key.e, &ids);
  FreePublicKey(&key);
  if (!ok) return false;
  std::printf("Sign later: this run makes no signature and writes no image.\n");
  PrintLabelledHex("Image digest:  ", image + kImageDigestOffset, kImageDigestSize);
  PrintLabelledHex("Header digest: ", headerDigest, kSha256DigestSize);
  PrintLabelledHex("Key id (image header):        ", ids.header, kKeyIdSize);
  PrintLabelledHex("Key id (SubjectPublicKeyInfo): ", ids.spki, kKeyIdSize);
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
