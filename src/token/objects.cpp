#include "token/objects.h"

#include <cstdio>
#include <cstring>
#include <initializer_list>

#include <mbedtls/platform_util.h>

#include "token/modules.h"

namespace sealtool {
namespace {

constexpr std::size_t kMaxTemplate = 12;

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

// What a search over every token the URI matches found.
struct KeySearch {
  int tokensSeen;      // tokens of the modules searched, matching or not
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
  const CK_SLOT_ID* slots = nullptr;
  CK_ULONG slotCount = 0;
  if (!ListSlots(ref, module, &slots, &slotCount)) return false;
  for (CK_ULONG i = 0; i < slotCount; ++i) {
    const CK_SLOT_ID slot = slots[i];
    CK_TOKEN_INFO info{};
    // A token not yet initialized holds no key (SoftHSM2 keeps such a free
    // slot); it cannot even open a session.
    if (module->C_GetTokenInfo(slot, &info) != CKR_OK || (info.flags & CKF_TOKEN_INITIALIZED) == 0) {
      continue;
    }
    ++result->tokensSeen;
    if (!ref.kit->uriMatchTokenInfo(ref.uri, &info) || !SlotMatches(ref, slot)) continue;
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

// Keys found before in this run, by URI and class: a batch asks for the same
// key once an image, and each search costs a token more than the operation.
// Forgotten when the sessions close.
constexpr std::size_t kMaxFoundKeys = 16;
constexpr std::size_t kMaxCachedUri = 1024;
struct FoundKey {
  char uri[kMaxCachedUri];
  CK_OBJECT_CLASS keyClass;
  OpenToken* token;
  CK_OBJECT_HANDLE key;
};
FoundKey gFoundKeys[kMaxFoundKeys];
std::size_t gFoundKeyCount = 0;

const FoundKey* FoundBefore(const TokenRef& ref, CK_OBJECT_CLASS keyClass) {
  for (std::size_t i = 0; ref.text != nullptr && i < gFoundKeyCount; ++i) {
    const FoundKey& found = gFoundKeys[i];
    if (found.keyClass == keyClass && found.token->inUse && std::strcmp(found.uri, ref.text) == 0) return &found;
  }
  return nullptr;
}

void RememberFound(const TokenRef& ref, CK_OBJECT_CLASS keyClass, OpenToken* token, CK_OBJECT_HANDLE key) {
  if (ref.text == nullptr || std::strlen(ref.text) >= kMaxCachedUri || gFoundKeyCount == kMaxFoundKeys) return;
  FoundKey& found = gFoundKeys[gFoundKeyCount++];
  std::memcpy(found.uri, ref.text, std::strlen(ref.text) + 1);
  found.keyClass = keyClass;
  found.token = token;
  found.key = key;
}

}  // namespace

// A URI may carry its PIN (pin-value): the remembered texts are wiped.
void ForgetFoundKeys() {
  mbedtls_platform_zeroize(gFoundKeys, sizeof gFoundKeys);
  gFoundKeyCount = 0;
}

OpenToken* FindKey(const TokenRef& ref, CK_OBJECT_CLASS keyClass, CK_OBJECT_HANDLE* key) {
  bool none = false;
  OpenToken* token = FindKeyOrNone(ref, keyClass, key, &none);
  if (none) PrintFailure("no object matches", ref);
  return token;
}

OpenToken* FindKeyOrNone(const TokenRef& ref, CK_OBJECT_CLASS keyClass, CK_OBJECT_HANDLE* key,
                         bool* none) {
  *none = false;
  if (const FoundKey* found = FoundBefore(ref, keyClass); found != nullptr) {
    *key = found->key;
    return found->token;
  }
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
  if (result.tokensSeen == 0 && moduleCount == 1 && NamesItsModule(ref)) {
    PrintModuleHasNoToken(ref, modules[0]);
  } else if (result.tokens == 0 && !NamesItsModule(ref)) {
    // The usual cause: the token's module is not among p11-kit's configured ones.
    PrintFailure("no token matches in the configured PKCS#11 modules (p11-kit list-modules names them): name "
                 "the token's module with module-path=",
                 ref);
  } else if (result.tokens == 0) {
    PrintFailure("no token matches", ref);
  } else if (result.found == 0) {
    *none = true;
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
    RememberFound(ref, keyClass, result.token, result.key);
    return result.token;
  }
  return nullptr;
}

bool KeyTypeIs(const OpenToken& token, CK_OBJECT_HANDLE key, CK_KEY_TYPE wanted) {
  CK_ULONG type = 0;
  return ReadUlong(token, key, CKA_KEY_TYPE, &type) && type == wanted;
}

namespace {

// Whether the token answers for the key at all: a token that is gone (a
// signing host lost, a device removed) is said to be, not taken for a key
// of the wrong kind.
bool TokenAnswersFor(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key) {
  CK_ULONG type = 0;
  CK_ATTRIBUTE attribute{CKA_KEY_TYPE, &type, sizeof type};
  const CK_RV rv = token.module->C_GetAttributeValue(token.session, key, &attribute, 1);
  if (rv == CKR_OK || rv == CKR_ATTRIBUTE_TYPE_INVALID || rv == CKR_ATTRIBUTE_SENSITIVE) return true;
  PrintTokenError("to tell the key's type", rv, ref);
  return false;
}

}  // namespace

bool IsAes128Key(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key) {
  if (!TokenAnswersFor(ref, token, key)) return false;
  CK_ULONG length = 0;
  const bool aes = KeyTypeIs(token, key, CKK_AES);
  const bool stated = aes && ReadUlong(token, key, CKA_VALUE_LEN, &length) &&
                      length != CK_UNAVAILABLE_INFORMATION;
  if (stated && length == kAes128KeyBytes) return true;
  if (aes && !stated) {
    // An AES-256 key would encrypt as readily and give an image that does
    // not boot: a key whose length cannot be told is not used.
    PrintFailure("the token does not state the AES key's length (CKA_VALUE_LEN): it cannot be "
                 "told to be a 16-byte key",
                 ref);
  } else {
    PrintFailure("the key is not a 16-byte AES key", ref);
  }
  return false;
}

bool ReadRsa1024Modulus(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key,
                        std::uint8_t (&modulus)[kRsaBlockSize]) {
  if (!TokenAnswersFor(ref, token, key)) return false;
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

bool TokenOffers(const OpenToken& token, CK_MECHANISM_TYPE mechanism, CK_FLAGS use) {
  CK_MECHANISM_INFO info{};
  return token.module->C_GetMechanismInfo(token.slot, mechanism, &info) == CKR_OK &&
         (info.flags & use) == use;
}

bool MechanismOffered(const TokenRef& ref, const OpenToken& token, CK_MECHANISM_TYPE mechanism,
                      CK_FLAGS use, const char* name) {
  if (TokenOffers(token, mechanism, use)) return true;
  char text[128];
  std::snprintf(text, sizeof text, "the token does not offer %s", name);
  PrintFailure(text, ref);
  return false;
}

OpenToken* OpenKey(const char* uri, CK_OBJECT_CLASS keyClass, TokenRef* ref, CK_OBJECT_HANDLE* key) {
  if (!ParseRef(uri, ref)) return nullptr;
  return FindKey(*ref, keyClass, key);
}

bool FindMatchingPublicKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE privateKey,
                           CK_OBJECT_HANDLE* publicKey) {
  if (!TokenAnswersFor(ref, token, privateKey)) return false;
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

}  // namespace sealtool
