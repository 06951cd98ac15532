#include "key_transfer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "platform/staged_file.h"
#include "key_report.h"
#include "key_store.h"
#include "keys/pkcs8.h"
#include "keys/key_id.h"
#include "keys/rsa_key_files.h"
#include "seal/rsa_signature.h"
#include "secret/secret_file.h"

namespace sealkey {

using sealtool::kPkcs8MaxIterations;
using sealtool::KeyParse;
using sealtool::ParsePrivateKey;
using sealtool::WritePrivateKey;
using sealtool::WritePublicKey;
namespace {

// A passphrase in a buffer that is wiped when it goes.
struct Passphrase {
  char text[kMaxPassphrase + 2];
  std::size_t length;
  bool given;
  ~Passphrase() { mbedtls_platform_zeroize(text, sizeof text); }
};

// From --pass-file or --pass-env; false after saying why when named but not
// there.
bool ReadGivenPassphrase(const PassphraseSource& source, Passphrase* passphrase) {
  passphrase->given = false;
  passphrase->length = 0;
  if (source.file != nullptr) {
    std::size_t length = 0;
    if (sealtool::ReadSecretLine(source.file, passphrase->text, sizeof passphrase->text, &length) !=
            sealtool::SecretRead::kRead ||
        length > kMaxPassphrase) {
      std::fprintf(stderr, "sealkey: the passphrase file %s cannot be read, is empty, holds a NUL "
                           "byte or is longer than %zu characters\n", source.file, kMaxPassphrase);
      return false;
    }
    passphrase->length = length;
    passphrase->given = true;
  } else if (source.environment != nullptr) {
    const char* value = std::getenv(source.environment);
    if (value == nullptr || *value == '\0' || std::strlen(value) > kMaxPassphrase) {
      std::fprintf(stderr, "sealkey: the environment variable %s holds no passphrase\n",
                   source.environment);
      return false;
    }
    passphrase->length = std::strlen(value);
    std::memcpy(passphrase->text, value, passphrase->length + 1);
    passphrase->given = true;
  }
  return true;
}

// A key file of at most kKeyDerBufferSize bytes, into a buffer wiped by the
// caller.
bool ReadKeyInput(const char* path, std::uint8_t* bytes, std::size_t* size) {
  sealtool::SecretFile file{};
  if (sealtool::OpenSecretFile(&file, path) != sealtool::SecretFileStatus::kOpened) {
    std::fprintf(stderr, "sealkey: cannot open %s\n", path);
    return false;
  }
  *size = std::fread(bytes, 1, sealtool::kKeyDerBufferSize, file.stream);
  const bool more = std::fgetc(file.stream) != EOF;
  const bool failed = sealtool::SecretFileFailed(file);
  sealtool::CloseSecretFile(&file);
  if (failed || more || *size == 0) {
    std::fprintf(stderr, "sealkey: %s is %s\n", path,
                 failed ? "unreadable" : (more ? "too long for a key" : "empty"));
    return false;
  }
  return true;
}

const char* KeyTypeName(const mbedtls_pk_context& pk) {
  const char* name = mbedtls_pk_get_name(&pk);
  return name != nullptr ? name : "unknown";
}

// The key must be an RSA-1024 key, E at least 65537, and consistent.
KeyToolOutcome AcceptKey(const char* path, const mbedtls_pk_context& pk) {
  if (mbedtls_pk_get_type(&pk) != MBEDTLS_PK_RSA) {
    std::fprintf(stderr, "sealkey: %s holds an %s key; RSA mode signs with RSA-1024 only\n", path,
                 KeyTypeName(pk));
    return KeyToolOutcome::kCheckFailed;
  }
  const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(pk);
  const std::size_t bits = mbedtls_mpi_bitlen(&rsa->N);
  if (bits != sealtool::kRsaModulusBits) {
    std::fprintf(stderr, "sealkey: %s holds an RSA key of %zu bits; RSA mode needs exactly 1024\n",
                 path, bits);
    return KeyToolOutcome::kCheckFailed;
  }
  if (mbedtls_mpi_cmp_int(&rsa->E, kUsualExponent) < 0) {
    std::fprintf(stderr, "sealkey: %s has a public exponent below 65537 (E = %ld); use E = 65537\n",
                 path, static_cast<long>(rsa->E.p != nullptr ? rsa->E.p[0] : 0));
    return KeyToolOutcome::kCheckFailed;
  }
  if (mbedtls_rsa_check_privkey(rsa) != 0) {
    std::fprintf(stderr, "sealkey: %s does not hold a consistent RSA private key\n", path);
    return KeyToolOutcome::kCheckFailed;
  }
  return KeyToolOutcome::kDone;
}

KeyToolOutcome ParseWithPassphrase(const char* path, const std::uint8_t* bytes, std::size_t size,
                        const PassphraseSource& source, mbedtls_pk_context* pk) {
  Passphrase passphrase{};
  if (!ReadGivenPassphrase(source, &passphrase)) return KeyToolOutcome::kUnreadable;
  KeyParse parse = ParsePrivateKey(bytes, size, passphrase.text, passphrase.length, pk);
  if (parse == KeyParse::kNeedsPassphrase && !passphrase.given) {
    char prompt[256];
    std::snprintf(prompt, sizeof prompt, "Passphrase for %s: ", path);
    std::size_t length = 0;
    if (sealtool::PromptForSecret(prompt, passphrase.text, sizeof passphrase.text, &length) !=
        sealtool::SecretRead::kRead) {
      std::fprintf(stderr, "sealkey: %s is encrypted: give --pass-file or --pass-env, or run on a "
                           "terminal\n", path);
      return KeyToolOutcome::kUnreadable;
    }
    passphrase.length = length;
    mbedtls_pk_free(pk);
    mbedtls_pk_init(pk);
    parse = ParsePrivateKey(bytes, size, passphrase.text, passphrase.length, pk);
  }
  switch (parse) {
    case KeyParse::kParsed:
      return KeyToolOutcome::kDone;
    case KeyParse::kSeveralKeys:
      std::fprintf(stderr, "sealkey: %s holds more than one private key: give a file with one\n", path);
      break;
    case KeyParse::kTooManyIterations:
      std::fprintf(stderr, "sealkey: %s asks for more than %d key derivation iterations; refused\n",
                   path, kPkcs8MaxIterations);
      break;
    case KeyParse::kWrongPassphrase:
      std::fprintf(stderr, "sealkey: the passphrase does not open %s\n", path);
      break;
    case KeyParse::kNeedsPassphrase:
      std::fprintf(stderr, "sealkey: %s is encrypted and needs a passphrase\n", path);
      break;
    case KeyParse::kNotAKey:
      std::fprintf(stderr, "sealkey: %s holds no private key in PEM or DER, PKCS#1 or PKCS#8\n", path);
      break;
  }
  return KeyToolOutcome::kUnreadable;
}

void PrintIds(const mbedtls_rsa_context& rsa) {
  sealtool::KeyIds ids{};
  if (!sealtool::ComputeKeyIds(&rsa.N, &rsa.E, &ids)) return;
  char text[sealtool::kKeyIdTextSize];
  sealtool::FormatKeyId(ids.header, text);
  std::printf("key id (image header): %s\n", text);
  sealtool::FormatKeyId(ids.spki, text);
  std::printf("key id (SubjectPublicKeyInfo): %s\n", text);
}

void WarnAboutRefusals(const char* path, const mbedtls_rsa_context& rsa) {
  const double share = RefusalShare(&rsa.N);
  if (share <= kRefusalShareWarning) return;
  std::fprintf(stderr,
               "sealkey: warning: with the modulus of %s RSA mode refuses about 1 image in %.0f "
               "(%.2f %%), more than 1 in 256: a header digest whose last byte exceeds N's top "
               "byte cannot be signed; rsa_genkey makes keys that stay below 1 in 256\n",
               path, 1.0 / share, 100.0 * share);
}

// The private key of rsa_priv.txt at path, with the E of the rsa_pub.txt
// beside it (or 65537), checked for consistency.
KeyToolOutcome LoadPrivateKeyFiles(const char* path, mbedtls_rsa_context* rsa) {
  const char* privPath = path != nullptr ? path : sealtool::kRsaPrivateKeyFileName;
  if (!sealtool::ReadRsaPrivateKeyFile(privPath, rsa)) {
    std::fprintf(stderr, "sealkey: %s holds no readable RSA private key\n", privPath);
    return KeyToolOutcome::kUnreadable;
  }
  const std::string pubPath = PublicKeyBeside(privPath);
  mbedtls_mpi n;
  mbedtls_mpi_init(&n);
  mbedtls_mpi* const values[] = {&n, &rsa->E};
  if (sealtool::ReadRsaKeyValues(pubPath.c_str(), values, 2) != sealtool::RsaKeyFileRead::kRead) mbedtls_mpi_lset(&rsa->E, kUsualExponent);
  mbedtls_mpi_free(&n);
  rsa->len = mbedtls_mpi_size(&rsa->N);
  if (mbedtls_rsa_check_privkey(rsa) != 0) {
    std::fprintf(stderr, "sealkey: %s (with E of %s, or 65537) is no consistent RSA private key: "
                         "see sealkey check\n", privPath, pubPath.c_str());
    return KeyToolOutcome::kCheckFailed;
  }
  return KeyToolOutcome::kDone;
}

// Writes bytes to out, a new file (or with force any), or to standard output.
KeyToolOutcome WriteExport(const ExportOptions& options, const std::uint8_t* bytes, std::size_t length) {
  if (options.out == nullptr) {
    return std::fwrite(bytes, 1, length, stdout) == length && std::fflush(stdout) == 0 ? KeyToolOutcome::kDone
                                                                                       : KeyToolOutcome::kUnreadable;
  }
  if (RefuseSpecialFile("sealkey", options.out)) return KeyToolOutcome::kCheckFailed;
  char name[sealtool::kFileNameSize];
  errno = 0;
  const int dirFd = sealtool::OpenParentDirectory(sealtool::kWorkingFolder, options.out, name);
  if (dirFd < 0) {
    std::fprintf(stderr, "sealkey: cannot write %s: %s\n", options.out,
                 errno != 0 ? std::strerror(errno) : "it names no file that could be created");
    return KeyToolOutcome::kCheckFailed;
  }
  const sealtool::FileToWrite file{name, options.privateKey ? 0600u : 0644u, bytes,
                                   length};
  std::size_t failed = 0;
  const bool written = sealtool::WriteFileSet(dirFd, &file, 1, &failed, options.force);
  const int failure = errno;
  sealtool::CloseFolder(dirFd);
  if (!written) {
    std::fprintf(stderr, "sealkey: cannot write %s: %s%s\n", options.out, std::strerror(failure),
                 failure == EEXIST ? " (use --force to replace it)" : "");
    return KeyToolOutcome::kCheckFailed;
  }
  return KeyToolOutcome::kDone;
}

}  // namespace

KeyToolOutcome ImportKey(const char* path, const PassphraseSource& passphrase, bool force) {
  static std::uint8_t bytes[sealtool::kKeyDerBufferSize];
  std::size_t size = 0;
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  KeyToolOutcome status = ReadKeyInput(path, bytes, &size) ? KeyToolOutcome::kDone : KeyToolOutcome::kUnreadable;
  if (status == KeyToolOutcome::kDone) status = ParseWithPassphrase(path, bytes, size, passphrase, &pk);
  mbedtls_platform_zeroize(bytes, sizeof bytes);
  if (status == KeyToolOutcome::kDone) status = AcceptKey(path, pk);
  if (status == KeyToolOutcome::kDone && RefuseExisting("sealkey", force, false)) status = KeyToolOutcome::kCheckFailed;
  if (status == KeyToolOutcome::kDone) {
    const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(pk);
    WarnAboutRefusals(path, *rsa);
    if (!WriteKeyFileSet("sealkey", rsa, nullptr, force)) {
      status = KeyToolOutcome::kCheckFailed;
    } else {
      std::printf("Wrote %s and %s from %s\n", sealtool::kRsaPrivateKeyFileName,
                  sealtool::kRsaPublicKeyFileName, path);
      PrintIds(*rsa);
    }
  }
  mbedtls_pk_free(&pk);
  return status;
}

KeyToolOutcome ExportKey(const char* path, const ExportOptions& options) {
  if (options.privateKey && options.out == nullptr) {
    std::fprintf(stderr, "sealkey: a private key is exported to a file only: give --out FILE\n");
    return KeyToolOutcome::kUnreadable;
  }
  Passphrase passphrase{};
  if (!ReadGivenPassphrase(options.passphrase, &passphrase)) return KeyToolOutcome::kUnreadable;
  if (passphrase.given && (!options.privateKey || options.pkcs1)) {
    std::fprintf(stderr, "sealkey: only a private key in PKCS#8 is written encrypted\n");
    return KeyToolOutcome::kUnreadable;
  }
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, 0, 0);
  KeyToolOutcome status = KeyToolOutcome::kDone;
  if (options.privateKey) {
    status = LoadPrivateKeyFiles(path, &rsa);
  } else {
    const char* pubPath = path != nullptr ? path : sealtool::kRsaPublicKeyFileName;
    if (!sealtool::ReadRsaPublicKeyFile(pubPath, &rsa) || mbedtls_mpi_bitlen(&rsa.N) == 0) {
      std::fprintf(stderr, "sealkey: %s holds no readable RSA public key\n", pubPath);
      status = KeyToolOutcome::kUnreadable;
    }
    rsa.len = mbedtls_mpi_size(&rsa.N);
  }
  static std::uint8_t out[sealtool::kKeyDerBufferSize];
  std::size_t length = 0;
  if (status == KeyToolOutcome::kDone) {
    const bool written = options.privateKey
                             ? WritePrivateKey(&rsa, options.format, options.pkcs1, passphrase.text,
                                               passphrase.length, out, &length)
                             : WritePublicKey(&rsa, options.format, options.pkcs1, out, &length);
    if (!written) {
      std::fprintf(stderr, "sealkey: the key cannot be written in that form\n");
      status = KeyToolOutcome::kCheckFailed;
    }
  }
  if (status == KeyToolOutcome::kDone) status = WriteExport(options, out, length);
  mbedtls_platform_zeroize(out, sizeof out);
  mbedtls_rsa_free(&rsa);
  return status;
}

}  // namespace sealkey
