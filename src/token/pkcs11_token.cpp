#include "token/pkcs11_token.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "image/hex_text.h"
#include "image/layout.h"
#include "token/objects.h"

namespace sealtool {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr std::size_t kAesBlockBytes = 16;

// Output of the token's cipher: PKCS#11 promises nothing for in-place calls.
std::uint8_t gCipherOutput[kBodyAreaSize];

// How the token can give zero-IV AES-CBC.
enum class AesCbcRoute { kCbc, kChainedEcb, kNone };

AesCbcRoute ChooseAesCbcRoute(const OpenToken& token) {
  if (TokenOffers(token, CKM_AES_CBC, CKF_ENCRYPT)) return AesCbcRoute::kCbc;
  if (TokenOffers(token, CKM_AES_ECB, CKF_ENCRYPT)) return AesCbcRoute::kChainedEcb;
  return AesCbcRoute::kNone;
}

CK_RV EncryptWithCbc(const OpenToken& token, CK_OBJECT_HANDLE key, std::uint8_t* data,
                     std::size_t length) {
  std::uint8_t iv[kAesBlockBytes] = {};
  CK_MECHANISM mechanism{CKM_AES_CBC, iv, sizeof iv};
  CK_ULONG written = sizeof gCipherOutput;
  CK_RV rv = token.module->C_EncryptInit(token.session, &mechanism, key);
  if (rv == CKR_OK) {
    rv = token.module->C_Encrypt(token.session, data, static_cast<CK_ULONG>(length), gCipherOutput,
                                 &written);
  }
  if (rv == CKR_OK && written != length) rv = CKR_DATA_LEN_RANGE;
  if (rv == CKR_OK) std::memcpy(data, gCipherOutput, length);
  mbedtls_platform_zeroize(gCipherOutput, length);
  return rv;
}

// Zero-IV CBC built on the token's ECB, one block at a time: each block is
// chained with the ciphertext before it here, C_i = E(P_i xor C_(i-1)), and
// only the block cipher runs in the token. A token reached through a remote
// protocol that cannot carry CBC's IV still offers ECB.
CK_RV EncryptWithChainedEcb(const OpenToken& token, CK_OBJECT_HANDLE key, std::uint8_t* data,
                            std::size_t length) {
  CK_MECHANISM mechanism{CKM_AES_ECB, nullptr, 0};
  CK_RV rv = token.module->C_EncryptInit(token.session, &mechanism, key);
  std::uint8_t chained[kAesBlockBytes];
  const std::uint8_t* previous = nullptr;  // the zero IV
  for (std::size_t at = 0; rv == CKR_OK && at < length; at += kAesBlockBytes) {
    std::uint8_t* block = data + at;
    for (std::size_t i = 0; i < kAesBlockBytes; ++i) {
      chained[i] = previous != nullptr ? block[i] ^ previous[i] : block[i];
    }
    CK_ULONG written = kAesBlockBytes;
    rv = token.module->C_EncryptUpdate(token.session, chained, kAesBlockBytes, block, &written);
    if (rv == CKR_OK && written != kAesBlockBytes) rv = CKR_DATA_LEN_RANGE;
    previous = block;
  }
  if (rv == CKR_OK) {
    // With a buffer, not null: a null one only asks for the length and
    // leaves the operation open.
    CK_ULONG rest = sizeof chained;
    rv = token.module->C_EncryptFinal(token.session, chained, &rest);
    if (rv == CKR_OK && rest != 0) rv = CKR_DATA_LEN_RANGE;
  }
  mbedtls_platform_zeroize(chained, sizeof chained);
  return rv;
}

}  // namespace

bool IsTokenRef(const char* ref) {
  return ref != nullptr && std::strncmp(ref, kUriScheme, sizeof kUriScheme - 1) == 0;
}

bool TokenEncryptAesCbc(const char* uri, std::uint8_t* data, std::size_t length) {
  if (length > sizeof gCipherOutput || length % kAesBlockBytes != 0) {
    std::printf(" failed\n  ! %zu bytes are not whole AES blocks within the body area\n\n", length);
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
    const CK_RV rv = route == AesCbcRoute::kCbc ? EncryptWithCbc(*token, key, data, length)
                                                : EncryptWithChainedEcb(*token, key, data, length);
    ok = rv == CKR_OK;
    if (!ok) {
      PrintTokenError(route == AesCbcRoute::kCbc ? "AES-CBC encryption" : "AES-ECB encryption", rv, ref);
    }
  }
  ReleaseRef(&ref);
  return ok;
}

TokenSigning TokenSignRsaRaw(const char* uri, const std::uint8_t* block, std::uint8_t* signature,
                             std::uint8_t* modulusOut) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  std::uint8_t modulus[kRsaBlockSize];
  OpenToken* token = OpenKey(uri, CKO_PRIVATE_KEY, &ref, &key);
  TokenSigning result = TokenSigning::kFailed;
  if (token != nullptr && ReadRsa1024Modulus(ref, *token, key, modulus)) {
    std::memcpy(modulusOut, modulus, kRsaBlockSize);
    if (!BigEndianBelow(block, modulus, kRsaBlockSize)) {
      result = TokenSigning::kBlockNotBelowModulus;
    } else if (MechanismOffered(ref, *token, CKM_RSA_X_509, CKF_SIGN, "raw RSA signing (RSA-X-509)")) {
      CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
      CK_ULONG written = kRsaBlockSize;
      CK_RV rv = token->module->C_SignInit(token->session, &mechanism, key);
      if (rv == CKR_OK) {
        rv = token->module->C_Sign(token->session, const_cast<std::uint8_t*>(block), kRsaBlockSize,
                                   signature, &written);
      }
      result = (rv == CKR_OK && written == kRsaBlockSize) ? TokenSigning::kSigned
                                                          : TokenSigning::kFailed;
      if (result == TokenSigning::kFailed) PrintTokenError("raw RSA signing", rv == CKR_OK ? CKR_DATA_LEN_RANGE : rv, ref);
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
  CK_MECHANISM_TYPE mechanismType = CKM_AES_ECB;
  CK_MECHANISM_INFO info{};
  if (ok && !(token->module->C_GetMechanismInfo(token->slot, CKM_AES_ECB, &info) == CKR_OK &&
              (info.flags & CKF_WRAP) != 0)) {
    mechanismType = CKM_AES_CBC;  // for one block, zero-IV CBC is ECB
    ok = MechanismOffered(ref, *token, CKM_AES_CBC, CKF_WRAP, "AES-ECB or AES-CBC key wrapping");
  }
  if (ok) {
    CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
    CK_KEY_TYPE aesType = CKK_AES;
    CK_BBOOL no = CK_FALSE;
    CK_BBOOL yes = CK_TRUE;
    CK_ATTRIBUTE wrapping[] = {
        {CKA_CLASS, &secretClass, sizeof secretClass}, {CKA_KEY_TYPE, &aesType, sizeof aesType},
        {CKA_TOKEN, &no, sizeof no},                   {CKA_WRAP, &yes, sizeof yes},
        {CKA_VALUE, const_cast<std::uint8_t*>(wrappingKey), kAes128KeyBytes}};
    CK_OBJECT_HANDLE wrappingHandle = 0;
    std::uint8_t iv[kAesBlockBytes] = {};
    CK_MECHANISM mechanism{mechanismType, mechanismType == CKM_AES_CBC ? iv : nullptr,
                           mechanismType == CKM_AES_CBC ? sizeof iv : 0};
    CK_ULONG written = kAesBlockBytes;
    CK_RV rv = token->module->C_CreateObject(token->session, wrapping, 5, &wrappingHandle);
    if (rv == CKR_OK) {
      rv = token->module->C_WrapKey(token->session, &mechanism, wrappingHandle, key, wrapped, &written);
      token->module->C_DestroyObject(token->session, wrappingHandle);
    }
    ok = rv == CKR_OK && written == kAesBlockBytes;
    if (rv == CKR_KEY_UNEXTRACTABLE || rv == CKR_KEY_NOT_WRAPPABLE) {
      PrintFailure("the token will not wrap the key: it is not extractable", ref);
    } else if (!ok) {
      PrintTokenError("key wrapping", rv == CKR_OK ? CKR_DATA_LEN_RANGE : rv, ref);
    }
  }
  ReleaseRef(&ref);
  return ok;
}

}  // namespace sealtool
