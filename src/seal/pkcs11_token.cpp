#include "seal/pkcs11_token.h"

#include <limits.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <mbedtls/platform_util.h>

#include "image/layout.h"
#include "seal/p11kit_library.h"
#include "seal/token_pin.h"

namespace sealtool {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr std::size_t kMaxOpenTokens = 2;
constexpr std::size_t kDisplaySize = 512;
constexpr std::size_t kMaxTemplate = 12;
constexpr CK_ULONG kAes128KeyBytes = 16;
constexpr std::size_t kAesBlockBytes = 16;

// A token the run has opened: one session, logged in at most once.
struct OpenToken {
  bool inUse;
  CK_FUNCTION_LIST* module;
  CK_FUNCTION_LIST** configuredModules;  // set when p11-kit's configuration supplied it
  CK_SLOT_ID slot;
  CK_TOKEN_INFO info;
  CK_SESSION_HANDLE session;
  bool loggedIn;
  char modulePath[PATH_MAX];  // empty for a configured module
};

OpenToken gTokens[kMaxOpenTokens];

// Output of the token's cipher: PKCS#11 promises nothing for in-place calls.
std::uint8_t gCipherOutput[kBodyAreaSize];

// A parsed key reference and the form messages show: the URI as given, with
// any PIN in it masked.
struct TokenRef {
  const P11KitLibrary* kit;
  P11KitUri* uri;
  char display[kDisplaySize];
};

void MaskPin(const char* text, char (&display)[kDisplaySize]) {
  static constexpr char kPinAttribute[] = "pin-value=";
  const char* pin = std::strstr(text, kPinAttribute);
  if (pin == nullptr) {
    std::snprintf(display, sizeof display, "%s", text);
    return;
  }
  const char* value = pin + sizeof kPinAttribute - 1;
  const char* rest = value + std::strcspn(value, "&;");
  std::snprintf(display, sizeof display, "%.*s***%s", static_cast<int>(value - text), text, rest);
}

void PrintFailure(const char* what, const TokenRef& ref) {
  std::printf(" failed\n  ! %s\n  ! key: %s\n\n", what, ref.display);
}

void PrintTokenError(const char* operation, CK_RV rv, const TokenRef& ref) {
  std::printf(" failed\n  ! the token failed %s: %s (0x%lx)\n  ! key: %s\n\n", operation,
              ref.kit->strerror(rv), static_cast<unsigned long>(rv), ref.display);
}

bool ParseRef(const char* text, TokenRef* ref) {
  MaskPin(text, ref->display);
  ref->uri = nullptr;
  ref->kit = LoadP11Kit();
  if (ref->kit == nullptr) return false;
  ref->uri = ref->kit->uriNew();
  const int parsed = ref->uri == nullptr
                         ? P11_KIT_URI_UNEXPECTED
                         : ref->kit->uriParse(text, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE,
                                              ref->uri);
  if (parsed != P11_KIT_URI_OK) {
    std::printf(" failed\n  ! not a PKCS#11 URI (RFC 7512): %s\n  ! key: %s\n\n",
                ref->kit->uriMessage(parsed), ref->display);
    return false;
  }
  return true;
}

void ReleaseRef(TokenRef* ref) {
  if (ref->uri != nullptr) ref->kit->uriFree(ref->uri);
  ref->uri = nullptr;
}

const char* ModulePathOf(const TokenRef& ref) {
  const char* path = ref.kit->uriGetModulePath(ref.uri);
  return path != nullptr ? path : "";
}

bool SlotMatches(const TokenRef& ref, CK_SLOT_ID slot) {
  const CK_SLOT_ID wanted = ref.kit->uriGetSlotId(ref.uri);
  return wanted == static_cast<CK_SLOT_ID>(-1) || wanted == slot;
}

// The first slot of module whose token the URI matches.
bool FindSlot(const TokenRef& ref, CK_FUNCTION_LIST* module, OpenToken* token) {
  CK_INFO moduleInfo{};
  if (module->C_GetInfo(&moduleInfo) != CKR_OK || !ref.kit->uriMatchModuleInfo(ref.uri, &moduleInfo)) {
    return false;
  }
  CK_SLOT_ID slots[64];
  CK_ULONG count = sizeof slots / sizeof slots[0];
  if (module->C_GetSlotList(CK_TRUE, slots, &count) != CKR_OK) return false;
  for (CK_ULONG i = 0; i < count; ++i) {
    CK_TOKEN_INFO info{};
    if (module->C_GetTokenInfo(slots[i], &info) == CKR_OK &&
        ref.kit->uriMatchTokenInfo(ref.uri, &info) && SlotMatches(ref, slots[i])) {
      token->module = module;
      token->slot = slots[i];
      token->info = info;
      return true;
    }
  }
  return false;
}

bool NameMatches(const TokenRef& ref, CK_FUNCTION_LIST* module) {
  const char* wanted = ref.kit->uriGetModuleName(ref.uri);
  if (wanted == nullptr) return true;
  char* name = ref.kit->moduleGetName(module);
  const bool same = name != nullptr && std::strcmp(name, wanted) == 0;
  std::free(name);
  return same;
}

void FinalizeModules(const P11KitLibrary& kit, OpenToken* token) {
  if (token->configuredModules != nullptr) {
    kit.modulesFinalizeAndRelease(token->configuredModules);
  } else if (token->module != nullptr) {
    kit.moduleFinalize(token->module);
    kit.moduleRelease(token->module);
  }
  token->configuredModules = nullptr;
  token->module = nullptr;
}

// The module named by module-path, or else p11-kit's configured modules
// (narrowed by module-name), and in it the token the URI names.
bool LoadTokenModule(const TokenRef& ref, OpenToken* token) {
  const char* path = ModulePathOf(ref);
  if (*path != '\0') {
    CK_FUNCTION_LIST* module = ref.kit->moduleLoad(path, P11_KIT_MODULE_UNMANAGED);
    const CK_RV rv = module == nullptr ? CKR_GENERAL_ERROR : ref.kit->moduleInitialize(module);
    if (module == nullptr || rv != CKR_OK) {
      if (module != nullptr) ref.kit->moduleRelease(module);
      std::printf(" failed\n  ! cannot load the PKCS#11 module %s\n  ! key: %s\n\n", path,
                  ref.display);
      return false;
    }
    std::snprintf(token->modulePath, sizeof token->modulePath, "%s", path);
    token->module = module;
    if (FindSlot(ref, module, token)) return true;
  } else {
    token->configuredModules = ref.kit->modulesLoadAndInitialize(0);
    for (CK_FUNCTION_LIST** m = token->configuredModules; m != nullptr && *m != nullptr; ++m) {
      if (NameMatches(ref, *m) && FindSlot(ref, *m, token)) return true;
    }
    if (token->configuredModules == nullptr || *token->configuredModules == nullptr) {
      std::printf(" failed\n  ! no PKCS#11 module is configured; name one with module-path\n"
                  "  ! key: %s\n\n", ref.display);
      FinalizeModules(*ref.kit, token);
      return false;
    }
  }
  PrintFailure("no token matches", ref);
  FinalizeModules(*ref.kit, token);
  return false;
}

bool LogIn(const TokenRef& ref, OpenToken* token) {
  if ((token->info.flags & CKF_LOGIN_REQUIRED) == 0) return true;
  char pin[kMaxPinLength + 1] = {};
  CK_RV rv = CKR_OK;
  if ((token->info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    rv = token->module->C_Login(token->session, CKU_USER, nullptr, 0);
  } else {
    char label[sizeof token->info.label + 1] = {};
    std::memcpy(label, token->info.label, sizeof token->info.label);
    for (std::size_t end = sizeof token->info.label; end > 0 && label[end - 1] == ' '; --end) {
      label[end - 1] = '\0';
    }
    const int length = ObtainTokenPin(*ref.kit, ref.uri, label, pin);
    if (length < 0) {
      std::printf("  ! key: %s\n\n", ref.display);
      return false;
    }
    rv = token->module->C_Login(token->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin),
                                static_cast<CK_ULONG>(length));
    mbedtls_platform_zeroize(pin, sizeof pin);
  }
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
    token->loggedIn = rv == CKR_OK;
    return true;
  }
  if (rv == CKR_PIN_INCORRECT) {
    PrintFailure("the PIN is wrong (CKR_PIN_INCORRECT)", ref);
  } else if (rv == CKR_PIN_LOCKED) {
    PrintFailure("the PIN is locked (CKR_PIN_LOCKED): unlock it with the security officer's PIN", ref);
  } else {
    PrintTokenError("the login", rv, ref);
  }
  return false;
}

OpenToken* FindOpenToken(const TokenRef& ref) {
  for (OpenToken& token : gTokens) {
    if (token.inUse && std::strcmp(token.modulePath, ModulePathOf(ref)) == 0 &&
        ref.kit->uriMatchTokenInfo(ref.uri, &token.info) && SlotMatches(ref, token.slot) &&
        NameMatches(ref, token.module)) {
      return &token;
    }
  }
  return nullptr;
}

// The run's session on the token of ref: opened and logged in on first use.
OpenToken* OpenTokenOf(const TokenRef& ref) {
  if (OpenToken* open = FindOpenToken(ref); open != nullptr) return open;
  OpenToken* token = nullptr;
  for (OpenToken& candidate : gTokens) {
    if (!candidate.inUse) token = &candidate;
  }
  if (token == nullptr) {
    PrintFailure("a run can use keys of two tokens at most", ref);
    return nullptr;
  }
  *token = OpenToken{};
  if (!LoadTokenModule(ref, token)) return nullptr;
  CK_RV rv = token->module->C_OpenSession(token->slot, CKF_SERIAL_SESSION | CKF_RW_SESSION,
                                          nullptr, nullptr, &token->session);
  if (rv == CKR_TOKEN_WRITE_PROTECTED) {
    rv = token->module->C_OpenSession(token->slot, CKF_SERIAL_SESSION, nullptr, nullptr,
                                      &token->session);
  }
  if (rv != CKR_OK) {
    PrintTokenError("to open a session", rv, ref);
    FinalizeModules(*ref.kit, token);
    return nullptr;
  }
  token->inUse = true;
  return LogIn(ref, token) ? token : nullptr;
}

bool ReadUlong(const OpenToken& token, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
               CK_ULONG* value) {
  CK_ATTRIBUTE attribute{type, value, sizeof *value};
  return token.module->C_GetAttributeValue(token.session, object, &attribute, 1) == CKR_OK;
}

// An attribute of at most size bytes; *length gets its length.
bool ReadBytes(const OpenToken& token, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_TYPE type,
               std::uint8_t* bytes, std::size_t size, std::size_t* length) {
  CK_ATTRIBUTE attribute{type, nullptr, 0};
  if (token.module->C_GetAttributeValue(token.session, object, &attribute, 1) != CKR_OK ||
      attribute.ulValueLen > size) {
    return false;
  }
  attribute.pValue = bytes;
  *length = attribute.ulValueLen;
  return token.module->C_GetAttributeValue(token.session, object, &attribute, 1) == CKR_OK;
}

// The one object of keyClass that the attributes in template match.
bool FindOneObject(const TokenRef& ref, const OpenToken& token, CK_ATTRIBUTE* search,
                   CK_ULONG count, CK_OBJECT_HANDLE* object) {
  CK_OBJECT_HANDLE found[2];
  CK_ULONG foundCount = 0;
  CK_RV rv = token.module->C_FindObjectsInit(token.session, search, count);
  if (rv == CKR_OK) rv = token.module->C_FindObjects(token.session, found, 2, &foundCount);
  token.module->C_FindObjectsFinal(token.session);
  if (rv != CKR_OK) {
    PrintTokenError("the object search", rv, ref);
    return false;
  }
  if (foundCount == 0) {
    PrintFailure("no object matches", ref);
    return false;
  }
  if (foundCount > 1) {
    PrintFailure("more than one object matches: name one with id= or object=", ref);
    return false;
  }
  *object = found[0];
  return true;
}

// The URI's object attributes with the class the operation needs.
CK_ULONG BuildSearch(const TokenRef& ref, CK_OBJECT_CLASS* keyClass,
                     CK_ATTRIBUTE (&search)[kMaxTemplate]) {
  CK_ULONG count = 0;
  CK_ATTRIBUTE_PTR attributes = ref.kit->uriGetAttributes(ref.uri, &count);
  CK_ULONG used = 0;
  for (CK_ULONG i = 0; i < count && used + 1 < kMaxTemplate; ++i) {
    if (attributes[i].type != CKA_CLASS) search[used++] = attributes[i];
  }
  search[used++] = CK_ATTRIBUTE{CKA_CLASS, keyClass, sizeof *keyClass};
  return used;
}

bool FindKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_CLASS keyClass,
             CK_OBJECT_HANDLE* object) {
  CK_ULONG count = 0;
  CK_ATTRIBUTE_PTR attributes = ref.kit->uriGetAttributes(ref.uri, &count);
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type == CKA_CLASS && attributes[i].ulValueLen == sizeof(CK_OBJECT_CLASS) &&
        *static_cast<CK_OBJECT_CLASS*>(attributes[i].pValue) != keyClass) {
      PrintFailure("the URI names another kind of object (type=)", ref);
      return false;
    }
  }
  CK_ATTRIBUTE search[kMaxTemplate];
  const CK_ULONG used = BuildSearch(ref, &keyClass, search);
  return FindOneObject(ref, token, search, used, object);
}

bool KeyTypeIs(const OpenToken& token, CK_OBJECT_HANDLE key, CK_KEY_TYPE wanted) {
  CK_ULONG type = 0;
  return ReadUlong(token, key, CKA_KEY_TYPE, &type) && type == wanted;
}

bool IsAes128Key(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key) {
  CK_ULONG length = 0;
  if (KeyTypeIs(token, key, CKK_AES) && ReadUlong(token, key, CKA_VALUE_LEN, &length) &&
      length == kAes128KeyBytes) {
    return true;
  }
  PrintFailure("the key is not a 16-byte AES key", ref);
  return false;
}

// The modulus of an RSA-1024 key, big-endian; false when the key is another
// kind or size.
bool ReadRsa1024Modulus(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key,
                        std::uint8_t (&modulus)[kRsaBlockSize]) {
  std::uint8_t bytes[1024];
  std::size_t length = 0;
  if (KeyTypeIs(token, key, CKK_RSA) && ReadBytes(token, key, CKA_MODULUS, bytes, sizeof bytes, &length)) {
    std::size_t skip = 0;
    while (skip < length && bytes[skip] == 0) ++skip;
    if (length - skip == kRsaBlockSize && (bytes[skip] & 0x80u) != 0) {
      std::memcpy(modulus, bytes + skip, kRsaBlockSize);
      return true;
    }
  }
  PrintFailure("the key is not an RSA-1024 key", ref);
  return false;
}

bool MechanismOffered(const TokenRef& ref, const OpenToken& token, CK_MECHANISM_TYPE mechanism,
                      CK_FLAGS use, const char* name) {
  CK_MECHANISM_INFO info{};
  if (token.module->C_GetMechanismInfo(token.slot, mechanism, &info) == CKR_OK &&
      (info.flags & use) == use) {
    return true;
  }
  char text[128];
  std::snprintf(text, sizeof text, "the token does not offer %s", name);
  PrintFailure(text, ref);
  return false;
}

// Opens the token of uri and finds its key of keyClass. ref must be
// released by the caller.
OpenToken* OpenKey(const char* uri, CK_OBJECT_CLASS keyClass, TokenRef* ref, CK_OBJECT_HANDLE* key) {
  if (!ParseRef(uri, ref)) return nullptr;
  OpenToken* token = OpenTokenOf(*ref);
  return (token != nullptr && FindKey(*ref, *token, keyClass, key)) ? token : nullptr;
}

bool BigEndianNotBelow(const std::uint8_t* value, const std::uint8_t* modulus) {
  return std::memcmp(value, modulus, kRsaBlockSize) >= 0;
}

// The public key that belongs to a private key: same CKA_ID, else same label.
bool FindMatchingPublicKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE privateKey,
                           CK_OBJECT_HANDLE* publicKey) {
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  for (const CK_ATTRIBUTE_TYPE link : {CKA_ID, CKA_LABEL}) {
    std::uint8_t value[256];
    std::size_t length = 0;
    if (!ReadBytes(token, privateKey, link, value, sizeof value, &length) || length == 0) continue;
    CK_ATTRIBUTE search[] = {{CKA_CLASS, &publicClass, sizeof publicClass},
                             {link, value, static_cast<CK_ULONG>(length)}};
    CK_OBJECT_HANDLE found[2];
    CK_ULONG count = 0;
    CK_RV rv = token.module->C_FindObjectsInit(token.session, search, 2);
    if (rv == CKR_OK) rv = token.module->C_FindObjects(token.session, found, 2, &count);
    token.module->C_FindObjectsFinal(token.session);
    if (rv == CKR_OK && count == 1) {
      *publicKey = found[0];
      return true;
    }
  }
  PrintFailure("no public key object has the private key's id or label: give --rsa-pub", ref);
  return false;
}

bool ReadMpi(const OpenToken& token, CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type, mbedtls_mpi* value) {
  std::uint8_t bytes[1024];
  std::size_t length = 0;
  return ReadBytes(token, key, type, bytes, sizeof bytes, &length) &&
         mbedtls_mpi_read_binary(value, bytes, length) == 0;
}

}  // namespace

bool IsTokenRef(const char* ref) {
  return ref != nullptr && std::strncmp(ref, kUriScheme, sizeof kUriScheme - 1) == 0;
}

int TokenEncryptAesCbc(const char* uri, std::uint8_t* data, std::size_t length) {
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
  return ok ? 0 : -1;
}

int TokenSignRsaRaw(const char* uri, const std::uint8_t* block, std::uint8_t* signature,
                    std::uint8_t* modulusOut) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  std::uint8_t modulus[kRsaBlockSize];
  OpenToken* token = OpenKey(uri, CKO_PRIVATE_KEY, &ref, &key);
  int result = -1;
  if (token != nullptr && ReadRsa1024Modulus(ref, *token, key, modulus)) {
    std::memcpy(modulusOut, modulus, kRsaBlockSize);
    if (BigEndianNotBelow(block, modulus)) {
      result = kTokenBlockNotBelowModulus;
    } else if (MechanismOffered(ref, *token, CKM_RSA_X_509, CKF_SIGN, "raw RSA signing (RSA-X-509)")) {
      CK_MECHANISM mechanism{CKM_RSA_X_509, nullptr, 0};
      CK_ULONG written = kRsaBlockSize;
      CK_RV rv = token->module->C_SignInit(token->session, &mechanism, key);
      if (rv == CKR_OK) {
        rv = token->module->C_Sign(token->session, const_cast<std::uint8_t*>(block), kRsaBlockSize,
                                   signature, &written);
      }
      result = (rv == CKR_OK && written == kRsaBlockSize) ? 0 : -1;
      if (result != 0) PrintTokenError("raw RSA signing", rv == CKR_OK ? CKR_DATA_LEN_RANGE : rv, ref);
    }
  }
  ReleaseRef(&ref);
  return result;
}

int TokenReadRsaPublicKey(const char* uri, bool ofPrivateKey, mbedtls_mpi* n, mbedtls_mpi* e) {
  TokenRef ref{};
  CK_OBJECT_HANDLE key = 0;
  OpenToken* token = OpenKey(uri, ofPrivateKey ? CKO_PRIVATE_KEY : CKO_PUBLIC_KEY, &ref, &key);
  bool ok = token != nullptr && (!ofPrivateKey || FindMatchingPublicKey(ref, *token, key, &key));
  if (ok && !(KeyTypeIs(*token, key, CKK_RSA) && ReadMpi(*token, key, CKA_MODULUS, n) &&
              ReadMpi(*token, key, CKA_PUBLIC_EXPONENT, e))) {
    PrintFailure("the public key is not an RSA key with a readable modulus and exponent", ref);
    ok = false;
  }
  ReleaseRef(&ref);
  return ok ? 0 : -1;
}

int TokenWrapAesKey(const char* uri, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
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
  return ok ? 0 : -1;
}

void CloseTokens() {
  for (OpenToken& token : gTokens) {
    if (!token.inUse) continue;
    const P11KitLibrary* kit = LoadP11Kit();  // loaded already, as a token is open
    if (token.loggedIn) token.module->C_Logout(token.session);
    token.module->C_CloseSession(token.session);
    if (kit != nullptr) FinalizeModules(*kit, &token);
    token = OpenToken{};
  }
}

}  // namespace sealtool
