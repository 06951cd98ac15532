// A PKCS#11 module with one token held in memory, for the systems where no
// software token exists (Windows, under wine). It holds what the
// environment gives it when it starts:
//   SEALTOOL_MEMORY_AES  32 hex digits: an AES-128 key labelled "aes"
//   SEALTOOL_MEMORY_RSA  a PEM or DER RSA private key file: the key pair
//                        labelled "rsa" (a private and a public object)
// and offers AES-CBC encryption and raw RSA signing (RSA-X-509), nothing
// more. The token's label is "memory", its user PIN "1234". The crypto is
// mbedtls's, so that a token run can be held against a run with key files.
#include <mbedtls/aes.h>
#include <mbedtls/pk.h>
#include <mbedtls/rsa.h>
#include <p11-kit/pkcs11.h>

#include <cstdlib>
#include <cstring>

namespace {

constexpr CK_SLOT_ID kSlot = 1;
constexpr CK_SESSION_HANDLE kSession = 1;
constexpr char kPin[] = "1234";
constexpr CK_ULONG kAesBytes = 16;
constexpr CK_ULONG kMaxFound = 4;

enum Handle : CK_OBJECT_HANDLE { kNone, kAesKey, kRsaPrivate, kRsaPublic, kObjects };

struct Token {
  bool initialized;
  bool sessionOpen;
  bool loggedIn;
  bool hasAes;
  bool hasRsa;
  unsigned char aes[kAesBytes];
  mbedtls_pk_context rsa;
  unsigned char modulus[512];
  CK_ULONG modulusLength;
  unsigned char exponent[8];
  CK_ULONG exponentLength;
  CK_OBJECT_HANDLE found[kMaxFound];
  CK_ULONG foundCount;
  CK_ULONG foundNext;
  CK_MECHANISM_TYPE operation;
  CK_OBJECT_HANDLE operationKey;
  unsigned char iv[16];
};

Token gToken;
CK_FUNCTION_LIST gFunctions;

void Pad(unsigned char* field, std::size_t size, const char* text) {
  std::memset(field, ' ', size);
  std::memcpy(field, text, std::strlen(text));
}

bool ReadAesKey() {
  const char* hex = std::getenv("SEALTOOL_MEMORY_AES");
  if (hex == nullptr || std::strlen(hex) != 2 * kAesBytes) return false;
  for (CK_ULONG i = 0; i < kAesBytes; ++i) {
    char byte[3] = {hex[2 * i], hex[2 * i + 1], '\0'};
    char* end = nullptr;
    gToken.aes[i] = static_cast<unsigned char>(std::strtoul(byte, &end, 16));
    if (*end != '\0') return false;
  }
  return true;
}

bool ReadRsaKey() {
  const char* path = std::getenv("SEALTOOL_MEMORY_RSA");
  mbedtls_pk_init(&gToken.rsa);
  if (path == nullptr || mbedtls_pk_parse_keyfile(&gToken.rsa, path, nullptr) != 0 ||
      mbedtls_pk_get_type(&gToken.rsa) != MBEDTLS_PK_RSA) {
    return false;
  }
  const mbedtls_rsa_context* rsa = mbedtls_pk_rsa(gToken.rsa);
  gToken.modulusLength = mbedtls_mpi_size(&rsa->N);
  gToken.exponentLength = mbedtls_mpi_size(&rsa->E);
  return gToken.modulusLength <= sizeof gToken.modulus && gToken.exponentLength <= sizeof gToken.exponent &&
         mbedtls_mpi_write_binary(&rsa->N, gToken.modulus, gToken.modulusLength) == 0 &&
         mbedtls_mpi_write_binary(&rsa->E, gToken.exponent, gToken.exponentLength) == 0;
}

bool Exists(CK_OBJECT_HANDLE object) {
  return (object == kAesKey && gToken.hasAes) ||
         ((object == kRsaPrivate || object == kRsaPublic) && gToken.hasRsa);
}

// An attribute's value: bytes at *value, length in *length; false when the
// object has no such attribute.
bool ValueOf(CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type, const void** value, CK_ULONG* length) {
  static const CK_OBJECT_CLASS kClasses[] = {0, CKO_SECRET_KEY, CKO_PRIVATE_KEY, CKO_PUBLIC_KEY};
  static const CK_KEY_TYPE kTypes[] = {0, CKK_AES, CKK_RSA, CKK_RSA};
  static const CK_BBOOL kTrue = CK_TRUE;
  static const CK_BBOOL kFalse = CK_FALSE;
  static const unsigned char kIds[] = {0, 1, 2, 2};
  const bool aes = object == kAesKey;
  const auto set = [value, length](const void* bytes, CK_ULONG size) {
    *value = bytes;
    *length = size;
    return true;
  };
  switch (type) {
    case CKA_CLASS: return set(&kClasses[object], sizeof(CK_OBJECT_CLASS));
    case CKA_KEY_TYPE: return set(&kTypes[object], sizeof(CK_KEY_TYPE));
    case CKA_LABEL: return set(aes ? "aes" : "rsa", 3);
    case CKA_ID: return set(&kIds[object], 1);
    case CKA_TOKEN: return set(&kTrue, sizeof kTrue);
    case CKA_VALUE_LEN: {
      static const CK_ULONG kAesLength = kAesBytes;
      return aes && set(&kAesLength, sizeof kAesLength);
    }
    case CKA_MODULUS: return !aes && set(gToken.modulus, gToken.modulusLength);
    case CKA_PUBLIC_EXPONENT: return !aes && set(gToken.exponent, gToken.exponentLength);
    case CKA_ENCRYPT: return set(aes ? &kTrue : &kFalse, sizeof kTrue);
    case CKA_SIGN: return set(object == kRsaPrivate ? &kTrue : &kFalse, sizeof kTrue);
    case CKA_WRAP: return set(&kFalse, sizeof kFalse);
    case CKA_SENSITIVE: return set(object != kRsaPublic ? &kTrue : &kFalse, sizeof kTrue);
    case CKA_EXTRACTABLE: return set(&kFalse, sizeof kFalse);
    default: return false;
  }
}

bool Matches(CK_OBJECT_HANDLE object, const CK_ATTRIBUTE* search, CK_ULONG count) {
  for (CK_ULONG i = 0; i < count; ++i) {
    const void* value = nullptr;
    CK_ULONG length = 0;
    if (!ValueOf(object, search[i].type, &value, &length) || length != search[i].ulValueLen ||
        std::memcmp(value, search[i].pValue, length) != 0) {
      return false;
    }
  }
  return true;
}

CK_RV SessionReady(CK_SESSION_HANDLE session) {
  if (!gToken.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  return session == kSession && gToken.sessionOpen ? CKR_OK : CKR_SESSION_HANDLE_INVALID;
}

// The length check of PKCS#11's two-call convention.
CK_RV GiveLength(CK_BYTE_PTR out, CK_ULONG_PTR outLength, CK_ULONG needed) {
  if (out == nullptr) {
    *outLength = needed;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (*outLength < needed) {
    *outLength = needed;
    return CKR_BUFFER_TOO_SMALL;
  }
  *outLength = needed;
  return CKR_OK;
}

CK_RV Initialize(CK_VOID_PTR /*arguments*/) {
  if (gToken.initialized) return CKR_CRYPTOKI_ALREADY_INITIALIZED;
  gToken = Token{};
  gToken.hasAes = ReadAesKey();
  gToken.hasRsa = ReadRsaKey();
  gToken.initialized = true;
  return CKR_OK;
}

CK_RV Finalize(CK_VOID_PTR /*reserved*/) {
  if (!gToken.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  mbedtls_pk_free(&gToken.rsa);
  gToken = Token{};
  return CKR_OK;
}

CK_RV GetInfo(CK_INFO_PTR info) {
  *info = CK_INFO{};
  info->cryptokiVersion = CK_VERSION{2, 40};
  Pad(info->manufacturerID, sizeof info->manufacturerID, "sealtool tests");
  Pad(info->libraryDescription, sizeof info->libraryDescription, "memory token");
  info->libraryVersion = CK_VERSION{1, 0};
  return CKR_OK;
}

CK_RV GetSlotList(CK_BBOOL /*present*/, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (list != nullptr && *count < 1) {
    *count = 1;
    return CKR_BUFFER_TOO_SMALL;
  }
  if (list != nullptr) list[0] = kSlot;
  *count = 1;
  return CKR_OK;
}

CK_RV GetSlotInfo(CK_SLOT_ID slot, CK_SLOT_INFO_PTR info) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  *info = CK_SLOT_INFO{};
  Pad(info->slotDescription, sizeof info->slotDescription, "memory");
  Pad(info->manufacturerID, sizeof info->manufacturerID, "sealtool tests");
  info->flags = CKF_TOKEN_PRESENT;
  return CKR_OK;
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  *info = CK_TOKEN_INFO{};
  Pad(info->label, sizeof info->label, "memory");
  Pad(info->manufacturerID, sizeof info->manufacturerID, "sealtool tests");
  Pad(info->model, sizeof info->model, "memory");
  Pad(info->serialNumber, sizeof info->serialNumber, "1");
  info->flags = CKF_TOKEN_INITIALIZED | CKF_LOGIN_REQUIRED | CKF_USER_PIN_INITIALIZED;
  info->ulMaxPinLen = 64;
  info->ulMinPinLen = 4;
  return CKR_OK;
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (type == CKM_AES_CBC) {
    *info = CK_MECHANISM_INFO{16, 16, CKF_ENCRYPT};
  } else if (type == CKM_RSA_X_509) {
    *info = CK_MECHANISM_INFO{512, 4096, CKF_SIGN};
  } else {
    return CKR_MECHANISM_INVALID;
  }
  return CKR_OK;
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS /*flags*/, CK_VOID_PTR /*application*/, CK_NOTIFY /*notify*/,
                  CK_SESSION_HANDLE_PTR session) {
  if (!gToken.initialized) return CKR_CRYPTOKI_NOT_INITIALIZED;
  if (slot != kSlot) return CKR_SLOT_ID_INVALID;
  if (gToken.sessionOpen) return CKR_SESSION_COUNT;
  gToken.sessionOpen = true;
  *session = kSession;
  return CKR_OK;
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  gToken.sessionOpen = false;
  gToken.loggedIn = false;
  return CKR_OK;
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  if (user != CKU_USER) return CKR_USER_TYPE_INVALID;
  if (gToken.loggedIn) return CKR_USER_ALREADY_LOGGED_IN;
  if (length != std::strlen(kPin) || std::memcmp(pin, kPin, length) != 0) return CKR_PIN_INCORRECT;
  gToken.loggedIn = true;
  return CKR_OK;
}

CK_RV Logout(CK_SESSION_HANDLE session) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  gToken.loggedIn = false;
  return CKR_OK;
}

// Private objects (the keys but the public one) are seen only once logged in.
CK_RV FindObjectsInit(CK_SESSION_HANDLE session, CK_ATTRIBUTE_PTR search, CK_ULONG count) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  gToken.foundCount = 0;
  gToken.foundNext = 0;
  for (CK_OBJECT_HANDLE object = kAesKey; object < kObjects; ++object) {
    const bool visible = object == kRsaPublic || gToken.loggedIn;
    if (visible && Exists(object) && Matches(object, search, count)) gToken.found[gToken.foundCount++] = object;
  }
  return CKR_OK;
}

CK_RV FindObjects(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE_PTR found, CK_ULONG most, CK_ULONG_PTR count) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  *count = 0;
  while (*count < most && gToken.foundNext < gToken.foundCount) found[(*count)++] = gToken.found[gToken.foundNext++];
  return CKR_OK;
}

CK_RV FindObjectsFinal(CK_SESSION_HANDLE session) { return SessionReady(session); }

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  if (!Exists(object)) return CKR_OBJECT_HANDLE_INVALID;
  CK_RV result = CKR_OK;
  for (CK_ULONG i = 0; i < count; ++i) {
    const void* value = nullptr;
    CK_ULONG length = 0;
    if (!ValueOf(object, attributes[i].type, &value, &length)) {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_ATTRIBUTE_TYPE_INVALID;
    } else if (attributes[i].pValue == nullptr) {
      attributes[i].ulValueLen = length;
    } else if (attributes[i].ulValueLen < length) {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      result = CKR_BUFFER_TOO_SMALL;
    } else {
      std::memcpy(attributes[i].pValue, value, length);
      attributes[i].ulValueLen = length;
    }
  }
  return result;
}

CK_RV StartOperation(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key,
                     CK_MECHANISM_TYPE wanted, CK_OBJECT_HANDLE wantedKey) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  if (!gToken.loggedIn) return CKR_USER_NOT_LOGGED_IN;
  if (mechanism == nullptr || mechanism->mechanism != wanted) return CKR_MECHANISM_INVALID;
  if (key != wantedKey || !Exists(key)) return CKR_KEY_HANDLE_INVALID;
  if (wanted == CKM_AES_CBC) {
    if (mechanism->ulParameterLen != sizeof gToken.iv) return CKR_MECHANISM_PARAM_INVALID;
    std::memcpy(gToken.iv, mechanism->pParameter, sizeof gToken.iv);
  }
  gToken.operation = wanted;
  gToken.operationKey = key;
  return CKR_OK;
}

CK_RV EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return StartOperation(session, mechanism, key, CKM_AES_CBC, kAesKey);
}

CK_RV Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
              CK_ULONG_PTR outLength) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  if (gToken.operation != CKM_AES_CBC) return CKR_OPERATION_NOT_INITIALIZED;
  if (length % 16 != 0) return CKR_DATA_LEN_RANGE;
  if (const CK_RV rv = GiveLength(out, outLength, length); rv != CKR_OK) return rv;
  mbedtls_aes_context aes;
  mbedtls_aes_init(&aes);
  const bool done = mbedtls_aes_setkey_enc(&aes, gToken.aes, 128) == 0 &&
                    mbedtls_aes_crypt_cbc(&aes, MBEDTLS_AES_ENCRYPT, length, gToken.iv, data, out) == 0;
  mbedtls_aes_free(&aes);
  gToken.operation = 0;
  return done ? CKR_OK : CKR_FUNCTION_FAILED;
}

CK_RV SignInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  return StartOperation(session, mechanism, key, CKM_RSA_X_509, kRsaPrivate);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
           CK_ULONG_PTR outLength) {
  if (const CK_RV rv = SessionReady(session); rv != CKR_OK) return rv;
  if (gToken.operation != CKM_RSA_X_509) return CKR_OPERATION_NOT_INITIALIZED;
  if (length != gToken.modulusLength) return CKR_DATA_LEN_RANGE;
  if (const CK_RV rv = GiveLength(out, outLength, gToken.modulusLength); rv != CKR_OK) return rv;
  gToken.operation = 0;
  // No blinding: a test token's private key is no secret.
  return mbedtls_rsa_private(mbedtls_pk_rsa(gToken.rsa), nullptr, nullptr, data, out) == 0 ? CKR_OK
                                                                                           : CKR_DATA_INVALID;
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  gFunctions = CK_FUNCTION_LIST{};
  gFunctions.version = CK_VERSION{2, 40};
  gFunctions.C_Initialize = Initialize;
  gFunctions.C_Finalize = Finalize;
  gFunctions.C_GetInfo = GetInfo;
  gFunctions.C_GetFunctionList = C_GetFunctionList;
  gFunctions.C_GetSlotList = GetSlotList;
  gFunctions.C_GetSlotInfo = GetSlotInfo;
  gFunctions.C_GetTokenInfo = GetTokenInfo;
  gFunctions.C_GetMechanismInfo = GetMechanismInfo;
  gFunctions.C_OpenSession = OpenSession;
  gFunctions.C_CloseSession = CloseSession;
  gFunctions.C_Login = Login;
  gFunctions.C_Logout = Logout;
  gFunctions.C_FindObjectsInit = FindObjectsInit;
  gFunctions.C_FindObjects = FindObjects;
  gFunctions.C_FindObjectsFinal = FindObjectsFinal;
  gFunctions.C_GetAttributeValue = GetAttributeValue;
  gFunctions.C_EncryptInit = EncryptInit;
  gFunctions.C_Encrypt = Encrypt;
  gFunctions.C_SignInit = SignInit;
  gFunctions.C_Sign = Sign;
  *list = &gFunctions;
  return CKR_OK;
}
