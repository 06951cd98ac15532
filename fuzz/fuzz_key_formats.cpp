// The key parsers of sealkey and sealinfo on arbitrary bytes: private keys
// (PEM or DER, PKCS#1 or PKCS#8, encrypted with the passphrase "fuzz" or
// not), public keys, and the PBES2 decryption of the project's own.
#include <cstdint>
#include <cstring>

#include <mbedtls/pk.h>

#include "keys/key_formats.h"
#include "keys/pkcs8.h"

namespace {

constexpr char kPassphrase[] = "fuzz";

void ParseAndFree(const std::uint8_t* data, std::size_t size, bool privateKey, const char* pass) {
  mbedtls_pk_context pk;
  mbedtls_pk_init(&pk);
  const bool parsed =
      privateKey ? sealtool::ParsePrivateKey(data, size, pass, pass ? std::strlen(pass) : 0, &pk) ==
                       sealtool::KeyParse::kParsed
                 : sealtool::ParsePublicKey(data, size, &pk);
  // A key that parsed is a usable key of a known kind.
  if (parsed && mbedtls_pk_get_type(&pk) == MBEDTLS_PK_NONE) __builtin_trap();
  mbedtls_pk_free(&pk);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  ParseAndFree(data, size, true, kPassphrase);
  ParseAndFree(data, size, true, nullptr);
  ParseAndFree(data, size, false, nullptr);
  static std::uint8_t plain[sealtool::kKeyDerBufferSize];
  std::size_t length = 0;
  const sealtool::Pkcs8Decryption outcome = sealtool::DecryptPkcs8Aes(
      data, size, kPassphrase, sizeof kPassphrase - 1, plain, sizeof plain, &length);
  // The plain text of a decryption is never longer than what came in.
  if (outcome == sealtool::Pkcs8Decryption::kDecrypted && (length == 0 || length > size)) {
    __builtin_trap();
  }
  return 0;
}
