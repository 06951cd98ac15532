#include "token/pkcs11_token.h"

#include <cstdio>
#include <cstring>


#include "console/console.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "token/objects.h"
#include "token/token_ciphers.h"

namespace sealtool {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr std::size_t kAesBlockBytes = 16;

}  // namespace

bool IsTokenRef(const char* ref) {
  return ref != nullptr && std::strncmp(ref, kUriScheme, sizeof kUriScheme - 1) == 0;
}

bool TokenEncryptAesCbc(const char* uri, std::uint8_t* data, std::size_t length) {
  if (length > kBodyAreaSize || length % kAesBlockBytes != 0) {
    SayFailed("  ! %zu bytes are not whole AES blocks within the body area\n\n", length);
    return false;
  }
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  OpenToken* token = OpenKey(uri, CKO_SECRET_KEY, &ref, &key);
  bool ok = token != nullptr && IsAes128Key(ref, *token, key);
  const AesCbcRoute route = ok ? ChooseAesCbcRoute(*token) : AesCbcRoute::kNone;
  if (ok && route == AesCbcRoute::kNone) {
    PrintFailure("the token does not offer AES-CBC encryption, nor AES-ECB to build it from", ref);
    ok = false;
  }
  if (ok) {
    const CK_RV rv = EncryptZeroIvCbc(*token, key, route, data, length);
    ok = rv == CKR_OK;
    if (!ok) {
      PrintTokenError(route == AesCbcRoute::kCbc ? "AES-CBC encryption" : "AES-ECB encryption", rv, ref);
    }
  }
  ReleaseRef(&ref);
  return ok;
}

namespace {

// The modulus of key, an RSA-1024 key: asked of the token once for a run's
// signing key, then remembered with the session (a batch signs many blocks
// with it, and SoftHSM2 reads its files again for every call).
bool SigningKeyModulus(const TokenRef& ref, OpenToken* token, CK_OBJECT_HANDLE key,
                       std::uint8_t (&modulus)[kRsaBlockSize]) {
  if (token->signingKeyChecked && token->signingKey == key) {
    std::memcpy(modulus, token->signingModulus, kRsaBlockSize);
    return true;
  }
  if (!ReadRsa1024Modulus(ref, *token, key, modulus)) return false;
  token->signingKeyChecked = true;
  token->signingKey = key;
  token->signsRawRsa = false;
  std::memcpy(token->signingModulus, modulus, kRsaBlockSize);
  return true;
}

// Whether the token signs raw RSA, asked once a run.
bool SignsRawRsa(const TokenRef& ref, OpenToken* token) {
  if (!token->signsRawRsa) {
    token->signsRawRsa = MechanismOffered(ref, *token, CKM_RSA_X_509, CKF_SIGN, "raw RSA signing (RSA-X-509)");
  }
  return token->signsRawRsa;
}

}  // namespace

TokenSigning TokenSignRsaRaw(const char* uri, const std::uint8_t* block, std::uint8_t* signature,
                             std::uint8_t* modulusOut) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  std::uint8_t modulus[kRsaBlockSize];
  OpenToken* token = OpenKey(uri, CKO_PRIVATE_KEY, &ref, &key);
  TokenSigning result = TokenSigning::kFailed;
  if (token != nullptr && SigningKeyModulus(ref, token, key, modulus)) {
    std::memcpy(modulusOut, modulus, kRsaBlockSize);
    if (!BigEndianBelow(block, modulus, kRsaBlockSize)) {
      result = TokenSigning::kBlockNotBelowModulus;
    } else if (SignsRawRsa(ref, token)) {
      const CK_RV rv = SignRawRsa(*token, key, block, signature);
      result = rv == CKR_OK ? TokenSigning::kSigned : TokenSigning::kFailed;
      if (result == TokenSigning::kFailed) PrintTokenError("raw RSA signing", rv, ref);
    }
  }
  ReleaseRef(&ref);
  return result;
}

bool TokenReadRsaPublicKey(const char* uri, bool ofPrivateKey, mbedtls_mpi* n, mbedtls_mpi* e) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  OpenToken* token = nullptr;
  if (ParseRef(uri, &ref)) {
    CK_OBJECT_CLASS named = CKO_PUBLIC_KEY;
    ofPrivateKey = ofPrivateKey || (UriClass(ref, &named) && named == CKO_PRIVATE_KEY);
    token = FindKey(ref, ofPrivateKey ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY, &key);
  }
  bool ok = token != nullptr && (!ofPrivateKey || FindMatchingPublicKey(ref, *token, key, &key));
  if (ok && !(KeyTypeIs(*token, key, CKK_RSA) && ReadMpi(*token, key, CKA_MODULUS, n) &&
              ReadMpi(*token, key, CKA_PUBLIC_EXPONENT, e))) {
    PrintFailure("the public key is not an RSA key with a readable modulus and exponent", ref);
    ok = false;
  }
  ReleaseRef(&ref);
  return ok;
}

bool TokenWrapAesKey(const char* uri, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  OpenToken* token = OpenKey(uri, CKO_SECRET_KEY, &ref, &key);
  bool ok = token != nullptr && IsAes128Key(ref, *token, key);
  CK_BBOOL extractable = CK_TRUE;  // a token that does not tell is asked to wrap anyway
  CK_ATTRIBUTE extractableAttribute{CKA_EXTRACTABLE, &extractable, sizeof extractable};
  if (ok && token->module->C_GetAttributeValue(token->session, key, &extractableAttribute, 1) == CKR_OK &&
      extractable == CK_FALSE) {
    PrintFailure("the token will not wrap the key: it is not extractable (CKA_EXTRACTABLE is false)",
                 ref);
    ok = false;
  }
  const CK_MECHANISM_TYPE mechanism = ok ? ChooseWrapMechanism(*token) : 0;
  if (ok && mechanism == 0) {
    PrintFailure("the token does not offer AES-ECB or AES-CBC key wrapping", ref);
    ok = false;
  }
  if (ok) {
    const CK_RV rv = WrapUnderSessionKey(*token, key, mechanism, wrappingKey, wrapped);
    ok = rv == CKR_OK;
    if (rv == CKR_KEY_UNEXTRACTABLE || rv == CKR_KEY_NOT_WRAPPABLE) {
      PrintFailure("the token will not wrap the key: it is not extractable", ref);
    } else if (!ok) {
      PrintTokenError("key wrapping", rv, ref);
    }
  }
  ReleaseRef(&ref);
  return ok;
}

}  // namespace sealtool
