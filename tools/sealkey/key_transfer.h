// Keys in and out of the tool's own text files: import of a PEM or DER
// private key into rsa_priv.txt and rsa_pub.txt, export of those files as
// PEM or DER.
#pragma once

#include <cstddef>

#include "key_report.h"
#include "keys/key_formats.h"

namespace sealkey {

using sealtool::KeyFormat;

// Where a passphrase comes from: a file's first line or an environment
// variable, never the command line; with neither, a prompt on a terminal.
struct PassphraseSource {
  const char* file = nullptr;
  const char* environment = nullptr;
};

inline constexpr std::size_t kMaxPassphrase = 1024;

// sealkey import: the private key of path into rsa_priv.txt and
// rsa_pub.txt of the working directory, together, replacing them only with
// force.
KeyToolOutcome ImportKey(const char* path, const PassphraseSource& passphrase, bool force);

struct ExportOptions {
  KeyFormat format = KeyFormat::kPem;
  bool pkcs1 = false;
  bool privateKey = false;
  const char* out = nullptr;  // null: standard output (public keys only)
  bool force = false;
  PassphraseSource passphrase;  // private keys: encrypted when one is given
};

// sealkey export: rsa_pub.txt (or, with privateKey, rsa_priv.txt with the E
// of rsa_pub.txt beside it) of path (null: the working directory's).
KeyToolOutcome ExportKey(const char* path, const ExportOptions& options);

}  // namespace sealkey
