// Keys in PKCS#11 tokens, named by "pkcs11:" URIs: the token does every
// operation with the secret key, and only results leave it.
#include <cstdio>
#include <string>

#include "console/console.h"
#include "image/layout.h"
#include "keys/key_handle.h"
#include "keys/rsa_signing_keys.h"
#include "token/pkcs11_token.h"
#include "token/token_check.h"
#include "token/token_ref.h"

namespace sealtool {
namespace {

constexpr char kHeldWhere[] = "in the token";

bool EncryptInToken(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length) {
  BeginHeldKeyEcho(echo);
  if (!TokenEncryptAesCbc(key.ref, data, length)) return false;
  EndHeldKeyEcho(echo, kHeldWhere);
  return true;
}

bool WrapInToken(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
  BeginHeldKeyEcho(echo);
  if (!TokenWrapAesKey(key.ref, wrappingKey, wrapped)) return false;
  EndHeldKeyEcho(echo, kHeldWhere);
  return true;
}

bool SignInToken(const KeyHandle& key, const KeyHandle& /*publicKey*/, const std::uint8_t* block,
                 std::uint8_t* signature) {
  std::uint8_t modulus[kRsaBlockSize] = {};
  const TokenSigning signing = TokenSignRsaRaw(key.ref, block, signature, modulus);
  if (signing == TokenSigning::kBlockNotBelowModulus) {
    SayFailed("%s", "");
    PrintBlockNotBelowModulus(block, modulus[0]);
  }
  return signing == TokenSigning::kSigned;
}

bool TokenPublicKey(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  *kind = "token";
  return TokenReadRsaPublicKey(key.ref, key.ofPrivateKey, n, e);
}

// A URI that parses; p11-kit says why one does not.
bool UriParses(const char* ref, char* why, std::size_t size) {
  TokenRef parsed{};
  const bool parses = ParseRef(ref, &parsed);
  ReleaseRef(&parsed);
  if (!parses && size > 0) why[0] = '\0';
  return parses;
}

std::vector<KeyFileUse> PinSourceOf(const char* ref) {
  std::vector<KeyFileUse> files;
  TokenRef parsed{};
  if (ParseRef(ref, &parsed) && *PinFileOf(parsed) != '\0') files.push_back({PinFileOf(parsed), " (its pin-source)"});
  ReleaseRef(&parsed);
  return files;
}

// What names the URI's token and module, however the URI spells it: two
// batches whose keys share it use one token.
bool TokenOfUri(const char* ref, std::string* name) {
  TokenRef parsed{};
  *name = ParseRef(ref, &parsed) ? TokenNameOf(parsed) : std::string(ref);
  ReleaseRef(&parsed);
  return true;
}

bool HoldsPinValue(const char* ref) { return std::string(ref).find("pin-value") != std::string::npos; }

bool TokenHolder(const char* ref, KeyHolder* holder) {
  TokenIdentity identity{};
  if (!IdentifyKeyToken(ref, &identity)) return false;
  *holder = {identity.label, identity.manufacturer, identity.model, identity.serial};
  return true;
}

}  // namespace

const KeySourceInfo kTokenKeySource = {
    .name = "token", .claims = IsTokenRef, .givesOwnPublicKey = true, .refIsPath = false,
    .display = UriForDisplay, .rerunText = UriWithoutPin, .encryptCbc = EncryptInToken, .wrapKey = WrapInToken,
    .signRaw = SignInToken, .publicKey = TokenPublicKey, .usable = UriParses, .filesRead = PinSourceOf,
    .sharedName = TokenOfUri, .holdsSecret = HoldsPinValue, .holder = TokenHolder, .closeAll = CloseTokens,
};

}  // namespace sealtool
