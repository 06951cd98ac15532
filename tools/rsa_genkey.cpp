// rsa_genkey: makes the RSA key files that sealtool's RSA mode reads, and
// optionally a fresh AES key file.
#include <cstdio>
#include <cstring>

#include "platform/process_guard.h"
#include "key_store.h"

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
  return sealkey::GenerateKeyFiles("rsa_genkey", options.force, options.aes) ? 0 : 1;
}
