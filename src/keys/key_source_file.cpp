// Keys in files: every reference no other source claims is a path, read in
// the format of the key's role.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include <mbedtls/aes.h>
#include <mbedtls/ctr_drbg.h>
#include <mbedtls/rsa.h>

#include "console/console.h"
#include "image/layout.h"
#include "keys/aes_cbc.h"
#include "keys/aes_key_file.h"
#include "keys/held_key_files.h"
#include "keys/key_handle.h"
#include "keys/public_key.h"
#include "keys/rsa_key_files.h"
#include "keys/rsa_signing_keys.h"
#include "platform/file_facts.h"
#include "secret/system_random.h"
#include "secret/wipe_guard.h"

namespace sealtool {
namespace {

bool ClaimsAnyRef(const char* /*ref*/) { return true; }

// The file to read: the reference itself (never a shortened display text),
// or the default file of the key's role.
const char* PathOf(const KeyHandle& key) { return key.ref != nullptr ? key.ref : KeyDefaultFile(key.role); }

KeyRefText PathText(const char* ref) {
  KeyRefText text{};
  std::snprintf(text.text, sizeof text.text, "%s", ref);
  return text;
}

bool PathRerunText(const char* ref, char* out, std::size_t size) {
  return std::snprintf(out, size, "%s", ref) < static_cast<int>(size);
}

// Reads the AES key of the handle's role into key (kKeyBufferSize bytes),
// echoing it as the role's reader does, or not at all with KeyEcho::kNone.
// A run that holds its key files (a batch, whose steps are not shown)
// reads each once.
bool ReadAesKey(const KeyHandle& key, KeyEcho echo, std::uint8_t* bytes) {
  if (FindHeldAesKey(key.ref, key.role, key.chip, bytes)) return true;
  bool read = false;
  if (key.role == KeyRole::kSealKey) {
    read = ReadAesKeyBytes(key.ref, key.chip, bytes);
  } else {
    const KeyEchoStyle style = echo == KeyEcho::kCompact ? KeyEchoStyle::kCompact
                               : echo == KeyEcho::kSpaced ? KeyEchoStyle::kSpaced
                                                          : KeyEchoStyle::kNone;
    read = ReadAesKeyToken(key.ref, key.chip, style, bytes);
  }
  if (read) HoldAesKey(key.ref, key.role, key.chip, bytes);
  return read;
}

bool EncryptWithFileKey(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length) {
  std::uint8_t bytes[kKeyBufferSize] = {};
  const WipeOnExit wipeKey(bytes, sizeof bytes);
  if (!ReadAesKey(key, echo, bytes)) return false;
  const int ret = AesCbcZeroIv(bytes, MBEDTLS_AES_ENCRYPT, data, length);
  if (ret != 0) PrintCipherFailure(ret);
  return ret == 0;
}

bool WrapFileKey(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
  std::uint8_t bytes[kKeyBufferSize] = {};
  const WipeOnExit wipeKey(bytes, sizeof bytes);
  if (!ReadAesKey(key, echo, bytes)) return false;
  std::memcpy(wrapped, bytes, kWrappedKeySize);
  const int ret = AesCbcZeroIv(wrappingKey, MBEDTLS_AES_ENCRYPT, wrapped, kWrappedKeySize);
  if (ret != 0) {
    std::memset(wrapped, 0, kWrappedKeySize);
    PrintCipherFailure(ret);
  }
  return ret == 0;
}

void PrintRefusedOperation(const char* call, int ret, const std::uint8_t* block, const mbedtls_mpi* n,
                           const char* fileName) {
  SayFailed("  ! %s returned -0x%04x\n", call, static_cast<unsigned>(-ret));
  if (BlockNotBelowModulus(block, n)) {
    std::uint8_t modulus[kRsaBlockSize] = {};
    mbedtls_mpi_write_binary(n, modulus, sizeof modulus);
    PrintBlockNotBelowModulus(block, modulus[0]);
    return;
  }
  Say("  ! %s does not hold a consistent RSA key\n\n", fileName);
}

// The private-key operation, blinded with a generator seeded from the
// system, so that its timing tells nothing of D; S = m^D mod N is the same.
// A run that holds its keys seeds one generator, and a held key's blinding
// values are updated from the last operation rather than made again.
int PrivateOperationBlinded(mbedtls_rsa_context* rsa, const std::uint8_t* block, std::uint8_t* result) {
  if (HoldingKeyFiles()) {
    mbedtls_ctr_drbg_context* drbg = HeldRandom();
    if (drbg == nullptr) return MBEDTLS_ERR_CTR_DRBG_ENTROPY_SOURCE_FAILED;
    return mbedtls_rsa_private(rsa, mbedtls_ctr_drbg_random, drbg, block, result);
  }
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

// A held key, read and checked by an earlier image, signs at once.
bool SignWithHeldKey(const char* fileName, const std::uint8_t* block, std::uint8_t* signature, bool* signedBlock) {
  bool loaded = false;
  mbedtls_rsa_context* held = FindHeldRsaKey(fileName, &loaded);
  if (held == nullptr) return false;
  if (!loaded) {
    *signedBlock = SignWithKeyFile(held, fileName, block, signature);
    if (*signedBlock) {
      KeepHeldRsaKey(held);
    } else {
      DropHeldRsaKey(held);
    }
    return true;
  }
  const int ret = PrivateOperationBlinded(held, block, signature);
  if (ret != 0) PrintRefusedOperation("mbedtls_rsa_private", ret, block, &held->N, fileName);
  *signedBlock = ret == 0;
  return true;
}

bool SignWithFileKey(const KeyHandle& key, const KeyHandle& /*publicKey*/, const std::uint8_t* block,
                     std::uint8_t* signature) {
  bool signedByHeld = false;
  if (SignWithHeldKey(PathOf(key), block, signature, &signedByHeld)) return signedByHeld;
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  const bool signedBlock = SignWithKeyFile(&rsa, PathOf(key), block, signature);
  mbedtls_rsa_free(&rsa);
  return signedBlock;
}

bool FilePublicKey(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  if (key.role == KeyRole::kAnyPublicKey) return LoadPublicKeyFile(PathOf(key), n, e, kind);
  *kind = "rsa_pub.txt";
  return ReadPublicKeyValues(PathOf(key), n, e);
}

bool FileUsable(const char* ref, char* why, std::size_t size) {
  const FileKind kind = KindOfFile(ref, true);
  const char* problem = nullptr;
  if (kind != FileKind::kMissing && kind != FileKind::kRegular) {
    problem = "not a regular file";  // errno holds nothing of it
  } else if (kind == FileKind::kMissing || !FileReadable(ref)) {
    problem = std::strerror(errno);
  }
  if (problem == nullptr) return true;
  std::snprintf(why, size, "the key file %s cannot be read: %s", ref, problem);
  return false;
}

std::vector<KeyFileUse> KeyFileItself(const char* ref) { return {{ref, ""}}; }

}  // namespace

// What a file cannot do is left out: it has no token to lock or close.
const KeySourceInfo kFileKeySource = {
    .name = "file", .claims = ClaimsAnyRef, .givesOwnPublicKey = false, .refIsPath = true,
    .display = PathText, .rerunText = PathRerunText, .encryptCbc = EncryptWithFileKey, .wrapKey = WrapFileKey,
    .signRaw = SignWithFileKey, .publicKey = FilePublicKey, .usable = FileUsable, .filesRead = KeyFileItself,
    .closeAll = ForgetHeldKeyFiles,
};

}  // namespace sealtool
