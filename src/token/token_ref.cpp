#include "token/token_ref.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"

namespace sealtool {
namespace {

// Every part a URI may name: parsed as an object on a token of a module
// only, a URI naming its slot-id or library-version would match no token.
constexpr P11KitUriType kUriParts = P11_KIT_URI_FOR_ANY;

// RFC 7512 names each attribute at most once; p11-kit would quietly take
// one of two, so that the key used may not be the key meant.
bool NoAttributeRepeats(const char* text, const TokenRef& ref) {
  char name[64];
  if (!UriRepeatedAttribute(text, name, sizeof name)) return true;
  SayFailed("  ! the URI names %s twice: RFC 7512 allows each attribute once\n"
              "  ! key: %s\n\n", name, ref.display.text);
  return false;
}

}  // namespace


void PrintFailure(const char* what, const TokenRef& ref) {
  SayFailed("  ! %s\n  ! key: %s\n\n", what, ref.display.text);
}

void PrintTokenError(const char* operation, CK_RV rv, const TokenRef& ref) {
  SayFailed("  ! the token failed %s: %s (0x%lx)\n  ! key: %s\n\n", operation,
              ref.kit->strerror(rv), static_cast<unsigned long>(rv), ref.display.text);
}

bool ParseRef(const char* text, TokenRef* ref) {
  ref->display = UriForDisplay(text);
  ref->text = text;
  ref->uri = nullptr;
  ref->kit = nullptr;
  if (!NoAttributeRepeats(text, *ref)) return false;
  if (!UriSlotIdIsNumber(text)) {
    SayFailed("  ! the URI's slot-id is not a slot number (decimal digits)\n  ! key: %s\n\n", ref->display.text);
    return false;
  }
  ref->kit = LoadP11Kit();
  if (ref->kit == nullptr) return false;
  ref->uri = ref->kit->uriNew();
  const int parsed = ref->uri == nullptr
                         ? P11_KIT_URI_UNEXPECTED
                         : ref->kit->uriParse(text, kUriParts,
                                              ref->uri);
  if (parsed != P11_KIT_URI_OK) {
    SayFailed("  ! not a PKCS#11 URI (RFC 7512): %s\n  ! key: %s\n\n",
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

const char* PinFileOf(const TokenRef& ref) {
  const char* source = ref.kit->uriGetPinSource(ref.uri);
  if (source == nullptr) return "";
  return std::strncmp(source, "file:", 5) == 0 ? source + 5 : source;
}

std::string TokenNameOf(const TokenRef& ref) {
  const CK_TOKEN_INFO* token = ref.kit->uriGetTokenInfo(ref.uri);
  const CK_INFO* module = ref.kit->uriGetModuleInfo(ref.uri);
  std::string name;
  const auto add = [&name](const void* bytes, std::size_t size) {
    name.append(static_cast<const char*>(bytes), size);
    name.push_back('\0');
  };
  add(token->label, sizeof token->label);
  add(token->manufacturerID, sizeof token->manufacturerID);
  add(token->model, sizeof token->model);
  add(token->serialNumber, sizeof token->serialNumber);
  add(module->manufacturerID, sizeof module->manufacturerID);
  add(module->libraryDescription, sizeof module->libraryDescription);
  add(&module->libraryVersion, sizeof module->libraryVersion);
  const CK_SLOT_ID slot = ref.kit->uriGetSlotId(ref.uri);
  add(&slot, sizeof slot);
  const char* path = ModulePathOf(ref);
  add(path, std::strlen(path));
  const char* moduleName = ref.kit->uriGetModuleName(ref.uri);
  if (moduleName != nullptr) add(moduleName, std::strlen(moduleName));
  return name;
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

}  // namespace sealtool
