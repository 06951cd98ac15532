#include "seal/rsa_signature.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <mbedtls/bignum.h>
#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "console/console.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "keys/rsa_signing_keys.h"
#include "platform/file_facts.h"
#include "digest/sha256.h"

namespace sealtool {
namespace {

// N and E to store, from wherever the run's public key is.
bool ReadRunPublicKey(const RunKeys& keys, PublicKey* key) {
  const char* kind = "";
  return KeyPublicKey(keys.rsaPublic, &key->n, &key->e, &kind);
}

void PrintSignature(const std::uint8_t* result) {
  Say("Encypt Sig(RSA): \r\n");
  for (std::size_t k = 0; k < kRsaBlockSize / 8; ++k) {
    const std::uint8_t* line = result + 8 * k;
    Say("0x%x 0x%x 0x%x 0x%x ", line[0], line[1], line[2], line[3]);
    Say("0x%x 0x%x 0x%x 0x%x\r\n", line[4], line[5], line[6], line[7]);
  }
}

// A signature made elsewhere: exactly 128 bytes, big-endian, as raw RSA
// tools write it.
bool ReadSignatureFile(const char* path, std::uint8_t* signature) {
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    SayFailed("  ! Could not open %s\n\n", path);
    return false;
  }
  if (StreamIsFolder(stream)) {
    std::fclose(stream);
    SayFailed("  ! %s is a directory, not a signature file\n\n", path);
    return false;
  }
  std::uint8_t bytes[kRsaBlockSize + 1];
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, stream);
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed || count == 0) {
    SayFailed("  ! %s is %s: a signature is %zu bytes\n\n", path,
                failed ? "unreadable" : "empty", kRsaBlockSize);
    return false;
  }
  if (count != kRsaBlockSize) {
    SayFailed("  ! %s holds %s%zu bytes: a signature is exactly %zu bytes, big-endian\n\n",
                path, count > kRsaBlockSize ? "more than " : "", count > kRsaBlockSize ? kRsaBlockSize : count,
                kRsaBlockSize);
    return false;
  }
  std::memcpy(signature, bytes, kRsaBlockSize);
  if (std::all_of(bytes, bytes + kRsaBlockSize, [](std::uint8_t b) { return b == 0; })) {
    SayFailed("  ! %s holds only zero bytes: no signer made it\n\n", path);
    return false;
  }
  return true;
}

// The private-key operation: the key's, or a signature made elsewhere.
bool ComputeSignature(const RunKeys& keys, const std::uint8_t* block, std::uint8_t* result) {
  if (keys.signature != nullptr) {
    return ReadSignatureFile(keys.signature, result);
  }
  return KeySignRaw(keys.rsaPrivate, keys.rsaPublic, block, result);
}

// What made the signature, for the message that refuses it.
struct SignerText {
  char text[kKeyRefTextSize + 32];
};

SignerText SignerOf(const RunKeys& keys) {
  SignerText text{};
  if (keys.signature != nullptr) {
    std::snprintf(text.text, sizeof text.text, "%s", KeyRefForDisplay(keys.signature).text);
    return text;
  }
  std::snprintf(text.text, sizeof text.text, "the signature made with %s", KeyHandleText(keys.rsaPrivate).text);
  return text;
}

// Every signature, wherever it was made, is stored only when the public key
// that goes beside it verifies it: an image the device cannot verify is
// never written.
bool SignatureVerifies(const PublicKey& key, const std::uint8_t* signature, const std::uint8_t* block,
                       const RunKeys& keys) {
  const RsaSealCheck check = CheckRsaSeal(&key.n, &key.e, signature, block);
  if (check == RsaSealCheck::kVerifies) return true;
  const SignerText what = SignerOf(keys);
  const KeyRefText publicKey = KeyHandleText(keys.rsaPublic);
  if (check == RsaSealCheck::kOtherImage) {
    SayFailed("  ! %s is a signature by the key of %s, but of another image: its"
                " header digest differs from this run's\n  ! Sign the block that --sign-later"
                " writes for this input, chip and keys\n\n", what.text, publicKey.text);
  } else if (check == RsaSealCheck::kUnsoundKey) {
    SayFailed("  ! the public key of %s is no RSA-1024 key a device can verify with\n\n",
                publicKey.text);
  } else {
    SayFailed("  ! %s does not verify under the public key of %s: it was made with"
                " another key, or it is damaged\n\n", what.text, publicKey.text);
  }
  return false;
}

void PrintLabelledHex(const char* label, const std::uint8_t* bytes, std::size_t count) {
  Say("%s", label);
  PrintHex(bytes, count, "");
  Say("\n");
}

// Everything short of the private-key operation: the public key that will be
// stored must accept the block, and what a signer needs to know is printed.
// The block is left in the RSA signature region for the driver to write out.
bool PrepareLaterSigning(const std::uint8_t* headerDigest, const std::uint8_t* block,
                         std::uint8_t* image, const RunKeys& keys, KeyIds* keyIds) {
  PublicKey key;
  InitPublicKey(&key);
  bool ok = ReadRunPublicKey(keys, &key);
  if (ok && BlockNotBelowModulus(block, &key.n)) {
    std::uint8_t modulus[kRsaBlockSize] = {};
    mbedtls_mpi_write_binary(&key.n, modulus, sizeof modulus);
    SayFailed("%s", "");
    PrintBlockNotBelowModulus(block, modulus[0]);
    ok = false;
  }
  KeyIds ids{};
  ok = ok && ComputeKeyIds(&key.n, &key.e, &ids);
  FreePublicKey(&key);
  if (!ok) return false;
  if (keyIds != nullptr) *keyIds = ids;
  Say("Sign later: this run makes no signature and writes no image.\n");
  PrintLabelledHex("Image digest:  ", image + kImageDigestOffset, kImageDigestSize);
  PrintLabelledHex("Header digest: ", headerDigest, kSha256DigestSize);
  PrintLabelledHex("Key id (image header):        ", ids.header, kKeyIdSize);
  PrintLabelledHex("Key id (SubjectPublicKeyInfo): ", ids.spki, kKeyIdSize);
  std::memcpy(image + kRsaSignatureOffset, block, kRsaBlockSize);
  return true;
}

}  // namespace

bool SignHeaderDigestRsa(const std::uint8_t* headerDigest, std::uint8_t* image, const RunKeys& keys,
                         KeyIds* keyIds) {
  std::uint8_t block[kRsaBlockSize];
  MakeRsaInputBlock(headerDigest, block);
  if (keys.signLater != nullptr) {
    return PrepareLaterSigning(headerDigest, block, image, keys, keyIds);
  }
  std::uint8_t signature[kRsaBlockSize] = {};
  bool ok = ComputeSignature(keys, block, signature);
  if (ok) {
    PrintSignature(signature);
    std::memcpy(image + kRsaSignatureOffset, signature, kRsaSignatureSize);
  }
  PublicKey key;
  InitPublicKey(&key);
  ok = ok && ReadRunPublicKey(keys, &key) && SignatureVerifies(key, signature, block, keys);
  if (ok) StoreImagePublicKey(&key.n, &key.e, image);
  if (ok && keyIds != nullptr) ok = ComputeKeyIds(&key.n, &key.e, keyIds);
  FreePublicKey(&key);
  return ok;
}

bool SignHeaderDigest(ModeRun* run) {
  run->digests->hasKeyIds = SignHeaderDigestRsa(run->digests->header, run->image, *run->keys, &run->digests->keyIds);
  return run->digests->hasKeyIds;
}

}  // namespace sealtool
