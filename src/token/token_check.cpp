#include "token/token_check.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <mbedtls/platform_util.h>
#include <mbedtls/rsa.h>

#include "secret/system_random.h"
#include "token/modules.h"
#include "token/objects.h"

namespace sealtool {
namespace {

constexpr std::size_t kAesBlockBytes = 16;

template <std::size_t N>
void CopyPadded(char (&text)[N], const unsigned char* padded, std::size_t size) {
  std::size_t length = size < N - 1 ? size : N - 1;
  while (length > 0 && padded[length - 1] == ' ') --length;
  std::memcpy(text, padded, length);
  text[length] = '\0';
}

Answer ReadFlag(const OpenToken& token, CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type) {
  CK_BBOOL value = CK_FALSE;
  CK_ATTRIBUTE attribute{type, &value, sizeof value};
  if (token.module->C_GetAttributeValue(token.session, key, &attribute, 1) != CKR_OK) {
    return Answer::kUnknown;
  }
  return value == CK_TRUE ? Answer::kYes : Answer::kNo;
}

void SetTrial(TrialResult* trial, Trial outcome, const char* text) {
  trial->outcome = outcome;
  std::snprintf(trial->text, sizeof trial->text, "%s", text);
}

void SetTokenFailure(TrialResult* trial, const TokenRef& ref, CK_RV rv) {
  trial->outcome = Trial::kFailed;
  std::snprintf(trial->text, sizeof trial->text, "%s (0x%lx)", ref.kit->strerror(rv),
                static_cast<unsigned long>(rv));
}

void IdentifyToken(const OpenToken& token, TokenIdentity* identity) {
  CopyPadded(identity->label, token.info.label, sizeof token.info.label);
  CopyPadded(identity->manufacturer, token.info.manufacturerID, sizeof token.info.manufacturerID);
  CopyPadded(identity->model, token.info.model, sizeof token.info.model);
  CopyPadded(identity->serial, token.info.serialNumber, sizeof token.info.serialNumber);
}

void DescribeModuleAndToken(const TokenRef& ref, const OpenToken& token, TokenKeyFacts* facts) {
  ModuleFileOf(ref, token.module, facts->moduleFile, sizeof facts->moduleFile);
  CK_INFO info{};
  if (token.module->C_GetInfo(&info) == CKR_OK) {
    CopyPadded(facts->moduleDescription, info.libraryDescription, sizeof info.libraryDescription);
  }
  IdentifyToken(token, &facts->token);
}

void DescribeKey(const OpenToken& token, CK_OBJECT_HANDLE key, CK_OBJECT_CLASS keyClass,
                 TokenKeyFacts* facts) {
  facts->kind = TokenKeyKind::kOther;
  if (keyClass == CKO_PRIVATE_KEY && KeyTypeIs(token, key, CKK_RSA)) facts->kind = TokenKeyKind::kRsaPrivate;
  if (keyClass == CKO_SECRET_KEY && KeyTypeIs(token, key, CKK_AES)) facts->kind = TokenKeyKind::kAesSecret;
  facts->sign = ReadFlag(token, key, CKA_SIGN);
  facts->encrypt = ReadFlag(token, key, CKA_ENCRYPT);
  facts->wrap = ReadFlag(token, key, CKA_WRAP);
  facts->sensitive = ReadFlag(token, key, CKA_SENSITIVE);
  facts->extractable = ReadFlag(token, key, CKA_EXTRACTABLE);
  facts->offersAesCbcEncrypt = TokenOffers(token, CKM_AES_CBC, CKF_ENCRYPT);
  facts->offersAesEcbEncrypt = TokenOffers(token, CKM_AES_ECB, CKF_ENCRYPT);
  facts->offersAesEcbWrap = TokenOffers(token, CKM_AES_ECB, CKF_WRAP);
  facts->offersAesCbcWrap = TokenOffers(token, CKM_AES_CBC, CKF_WRAP);
  facts->offersRawRsaSign = TokenOffers(token, CKM_RSA_X_509, CKF_SIGN);
  facts->route = ChooseAesCbcRoute(token);
}

// A random block below the modulus (its top byte zero), signed by the
// token and checked with the public operation under N and E.
void TrySignature(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key,
                  const mbedtls_mpi& n, const mbedtls_mpi& e, TrialResult* trial) {
  SystemRandom random{};
  std::uint8_t block[kRsaBlockSize];
  std::uint8_t signature[kRsaBlockSize];
  std::uint8_t recovered[kRsaBlockSize];
  if (!SeedSystemRandom(&random, "sealkey token-check") ||
      mbedtls_ctr_drbg_random(&random.drbg, block, sizeof block) != 0) {
    FreeSystemRandom(&random);
    SetTrial(trial, Trial::kNotTried, "no random block: the system gives no entropy");
    return;
  }
  FreeSystemRandom(&random);
  block[0] = 0;
  const CK_RV rv = SignRawRsa(token, key, block, signature);
  if (rv != CKR_OK) {
    SetTokenFailure(trial, ref, rv);
    return;
  }
  mbedtls_rsa_context rsa;
  mbedtls_rsa_init(&rsa, MBEDTLS_RSA_PKCS_V15, 0);
  const bool verified = mbedtls_rsa_import(&rsa, &n, nullptr, nullptr, nullptr, &e) == 0 &&
                        mbedtls_rsa_complete(&rsa) == 0 &&
                        mbedtls_rsa_public(&rsa, signature, recovered) == 0 &&
                        std::memcmp(recovered, block, sizeof block) == 0;
  mbedtls_rsa_free(&rsa);
  SetTrial(trial, verified ? Trial::kDone : Trial::kFailed,
           verified ? "a random block signed and verified under the key's public key"
                    : "the signature does not verify under the key's public key");
}

void CheckRsaKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key,
                 TokenKeyFacts* facts) {
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  CK_OBJECT_HANDLE publicKey = key;
  bool known = ReadMpi(token, key, CKA_MODULUS, &n) && ReadMpi(token, key, CKA_PUBLIC_EXPONENT, &e);
  if (!known && FindMatchingPublicKey(ref, token, key, &publicKey)) {
    known = ReadMpi(token, publicKey, CKA_MODULUS, &n) && ReadMpi(token, publicKey, CKA_PUBLIC_EXPONENT, &e);
  }
  facts->bits = known ? mbedtls_mpi_bitlen(&n) : 0;
  if (!known) {
    SetTrial(&facts->signature, Trial::kNotTried, "the key's modulus and exponent cannot be read");
  } else if (facts->bits != 8 * kRsaBlockSize) {
    SetTrial(&facts->signature, Trial::kNotTried, "the key is not an RSA-1024 key");
  } else if (!facts->offersRawRsaSign) {
    SetTrial(&facts->signature, Trial::kNotTried, "the token does not offer raw RSA signing (RSA-X-509)");
  } else {
    TrySignature(ref, token, key, n, e, &facts->signature);
  }
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
}

// What the token path lacks is told before what the key lacks.
void TryWrapping(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key, Answer extractable,
                 TrialResult* trial) {
  const CK_MECHANISM_TYPE mechanism = ChooseWrapMechanism(token);
  if (mechanism == 0) {
    SetTrial(trial, Trial::kNotTried, "the token does not offer AES-ECB or AES-CBC key wrapping");
    return;
  }
  if (extractable == Answer::kNo) {
    SetTrial(trial, Trial::kNotTried, "the key is not extractable (CKA_EXTRACTABLE is false)");
    return;
  }
  std::uint8_t wrappingKey[kAes128KeyBytes];
  std::uint8_t wrapped[kAesBlockBytes];
  SystemRandom random{};
  const bool seeded = SeedSystemRandom(&random, "sealkey token-check wrap") &&
                      mbedtls_ctr_drbg_random(&random.drbg, wrappingKey, sizeof wrappingKey) == 0;
  FreeSystemRandom(&random);
  const CK_RV rv = seeded ? WrapUnderSessionKey(token, key, mechanism, wrappingKey, wrapped) : CKR_FUNCTION_FAILED;
  mbedtls_platform_zeroize(wrappingKey, sizeof wrappingKey);
  if (rv == CKR_KEY_UNEXTRACTABLE || rv == CKR_KEY_NOT_WRAPPABLE) {
    SetTrial(trial, Trial::kFailed, "the token will not wrap the key: it is not extractable");
  } else if (rv != CKR_OK) {
    SetTokenFailure(trial, ref, rv);
  } else {
    SetTrial(trial, Trial::kDone, mechanism == CKM_AES_ECB ? "the key wrapped with AES-ECB"
                                                            : "the key wrapped with AES-CBC");
  }
}

void CheckAesKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key, TokenKeyFacts* facts) {
  CK_ULONG length = 0;
  CK_ATTRIBUTE attribute{CKA_VALUE_LEN, &length, sizeof length};
  const bool stated = token.module->C_GetAttributeValue(token.session, key, &attribute, 1) == CKR_OK &&
                      length != CK_UNAVAILABLE_INFORMATION;
  facts->bits = stated ? 8 * length : 0;
  if (!stated || length != kAes128KeyBytes) {
    const char* why = stated ? "the key is not a 16-byte AES key"
                             : "the token does not state the AES key's length (CKA_VALUE_LEN)";
    SetTrial(&facts->encryption, Trial::kNotTried, why);
    SetTrial(&facts->wrapping, Trial::kNotTried, why);
    return;
  }
  if (facts->route == AesCbcRoute::kNone) {
    SetTrial(&facts->encryption, Trial::kNotTried,
             "the token does not offer AES-CBC encryption, nor AES-ECB to build it from");
  } else {
    std::uint8_t block[kAesBlockBytes] = {};
    const CK_RV rv = EncryptZeroIvCbc(token, key, facts->route, block, sizeof block);
    if (rv == CKR_OK) {
      SetTrial(&facts->encryption, Trial::kDone,
               facts->route == AesCbcRoute::kCbc ? "one block encrypted with AES-CBC"
                                                 : "one block encrypted with AES-ECB, chained as CBC");
    } else {
      SetTokenFailure(&facts->encryption, ref, rv);
    }
  }
  TryWrapping(ref, token, key, facts->extractable, &facts->wrapping);
}

// The key of the URI's class, or with none named the private key, else the
// secret key.
OpenToken* FindCheckedKey(const TokenRef& ref, CK_OBJECT_HANDLE* key, CK_OBJECT_CLASS* keyClass,
                          bool orPublicKey = false) {
  if (UriClass(ref, keyClass)) return FindKey(ref, *keyClass, key);
  bool none = false;
  OpenToken* token = nullptr;
  for (const CK_OBJECT_CLASS candidate : {CKO_PRIVATE_KEY, CKO_SECRET_KEY, CKO_PUBLIC_KEY}) {
    if (candidate == CKO_PUBLIC_KEY && !orPublicKey) break;
    *keyClass = candidate;
    token = FindKeyOrNone(ref, candidate, key, &none);
    if (!none) return token;
  }
  PrintFailure(orPublicKey ? "no key matches" : "no private or secret key matches", ref);
  return nullptr;
}

}  // namespace

bool IdentifyKeyToken(const char* uri, TokenIdentity* identity) {
  *identity = TokenIdentity{};
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  const OpenToken* token = ParseRef(uri, &ref) ? FindCheckedKey(ref, &key, &keyClass, true) : nullptr;
  if (token != nullptr) {
    IdentifyToken(*token, identity);
  }
  ReleaseRef(&ref);
  return token != nullptr;
}

bool CheckTokenKey(const char* uri, TokenKeyFacts* facts) {
  *facts = TokenKeyFacts{};
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  CK_OBJECT_CLASS keyClass = CKO_PRIVATE_KEY;
  OpenToken* token = ParseRef(uri, &ref) ? FindCheckedKey(ref, &key, &keyClass) : nullptr;
  if (token != nullptr) {
    DescribeModuleAndToken(ref, *token, facts);
    DescribeKey(*token, key, keyClass, facts);
    const char* notApplicable = "not a key of this kind";
    SetTrial(&facts->signature, Trial::kNotTried, notApplicable);
    SetTrial(&facts->encryption, Trial::kNotTried, notApplicable);
    SetTrial(&facts->wrapping, Trial::kNotTried, notApplicable);
    if (facts->kind == TokenKeyKind::kRsaPrivate) CheckRsaKey(ref, *token, key, facts);
    if (facts->kind == TokenKeyKind::kAesSecret) CheckAesKey(ref, *token, key, facts);
  }
  ReleaseRef(&ref);
  return token != nullptr;
}

}  // namespace sealtool
