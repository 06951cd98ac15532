#include "token/pkcs11_token.h"

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


}  // namespace

bool IsTokenRef(const char* ref) {
  return ref != nullptr && std::strncmp(ref, kUriScheme, sizeof kUriScheme - 1) == 0;
}

bool TokenEncryptAesCbc(const char* uri, std::uint8_t* data, std::size_t length) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  OpenToken* token = OpenKey(uri, CKO_SECRET_KEY, &ref, &key);
  bool ok = token != nullptr && length <= sizeof gCipherOutput && IsAes128Key(ref, *token, key) &&
            MechanismOffered(ref, *token, CKM_AES_CBC, CKF_ENCRYPT, "AES-CBC encryption");
  if (ok) {
    std::uint8_t iv[kAesBlockBytes] = {};
    CK_MECHANISM mechanism{CKM_AES_CBC, iv, sizeof iv};
    CK_ULONG written = sizeof gCipherOutput;
    CK_RV rv = token->module->C_EncryptInit(token->session, &mechanism, key);
    if (rv == CKR_OK) {
      rv = token->module->C_Encrypt(token->session, data, static_cast<CK_ULONG>(length),
                                    gCipherOutput, &written);
    }
    ok = rv == CKR_OK && written == length;
    if (ok) {
      std::memcpy(data, gCipherOutput, length);
    } else {
      PrintTokenError("AES-CBC encryption", rv == CKR_OK ? CKR_DATA_LEN_RANGE : rv, ref);
    }
    mbedtls_platform_zeroize(gCipherOutput, length);
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
