// rsa_genkey: makes the RSA key files that sealtool's RSA mode reads, and
// optionally a fresh AES key file.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/entropy.h>
#include <mbedtls/platform_util.h>

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

bool RefuseExisting(const char* name, bool force) {
  if (force || access(name, F_OK) != 0) {
    return false;
  }
  std::fprintf(stderr, "rsa_genkey: %s already exists; use --force to replace it\n", name);
  return true;
}

// Opens name for writing with the given permissions, also when it existed.
std::FILE* CreateKeyFile(const char* name, mode_t mode) {
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC, mode);
  if (fd < 0 || fchmod(fd, mode) != 0) {
    if (fd >= 0) close(fd);
    std::perror(name);
    return nullptr;
  }
  std::FILE* stream = fdopen(fd, "w");
  if (stream == nullptr) {
    close(fd);
    std::perror(name);
  }
  return stream;
}

using KeyWriter = int (*)(const mbedtls_rsa_context*, std::FILE*);

bool WriteKeyFile(const char* name, mode_t mode, const mbedtls_rsa_context* rsa,
                  KeyWriter writer) {
  std::FILE* stream = CreateKeyFile(name, mode);
  if (stream == nullptr) {
    return false;
  }
  const bool written = writer(rsa, stream) == 0;
  if (std::fclose(stream) != 0 || !written) {
    std::fprintf(stderr, "rsa_genkey: writing %s failed\n", name);
    return false;
  }
  return true;
}

bool WriteAesKeyFile(mbedtls_ctr_drbg_context* drbg) {
  unsigned char key[sealtool::kAesKeySize];
  if (mbedtls_ctr_drbg_random(drbg, key, sizeof key) != 0) {
    std::fprintf(stderr, "rsa_genkey: no random bytes for the AES key\n");
    return false;
  }
  std::FILE* stream = CreateKeyFile(sealtool::kAesKeyFileName, 0600);
  bool written = stream != nullptr;
  if (written) {
    written = std::fprintf(stream, "#AES-128-key-for-sealtool,-made-by-rsa_genkey\n") > 0;
    for (unsigned char byte : key) {
      written = written && std::fprintf(stream, "%02x", byte) > 0;
    }
    written = written && std::fprintf(stream, "\n") > 0;
    written = (std::fclose(stream) == 0) && written;
  }
  mbedtls_platform_zeroize(key, sizeof key);
  return written;
}

}  // namespace

int main(int argc, char** argv) {
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
  ok = ok && WriteKeyFile(sealtool::kRsaPrivateKeyFileName, 0600, &rsa,
                          sealtool::WriteRsaPrivateKeyFile);
  ok = ok && WriteKeyFile(sealtool::kRsaPublicKeyFileName, 0644, &rsa,
                          sealtool::WriteRsaPublicKeyFile);
  ok = ok && (!options.aes || WriteAesKeyFile(&drbg));
  if (ok) {
    std::printf("Wrote %s and %s%s\n", sealtool::kRsaPrivateKeyFileName,
                sealtool::kRsaPublicKeyFileName, options.aes ? " and aes.txt" : "");
  }
  mbedtls_rsa_free(&rsa);
  mbedtls_ctr_drbg_free(&drbg);
  mbedtls_entropy_free(&entropy);
  return ok ? 0 : 1;
}
