#include "token/token_ciphers.h"

#include <cstring>

#include <mbedtls/platform_util.h>

#include "image/layout.h"
#include "token/objects.h"

namespace sealtool {
namespace {

constexpr std::size_t kAesBlockBytes = 16;

// Output of the token's cipher: PKCS#11 promises nothing for in-place calls.
std::uint8_t gCipherOutput[kBodyAreaSize];

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

AesCbcRoute ChooseAesCbcRoute(const OpenToken& token) {
  if (TokenOffers(token, CKM_AES_CBC, CKF_ENCRYPT)) return AesCbcRoute::kCbc;
  if (TokenOffers(token, CKM_AES_ECB, CKF_ENCRYPT)) return AesCbcRoute::kChainedEcb;
  return AesCbcRoute::kNone;
}

CK_RV EncryptZeroIvCbc(const OpenToken& token, CK_OBJECT_HANDLE key, AesCbcRoute route,
                       std::uint8_t* data, std::size_t length) {
  if (length > sizeof gCipherOutput || length % kAesBlockBytes != 0) return CKR_DATA_LEN_RANGE;
  switch (route) {
    case AesCbcRoute::kCbc:
      return EncryptWithCbc(token, key, data, length);
    case AesCbcRoute::kChainedEcb:
      return EncryptWithChainedEcb(token, key, data, length);
    case AesCbcRoute::kNone:
      break;
  }
  return CKR_MECHANISM_INVALID;
}

CK_RV SignRawRsa(const OpenToken& token, CK_OBJECT_HANDLE key, const std::uint8_t* block,
                 std::uint8_t* signature) {
  CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
  CK_ULONG written = kRsaBlockSize;
  CK_RV rv = token.module->C_SignInit(token.session, &mechanism, key);
  if (rv == CKR_OK) {
    rv = token.module->C_Sign(token.session, const_cast<std::uint8_t*>(block), kRsaBlockSize,
                              signature, &written);
  }
  return (rv == CKR_OK && written != kRsaBlockSize) ? CKR_DATA_LEN_RANGE : rv;
}

CK_MECHANISM_TYPE ChooseWrapMechanism(const OpenToken& token) {
  if (TokenOffers(token, CKM_AES_ECB, CKF_WRAP)) return CKM_AES_ECB;
  if (TokenOffers(token, CKM_AES_CBC, CKF_WRAP)) return CKM_AES_CBC;
  return 0;
}

CK_RV WrapUnderSessionKey(const OpenToken& token, CK_OBJECT_HANDLE key, CK_MECHANISM_TYPE mechanismType,
                          const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
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
                         static_cast<CK_ULONG>(mechanismType == CKM_AES_CBC ? sizeof iv : 0)};
  CK_ULONG written = kAesBlockBytes;
  CK_RV rv = token.module->C_CreateObject(token.session, wrapping, 5, &wrappingHandle);
  if (rv == CKR_OK) {
    rv = token.module->C_WrapKey(token.session, &mechanism, wrappingHandle, key, wrapped, &written);
    token.module->C_DestroyObject(token.session, wrappingHandle);
  }
  return (rv == CKR_OK && written != kAesBlockBytes) ? CKR_DATA_LEN_RANGE : rv;
}

}  // namespace sealtool
