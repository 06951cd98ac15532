#include "token/pkcs11_token.h"

#include <limits.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include <mbedtls/platform_util.h>

#include "image/layout.h"
#include "token/key_ref_text.h"
#include "token/p11kit_library.h"
#include "token/token_pin.h"

namespace sealtool {
namespace {

constexpr char kUriScheme[] = "pkcs11:";
constexpr std::size_t kMaxOpenTokens = 8;
constexpr std::size_t kMaxModules = 4;
constexpr std::size_t kMaxSlots = 1024;
constexpr std::size_t kMaxTemplate = 12;
constexpr CK_ULONG kAes128KeyBytes = 16;
constexpr std::size_t kAesBlockBytes = 16;

// A module the run loaded by its path: loaded and initialized once, however
// many keys or tokens of it the run uses and by whichever path it is named.
struct LoadedModule {
  CK_FUNCTION_LIST* module;
  dev_t device;
  ino_t inode;
  bool mustFinalize;  // false when another loader of this process initialized it
};

// A token the run has opened: one session, logged in at most once.
struct OpenToken {
  CK_FUNCTION_LIST* module;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session;
  CK_TOKEN_INFO info;
  bool inUse;
  bool loggedIn;
};

OpenToken gTokens[kMaxOpenTokens];
LoadedModule gModules[kMaxModules];
CK_FUNCTION_LIST** gConfiguredModules;  // p11-kit's configuration, loaded at most once
CK_SLOT_ID gSlots[kMaxSlots];

// Output of the token's cipher: PKCS#11 promises nothing for in-place calls.
std::uint8_t gCipherOutput[kBodyAreaSize];

// A parsed key reference and the form messages show: the URI as given, with
// every PIN in it masked.
struct TokenRef {
  const P11KitLibrary* kit;
  P11KitUri* uri;
  KeyRefText display;
};

void PrintFailure(const char* what, const TokenRef& ref) {
  std::printf(" failed\n  ! %s\n  ! key: %s\n\n", what, ref.display.text);
}

void PrintTokenError(const char* operation, CK_RV rv, const TokenRef& ref) {
  std::printf(" failed\n  ! the token failed %s: %s (0x%lx)\n  ! key: %s\n\n", operation,
              ref.kit->strerror(rv), static_cast<unsigned long>(rv), ref.display.text);
}

// RFC 7512 names each attribute at most once; p11-kit would quietly take
// one of two, so that the key used may not be the key meant.
bool NoAttributeRepeats(const char* text, const TokenRef& ref) {
  char name[64];
  if (!UriRepeatedAttribute(text, name, sizeof name)) return true;
  std::printf(" failed\n  ! the URI names %s twice: RFC 7512 allows each attribute once\n"
              "  ! key: %s\n\n", name, ref.display.text);
  return false;
}

bool ParseRef(const char* text, TokenRef* ref) {
  ref->display = KeyRefForDisplay(text);
  ref->uri = nullptr;
  ref->kit = nullptr;
  if (!NoAttributeRepeats(text, *ref)) return false;
  ref->kit = LoadP11Kit();
  if (ref->kit == nullptr) return false;
  ref->uri = ref->kit->uriNew();
  const int parsed = ref->uri == nullptr
                         ? P11_KIT_URI_UNEXPECTED
                         : ref->kit->uriParse(text, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE,
                                              ref->uri);
  if (parsed != P11_KIT_URI_OK) {
    std::printf(" failed\n  ! not a PKCS#11 URI (RFC 7512): %s\n  ! key: %s\n\n",
                ref->kit->uriMessage(parsed), ref->display.text);
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

bool NameMatches(const TokenRef& ref, CK_FUNCTION_LIST* module) {
  const char* wanted = ref.kit->uriGetModuleName(ref.uri);
  if (wanted == nullptr) return true;
  char* name = ref.kit->moduleGetName(module);
  const bool same = name != nullptr && std::strcmp(name, wanted) == 0;
  std::free(name);
  return same;
}

// The module at path, loaded and initialized on first use. A module that
// this process already initialized (through p11-kit's configuration) is used
// as it is, and left for its first loader to finalize.
CK_FUNCTION_LIST* ModuleAtPath(const TokenRef& ref, const char* path) {
  struct stat info {};
  const bool known = stat(path, &info) == 0;
  for (const LoadedModule& loaded : gModules) {
    if (known && loaded.module != nullptr && loaded.device == info.st_dev && loaded.inode == info.st_ino) {
      return loaded.module;
    }
  }
  LoadedModule* slot = nullptr;
  for (LoadedModule& loaded : gModules) {
    if (loaded.module == nullptr) slot = &loaded;
  }
  CK_FUNCTION_LIST* module =
      (known && slot != nullptr) ? ref.kit->moduleLoad(path, P11_KIT_MODULE_UNMANAGED) : nullptr;
  const CK_RV rv = module == nullptr ? CKR_GENERAL_ERROR : ref.kit->moduleInitialize(module);
  if (module == nullptr || (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED)) {
    if (module != nullptr) ref.kit->moduleRelease(module);
    std::printf(" failed\n  ! cannot load the PKCS#11 module %s\n  ! key: %s\n\n", path,
                ref.display.text);
    return nullptr;
  }
  *slot = LoadedModule{module, info.st_dev, info.st_ino, rv == CKR_OK};
  return module;
}

// p11-kit's configured modules, loaded and initialized once per run.
CK_FUNCTION_LIST** ConfiguredModules(const TokenRef& ref) {
  if (gConfiguredModules == nullptr) gConfiguredModules = ref.kit->modulesLoadAndInitialize(0);
  if (gConfiguredModules == nullptr || *gConfiguredModules == nullptr) {
    std::printf(" failed\n  ! no PKCS#11 module is configured; name one with module-path\n"
                "  ! key: %s\n\n", ref.display.text);
    return nullptr;
  }
  return gConfiguredModules;
}

// The slots of module that hold a token, asked for by count first.
bool ListSlots(const TokenRef& ref, CK_FUNCTION_LIST* module, CK_ULONG* count) {
  CK_RV rv = module->C_GetSlotList(CK_TRUE, nullptr, count);
  if (rv == CKR_OK && *count > kMaxSlots) {
    std::printf(" failed\n  ! the module reports %lu slots; at most %zu are searched\n  ! key: %s\n\n",
                static_cast<unsigned long>(*count), kMaxSlots, ref.display.text);
    return false;
  }
  if (rv == CKR_OK) rv = module->C_GetSlotList(CK_TRUE, gSlots, count);
  if (rv != CKR_OK) {
    PrintTokenError("to list its slots", rv, ref);
    return false;
  }
  return true;
}

void FinalizeAll(const P11KitLibrary& kit) {
  for (LoadedModule& loaded : gModules) {
    if (loaded.module == nullptr) continue;
    if (loaded.mustFinalize) kit.moduleFinalize(loaded.module);
    kit.moduleRelease(loaded.module);
    loaded = LoadedModule{};
  }
  if (gConfiguredModules != nullptr) kit.modulesFinalizeAndRelease(gConfiguredModules);
  gConfiguredModules = nullptr;
}

// A PIN that cannot be right is not sent: each wrong try counts toward a
// locked PIN.
bool PinIsSendable(const char* pin, int length, const TokenRef& ref) {
  if (length == 0) {
    PrintFailure("the PIN is empty: it is not sent to the token", ref);
    return false;
  }
  if (std::strlen(pin) != static_cast<std::size_t>(length)) {
    PrintFailure("the PIN holds a NUL byte: it is not sent to the token", ref);
    return false;
  }
  return true;
}

// A PIN that no person types at this moment (a file, the environment, the
// URI) is not tried on a token with one try left or a locked PIN: a stale
// PIN in a build loop must not lock the token.
bool TokenAcceptsUnattendedLogin(const OpenToken& token, const TokenRef& ref) {
  CK_TOKEN_INFO info{};
  const CK_FLAGS flags =
      token.module->C_GetTokenInfo(token.slot, &info) == CKR_OK ? info.flags : token.info.flags;
  if ((flags & CKF_USER_PIN_LOCKED) != 0) {
    PrintFailure("the PIN is locked (CKF_USER_PIN_LOCKED): unlock it with the security officer's PIN", ref);
    return false;
  }
  if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
    PrintFailure("one PIN try is left (CKF_USER_PIN_FINAL_TRY): sealtool does not spend it on a PIN "
                 "it was not typed; log in once by hand to reset the count", ref);
    return false;
  }
  return true;
}

void TokenLabel(const CK_TOKEN_INFO& info, char (&label)[sizeof info.label + 1]) {
  std::memcpy(label, info.label, sizeof info.label);
  label[sizeof info.label] = '\0';
  for (std::size_t end = sizeof info.label; end > 0 && label[end - 1] == ' '; --end) {
    label[end - 1] = '\0';
  }
}

CK_RV LogInWithPin(const TokenRef& ref, OpenToken* token, bool* refused) {
  PinBuffer pin{};
  char label[sizeof token->info.label + 1];
  TokenLabel(token->info, label);
  bool prompted = false;
  const int length = ObtainTokenPin(*ref.kit, ref.uri, label, pin.text, &prompted);
  CK_RV rv = CKR_OK;
  if (length < 0) {
    std::printf("  ! key: %s\n\n", ref.display.text);
    *refused = true;
  } else if (!PinIsSendable(pin.text, length, ref) ||
             (!prompted && !TokenAcceptsUnattendedLogin(*token, ref))) {
    *refused = true;
  } else {
    rv = token->module->C_Login(token->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.text),
                                static_cast<CK_ULONG>(length));
  }
  WipePin(&pin);
  return rv;
}

bool LogIn(const TokenRef& ref, OpenToken* token) {
  if ((token->info.flags & CKF_LOGIN_REQUIRED) == 0) return true;
  CK_RV rv = CKR_OK;
  if ((token->info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    rv = token->module->C_Login(token->session, CKU_USER, nullptr, 0);
  } else {
    bool refused = false;
    rv = LogInWithPin(ref, token, &refused);
    if (refused) return false;
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

OpenToken* FindOpenToken(CK_FUNCTION_LIST* module, CK_SLOT_ID slot) {
  for (OpenToken& token : gTokens) {
    if (token.inUse && token.module == module && token.slot == slot) return &token;
  }
  return nullptr;
}

// The run's session on the token in slot of module: opened and logged in
// on first use.
OpenToken* OpenTokenAt(const TokenRef& ref, CK_FUNCTION_LIST* module, CK_SLOT_ID slot,
                       const CK_TOKEN_INFO& info) {
  if (OpenToken* open = FindOpenToken(module, slot); open != nullptr) return open;
  OpenToken* token = nullptr;
  for (OpenToken& candidate : gTokens) {
    if (!candidate.inUse) token = &candidate;
  }
  if (token == nullptr) {
    PrintFailure("a run can use keys of eight tokens at most", ref);
    return nullptr;
  }
  *token = OpenToken{module, slot, 0, info, true, false};
  CK_RV rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                   &token->session);
  if (rv == CKR_TOKEN_WRITE_PROTECTED) {
    rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &token->session);
  }
  if (rv != CKR_OK) {
    token->inUse = false;
    PrintTokenError("to open a session", rv, ref);
    return nullptr;
  }
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

// Up to two objects that search matches: enough to tell one from many.
CK_RV SearchObjects(const OpenToken& token, CK_ATTRIBUTE* search, CK_ULONG count,
                    CK_OBJECT_HANDLE (&found)[2], CK_ULONG* foundCount) {
  *foundCount = 0;
  CK_RV rv = token.module->C_FindObjectsInit(token.session, search, count);
  if (rv != CKR_OK) return rv;
  rv = token.module->C_FindObjects(token.session, found, 2, foundCount);
  token.module->C_FindObjectsFinal(token.session);
  return rv;
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

// The object class the URI names with type=, or false when it names none.
bool UriClass(const TokenRef& ref, CK_OBJECT_CLASS* keyClass) {
  CK_ULONG count = 0;
  CK_ATTRIBUTE_PTR attributes = ref.kit->uriGetAttributes(ref.uri, &count);
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type == CKA_CLASS && attributes[i].ulValueLen == sizeof(CK_OBJECT_CLASS)) {
      std::memcpy(keyClass, attributes[i].pValue, sizeof *keyClass);
      return true;
    }
  }
  return false;
}

// The modules a URI may name: the one at module-path, or p11-kit's
// configured ones (narrowed by module-name). Returns how many, or -1.
constexpr std::size_t kMaxCandidateModules = 32;
int CandidateModules(const TokenRef& ref, CK_FUNCTION_LIST* (&modules)[kMaxCandidateModules]) {
  const char* path = ModulePathOf(ref);
  if (*path != '\0') {
    modules[0] = ModuleAtPath(ref, path);
    return modules[0] != nullptr ? 1 : -1;
  }
  CK_FUNCTION_LIST** configured = ConfiguredModules(ref);
  if (configured == nullptr) return -1;
  int count = 0;
  for (CK_FUNCTION_LIST** m = configured; *m != nullptr && count < static_cast<int>(kMaxCandidateModules); ++m) {
    if (NameMatches(ref, *m)) modules[count++] = *m;
  }
  return count;
}

// What a search over every token the URI matches found.
struct KeySearch {
  int tokens;          // tokens the URI matches
  CK_ULONG found;      // keys found in all of them, counted up to two a token
  int tokensWithKeys;
  OpenToken* token;    // where the first key is
  CK_OBJECT_HANDLE key;
  char labels[2][sizeof CK_TOKEN_INFO{}.label + 1];  // the tokens of the first two keys
};

// Searches the tokens of module that the URI matches. False when a token
// cannot be opened or searched (said already).
bool SearchModule(const TokenRef& ref, CK_FUNCTION_LIST* module, CK_ATTRIBUTE* search,
                  CK_ULONG searchCount, KeySearch* result) {
  CK_INFO moduleInfo{};
  if (module->C_GetInfo(&moduleInfo) != CKR_OK || !ref.kit->uriMatchModuleInfo(ref.uri, &moduleInfo)) {
    return true;
  }
  CK_ULONG slots = 0;
  if (!ListSlots(ref, module, &slots)) return false;
  for (CK_ULONG i = 0; i < slots; ++i) {
    const CK_SLOT_ID slot = gSlots[i];
    CK_TOKEN_INFO info{};
    // A token not yet initialized holds no key (SoftHSM2 keeps such a free
    // slot); it cannot even open a session.
    if (module->C_GetTokenInfo(slot, &info) != CKR_OK || (info.flags & CKF_TOKEN_INITIALIZED) == 0 ||
        !ref.kit->uriMatchTokenInfo(ref.uri, &info) || !SlotMatches(ref, slot)) {
      continue;
    }
    ++result->tokens;
    OpenToken* token = OpenTokenAt(ref, module, slot, info);
    if (token == nullptr) return false;
    CK_OBJECT_HANDLE found[2];
    CK_ULONG count = 0;
    const CK_RV rv = SearchObjects(*token, search, searchCount, found, &count);
    if (rv != CKR_OK) {
      PrintTokenError("the object search", rv, ref);
      return false;
    }
    if (count == 0) continue;
    if (result->tokensWithKeys < 2) TokenLabel(info, result->labels[result->tokensWithKeys]);
    if (result->found == 0) {
      result->token = token;
      result->key = found[0];
    }
    ++result->tokensWithKeys;
    result->found += count;
  }
  return true;
}

// The one key of keyClass that the URI names, searched for in every token it
// matches: a key in two tokens is as ambiguous as two keys in one.
OpenToken* FindKey(const TokenRef& ref, CK_OBJECT_CLASS keyClass, CK_OBJECT_HANDLE* key) {
  CK_OBJECT_CLASS named = keyClass;
  if (UriClass(ref, &named) && named != keyClass) {
    PrintFailure("the URI names another kind of object (type=)", ref);
    return nullptr;
  }
  CK_FUNCTION_LIST* modules[kMaxCandidateModules];
  const int moduleCount = CandidateModules(ref, modules);
  if (moduleCount < 0) return nullptr;
  CK_ATTRIBUTE search[kMaxTemplate];
  const CK_ULONG used = BuildSearch(ref, &keyClass, search);
  KeySearch result{};
  for (int m = 0; m < moduleCount; ++m) {
    if (!SearchModule(ref, modules[m], search, used, &result)) return nullptr;
  }
  if (result.tokens == 0) {
    PrintFailure("no token matches", ref);
  } else if (result.found == 0) {
    PrintFailure("no object matches", ref);
  } else if (result.found > 1 && result.tokensWithKeys == 1) {
    PrintFailure("more than one object matches: name one with id= or object=", ref);
  } else if (result.found > 1) {
    char text[200];
    std::snprintf(text, sizeof text,
                  "keys in more than one token match (tokens '%s' and '%s'): name the token with token=",
                  result.labels[0], result.labels[1]);
    PrintFailure(text, ref);
  } else {
    *key = result.key;
    return result.token;
  }
  return nullptr;
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

// Opens the tokens of uri and finds its key of keyClass. ref must be
// released by the caller.
OpenToken* OpenKey(const char* uri, CK_OBJECT_CLASS keyClass, TokenRef* ref, CK_OBJECT_HANDLE* key) {
  if (!ParseRef(uri, ref)) return nullptr;
  return FindKey(*ref, keyClass, key);
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
    if (SearchObjects(token, search, 2, found, &count) == CKR_OK && count == 1) {
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
  const P11KitLibrary* kit = nullptr;
  for (OpenToken& token : gTokens) {
    if (!token.inUse) continue;
    kit = LoadP11Kit();  // loaded already, as a token is open
    if (token.loggedIn) token.module->C_Logout(token.session);
    token.module->C_CloseSession(token.session);
    token = OpenToken{};
  }
  bool anyLoaded = gConfiguredModules != nullptr;
  for (const LoadedModule& loaded : gModules) anyLoaded = anyLoaded || loaded.module != nullptr;
  if (kit == nullptr && anyLoaded) kit = LoadP11Kit();
  if (kit != nullptr) FinalizeAll(*kit);
}

}  // namespace sealtool
