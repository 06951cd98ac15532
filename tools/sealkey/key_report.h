// What sealkey tells about a key: its ids, and how sound rsa_priv.txt is.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <mbedtls/bignum.h>

namespace sealkey {

// How a subcommand ended; sealkey's main alone turns it into an exit
// status.
enum class KeyToolOutcome {
  kDone,
  kCheckFailed,  // a check failed, a key was refused, or a file exists
  kUnreadable,   // unreadable input or a wrong passphrase
};

// The exponent a key without rsa_pub.txt beside it is taken to have, and the
// smallest one sealkey accepts.
inline constexpr int kUsualExponent = 65537;

// The rsa_pub.txt that belongs beside the private key file at privatePath.
std::string PublicKeyBeside(const char* privatePath);

// The share of images RSA mode refuses with modulus n: an image is refused
// when its RSA input block (the reversed header digest times 2^768) is not
// below n, and the header digest is as good as random.
double RefusalShare(const mbedtls_mpi* n);

// More than this is worth a warning: a key from rsa_genkey stays below it.
inline constexpr double kRefusalShareWarning = 1.0 / 256.0;

// sealkey id: both key ids of ref, as text or JSON.
KeyToolOutcome ShowKeyIds(const char* ref, bool json);

// sealkey check: the consistency, size, top byte and refusal share of the
// private key file (null: rsa_priv.txt), against the rsa_pub.txt beside it
// when there is one.
KeyToolOutcome CheckKeyFile(const char* path, bool json);

}  // namespace sealkey
