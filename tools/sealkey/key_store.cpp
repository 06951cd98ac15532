#include "key_store.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <mbedtls/entropy.h>
#include <mbedtls/platform_util.h>

#include "keys/aes_key_file.h"
#include "keys/rsa_key_files.h"
#include "platform/file_facts.h"
#include "platform/staged_file.h"
#include "rsa_keygen.h"
#include "seal/rsa_signature.h"
#include "secret/system_random.h"

namespace sealkey {
namespace {

const char* NameOfKind(sealtool::FileKind kind) {
  switch (kind) {
    case sealtool::FileKind::kFolder:
      return "a folder";
    case sealtool::FileKind::kFifo:
      return "a FIFO";
    case sealtool::FileKind::kDevice:
      return "a device";
    case sealtool::FileKind::kSocket:
      return "a socket";
    default:
      return "not a regular file";
  }
}

// Anything at the name counts, a dangling link too: without --force nothing
// that stands there is replaced, and with it only a regular file or a link.
bool RefuseExistingName(const char* program, const char* name, bool force) {
  if (RefuseSpecialFile(program, name)) return true;
  if (force || sealtool::KindOfFile(name, false) == sealtool::FileKind::kMissing) {
    return false;
  }
  std::fprintf(stderr, "%s: %s already exists; use --force to replace it\n", program, name);
  return true;
}

// The texts of the files one run writes, in buffers that are wiped on the
// way out.
struct KeyFileTexts {
  char priv[sealtool::kKeyFileTextSize];
  char pub[sealtool::kKeyFileTextSize];
  char aes[128];
  std::size_t privLength;
  std::size_t pubLength;
  std::size_t aesLength;
};

bool FormatAesKeyFile(const char* program, mbedtls_ctr_drbg_context* drbg, KeyFileTexts* texts) {
  unsigned char key[sealtool::kAesKeySize];
  if (mbedtls_ctr_drbg_random(drbg, key, sizeof key) != 0) {
    std::fprintf(stderr, "%s: no random bytes for the AES key\n", program);
    return false;
  }
  static const char kHeading[] = "#AES-128-key-for-sealtool,-made-by-rsa_genkey\n";
  static const char kDigits[] = "0123456789abcdef";
  std::size_t used = sizeof kHeading - 1;
  std::memcpy(texts->aes, kHeading, used);
  for (const unsigned char byte : key) {
    texts->aes[used++] = kDigits[byte >> 4];
    texts->aes[used++] = kDigits[byte & 0xFu];
  }
  texts->aes[used++] = '\n';
  texts->aesLength = used;
  mbedtls_platform_zeroize(key, sizeof key);
  return true;
}

// Writes the key files of the run together: each is written beside its
// name first and all are moved into place at once (a link at a name is
// replaced, never written through), so a failure leaves every old file as
// it was.
bool WriteKeyFiles(const char* program, const KeyFileTexts& texts, bool withAes, bool force) {
  const sealtool::FileToWrite files[] = {
      {sealtool::kRsaPrivateKeyFileName, 0600, texts.priv, texts.privLength},
      {sealtool::kRsaPublicKeyFileName, 0644, texts.pub, texts.pubLength},
      {sealtool::kAesKeyFileName, 0600, texts.aes, texts.aesLength},
  };
  const int dirFd = sealtool::OpenFolder(".");
  std::size_t failed = 0;
  const std::size_t count = withAes ? 3 : 2;
  const bool written = dirFd >= 0 && sealtool::WriteFileSet(dirFd, files, count, &failed, force);
  if (!written) {
    const int failure = errno;
    std::fprintf(stderr, "%s: writing %s failed: %s; no key file was changed\n", program,
                 failed < count ? files[failed].name : "the key files", std::strerror(failure));
  }
  sealtool::CloseFolder(dirFd);
  return written;
}

bool FormatKeyFiles(const char* program, const mbedtls_rsa_context* rsa,
                    mbedtls_ctr_drbg_context* drbg, bool withAes, KeyFileTexts* texts) {
  const bool formatted =
      sealtool::FormatRsaPrivateKeyFile(rsa, texts->priv, sizeof texts->priv, &texts->privLength) == 0 &&
      sealtool::FormatRsaPublicKeyFile(rsa, texts->pub, sizeof texts->pub, &texts->pubLength) == 0;
  if (!formatted) {
    std::fprintf(stderr, "%s: the key cannot be written out\n", program);
    return false;
  }
  return !withAes || FormatAesKeyFile(program, drbg, texts);
}

}  // namespace

bool RefuseSpecialFile(const char* program, const char* path) {
  using sealtool::FileKind;
  FileKind kind = sealtool::KindOfFile(path, false);
  if (kind == FileKind::kMissing || kind == FileKind::kRegular) return false;
  const bool link = kind == FileKind::kLink;
  if (link) kind = sealtool::KindOfFile(path, true);
  if (link && (kind == FileKind::kMissing || kind == FileKind::kRegular)) return false;
  std::fprintf(stderr, "%s: %s is %s%s: key files replace only regular files (and links to them)\n",
               program, path, link ? "a link to " : "", NameOfKind(kind));
  return true;
}

bool RefuseExisting(const char* program, bool force, bool withAes) {
  return RefuseExistingName(program, sealtool::kRsaPrivateKeyFileName, force) ||
         RefuseExistingName(program, sealtool::kRsaPublicKeyFileName, force) ||
         (withAes && RefuseExistingName(program, sealtool::kAesKeyFileName, force));
}

bool WriteKeyFileSet(const char* program, const mbedtls_rsa_context* rsa,
                     mbedtls_ctr_drbg_context* aesRandom, bool force) {
  static KeyFileTexts texts;
  const bool withAes = aesRandom != nullptr;
  const bool ok = FormatKeyFiles(program, rsa, aesRandom, withAes, &texts) &&
                  WriteKeyFiles(program, texts, withAes, force);
  mbedtls_platform_zeroize(&texts, sizeof texts);
  return ok;
}

bool GenerateKeyFiles(const char* program, bool force, bool withAes) {
  if (RefuseExisting(program, force, withAes)) {
    return false;
  }
  sealtool::SystemRandom random;
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  bool ok = sealtool::SeedSystemRandom(&random, "sealtool rsa_genkey");
  mbedtls_ctr_drbg_context& drbg = random.drbg;
  if (!ok) {
    std::fprintf(stderr, "%s: seeding the random generator failed\n", program);
  }
  std::printf("Generating an RSA-1024 key ...\n");
  if (ok && !sealtool::GenerateSealingRsaKey(&rsa, mbedtls_ctr_drbg_random, &drbg)) {
    std::fprintf(stderr, "%s: key generation failed\n", program);
    ok = false;
  }
  ok = ok && WriteKeyFileSet(program, &rsa, withAes ? &drbg : nullptr, force);
  if (ok) {
    std::printf("Wrote %s and %s%s\n", sealtool::kRsaPrivateKeyFileName,
                sealtool::kRsaPublicKeyFileName, withAes ? " and aes.txt" : "");
  }
  mbedtls_rsa_free(&rsa);
  sealtool::FreeSystemRandom(&random);
  return ok;
}

}  // namespace sealkey
