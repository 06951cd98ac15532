// rsa_genkey: makes the RSA key files that sealtool's RSA mode reads, and
// optionally a fresh AES key file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/platform_util.h>

#include "driver/process_guard.h"
#include "driver/staged_file.h"
#include "seal/aes_key_file.h"
#include "seal/rsa_keygen.h"
#include "seal/rsa_signature.h"

namespace {

constexpr char kUsage[] =
    "usage: rsa_genkey [--force] [--aes]\n"
    "\n"
    "Writes rsa_priv.txt (N, D, P, Q, DP, DQ, QP) and rsa_pub.txt (N, E) in the\n"
    "current directory: an RSA-1024 key with E = 65537 for sealtool's RSA mode.\n"
    "\n"
    "The key's primes are chosen so that N's top byte is 0xFF. sealtool's RSA\n"
    "mode refuses an image whose header digest, read as a number, is not below\n"
    "N; with such a key that happens for at most about one image in 256, where\n"
    "an ordinary key refuses about one in five.\n"
    "\n"
    "  --aes      also write aes.txt with a fresh random AES-128 key (token form)\n"
    "  --force    replace key files that already exist\n"
    "  --help     show this text\n"
    "  --version  show the version\n"
    "\n"
    "rsa_priv.txt and aes.txt are created readable by their owner only.\n";

struct Options {
  bool force = false;
  bool aes = false;
};

// 0: go on; 1: done (help or version printed); 2: bad usage.
int ParseOptions(int argc, char** argv, Options* options) {
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--force") == 0) {
      options->force = true;
    } else if (std::strcmp(argv[i], "--aes") == 0) {
      options->aes = true;
    } else if (std::strcmp(argv[i], "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 1;
    } else if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("rsa_genkey %s\n", SEALTOOL_VERSION);
      return 1;
    } else {
      std::fprintf(stderr, "rsa_genkey: unknown argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
  return 0;
}

// Anything at the name counts, a dangling link too: without --force nothing
// that stands there is replaced.
bool RefuseExisting(const char* name, bool force) {
  struct stat info {};
  if (force || lstat(name, &info) != 0) {
    return false;
  }
  std::fprintf(stderr, "rsa_genkey: %s already exists; use --force to replace it\n", name);
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

bool FormatAesKeyFile(mbedtls_ctr_drbg_context* drbg, KeyFileTexts* texts) {
  unsigned char key[sealtool::kAesKeySize];
  if (mbedtls_ctr_drbg_random(drbg, key, sizeof key) != 0) {
    std::fprintf(stderr, "rsa_genkey: no random bytes for the AES key\n");
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
bool WriteKeyFiles(const KeyFileTexts& texts, bool withAes) {
  const sealtool::FileToWrite files[] = {
      {sealtool::kRsaPrivateKeyFileName, 0600, texts.priv, texts.privLength},
      {sealtool::kRsaPublicKeyFileName, 0644, texts.pub, texts.pubLength},
      {sealtool::kAesKeyFileName, 0600, texts.aes, texts.aesLength},
  };
  const int dirFd = open(".", O_PATH | O_DIRECTORY | O_CLOEXEC);
  std::size_t failed = 0;
  const bool written = dirFd >= 0 && sealtool::WriteFileSet(dirFd, files, withAes ? 3 : 2, &failed);
  if (!written) {
    const int failure = errno;
    std::fprintf(stderr, "rsa_genkey: writing %s failed: %s; no key file was changed\n",
                 failed < 3 ? files[failed].name : "the key files", std::strerror(failure));
  }
  if (dirFd >= 0) close(dirFd);
  return written;
}

bool FormatKeyFiles(const mbedtls_rsa_context* rsa, mbedtls_ctr_drbg_context* drbg, bool withAes,
                    KeyFileTexts* texts) {
  const bool formatted =
      sealtool::FormatRsaPrivateKeyFile(rsa, texts->priv, sizeof texts->priv, &texts->privLength) == 0 &&
      sealtool::FormatRsaPublicKeyFile(rsa, texts->pub, sizeof texts->pub, &texts->pubLength) == 0;
  if (!formatted) {
    std::fprintf(stderr, "rsa_genkey: the key cannot be written out\n");
    return false;
  }
  return !withAes || FormatAesKeyFile(drbg, texts);
}

}  // namespace

int main(int argc, char** argv) {
  if (!sealtool::GuardProcess()) {
    return 1;
  }
  Options options;
  const int parsed = ParseOptions(argc, argv, &options);
  if (parsed != 0) {
    return parsed == 1 ? 0 : 2;
  }
  if (RefuseExisting(sealtool::kRsaPrivateKeyFileName, options.force) ||
      RefuseExisting(sealtool::kRsaPublicKeyFileName, options.force) ||
      (options.aes && RefuseExisting(sealtool::kAesKeyFileName, options.force))) {
    return 1;
  }
  mbedtls_entropy_context entropy;
  mbedtls_ctr_drbg_context drbg;
  mbedtls_rsa_context rsa;
  mbedtls_entropy_init(&entropy);
  mbedtls_ctr_drbg_init(&drbg);
  mbedtls_rsa_init(&rsa, 0, 0);
  static const unsigned char kPersonal[] = "sealtool rsa_genkey";
  bool ok = mbedtls_ctr_drbg_seed(&drbg, mbedtls_entropy_func, &entropy, kPersonal,
                                  sizeof kPersonal - 1) == 0;
  if (!ok) {
    std::fprintf(stderr, "rsa_genkey: seeding the random generator failed\n");
  }
  std::printf("Generating an RSA-1024 key ...\n");
  if (ok && sealtool::GenerateSealingRsaKey(&rsa, mbedtls_ctr_drbg_random, &drbg) != 0) {
    std::fprintf(stderr, "rsa_genkey: key generation failed\n");
    ok = false;
  }
  static KeyFileTexts texts;
  ok = ok && FormatKeyFiles(&rsa, &drbg, options.aes, &texts) && WriteKeyFiles(texts, options.aes);
  mbedtls_platform_zeroize(&texts, sizeof texts);
  if (ok) {
    std::printf("Wrote %s and %s%s\n", sealtool::kRsaPrivateKeyFileName,
                sealtool::kRsaPublicKeyFileName, options.aes ? " and aes.txt" : "");
  }
  mbedtls_rsa_free(&rsa);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  return ok ? 0 : 1;
}
