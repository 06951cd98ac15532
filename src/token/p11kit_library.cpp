#include "token/p11kit_library.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "platform/shared_library.h"

namespace sealtool {
namespace {

constexpr char kLibraryName[] = "libp11-kit.so.0";

P11KitLibrary gLibrary;
bool gLoaded = false;

// Looks name up into *slot, whatever its function type.
template <typename Function>
bool Bind(void* handle, const char* name, Function* slot) {
  void* symbol = FindLibraryFunction(handle, name);
  if (symbol == nullptr) {
    SayFailed("  ! %s has no %s\n\n", kLibraryName, name);
    return false;
  }
  static_assert(sizeof symbol == sizeof *slot, "function and data pointers differ in size");
  std::memcpy(slot, &symbol, sizeof symbol);
  return true;
}

bool BindAll(void* handle, P11KitLibrary* kit) {
  return Bind(handle, "p11_kit_uri_new", &kit->uriNew) &&
         Bind(handle, "p11_kit_uri_parse", &kit->uriParse) &&
         Bind(handle, "p11_kit_uri_free", &kit->uriFree) &&
         Bind(handle, "p11_kit_uri_message", &kit->uriMessage) &&
         Bind(handle, "p11_kit_uri_get_module_path", &kit->uriGetModulePath) &&
         Bind(handle, "p11_kit_uri_get_module_name", &kit->uriGetModuleName) &&
         Bind(handle, "p11_kit_uri_get_pin_source", &kit->uriGetPinSource) &&
         Bind(handle, "p11_kit_uri_get_pin_value", &kit->uriGetPinValue) &&
         Bind(handle, "p11_kit_uri_get_token_info", &kit->uriGetTokenInfo) &&
         Bind(handle, "p11_kit_uri_get_module_info", &kit->uriGetModuleInfo) &&
         Bind(handle, "p11_kit_uri_match_token_info", &kit->uriMatchTokenInfo) &&
         Bind(handle, "p11_kit_uri_match_module_info", &kit->uriMatchModuleInfo) &&
         Bind(handle, "p11_kit_uri_get_slot_id", &kit->uriGetSlotId) &&
         Bind(handle, "p11_kit_uri_get_attributes", &kit->uriGetAttributes) &&
         Bind(handle, "p11_kit_module_load", &kit->moduleLoad) &&
         Bind(handle, "p11_kit_module_initialize", &kit->moduleInitialize) &&
         Bind(handle, "p11_kit_module_finalize", &kit->moduleFinalize) &&
         Bind(handle, "p11_kit_module_release", &kit->moduleRelease) &&
         Bind(handle, "p11_kit_modules_load", &kit->modulesLoad) &&
         Bind(handle, "p11_kit_modules_release", &kit->modulesRelease) &&
         Bind(handle, "p11_kit_module_get_name", &kit->moduleGetName) &&
         Bind(handle, "p11_kit_module_get_filename", &kit->moduleGetFilename) &&
         Bind(handle, "p11_kit_strerror", &kit->strerror);
}

}  // namespace

const P11KitLibrary* LoadP11Kit() {
  if (gLoaded) return &gLibrary;
  // Never unloaded: the modules it loads may keep threads or handlers.
  const char* why = "";
  void* handle = OpenSharedLibrary(kLibraryName, &why);
  if (handle == nullptr) {
    SayFailed("  ! keys in a token need p11-kit: %s\n\n", why);
    return nullptr;
  }
  if (!BindAll(handle, &gLibrary)) return nullptr;
  gLoaded = true;
  return &gLibrary;
}

}  // namespace sealtool
