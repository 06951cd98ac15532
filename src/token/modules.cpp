#include "token/modules.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "platform/file_facts.h"

namespace sealtool {
namespace {

constexpr std::size_t kMaxModules = 4;
constexpr char kRemoteClientModule[] = "p11-kit-client.so";
constexpr char kServerAddressVariable[] = "P11_KIT_SERVER_ADDRESS";

// A module the run loaded by its path: loaded and initialized once, however
// many keys or tokens of it the run uses and by whichever path it is named.
struct LoadedModule {
  CK_FUNCTION_LIST* module;
  FileId file;  // which file it was loaded from
  bool mustFinalize;  // false when another loader of this process initialized it
};

// p11-kit's configured modules, loaded (not initialized) at most once a
// run; each is initialized only when a key may be in it.
struct ConfiguredModules {
  CK_FUNCTION_LIST** modules;
  bool initialized[kMaxCandidateModules];
  bool mustFinalize[kMaxCandidateModules];
  bool failed[kMaxCandidateModules];
};

LoadedModule gModules[kMaxModules];
ConfiguredModules gConfigured;

bool IsRemoteClient(const char* fileName) {
  const char* base = std::strrchr(fileName, '/');
  return std::strcmp(base != nullptr ? base + 1 : fileName, kRemoteClientModule) == 0;
}

// What to check when the remote client module shows nothing: it starts
// without its server and then simply reports no slot.
void PrintRemoteHint(const char* fileName) {
  if (!IsRemoteClient(fileName)) return;
  const char* address = std::getenv(kServerAddressVariable);
  if (address != nullptr) {
    Say("  ! is the signing host reachable? %s=%s\n", kServerAddressVariable, address);
  } else {
    Say("  ! is the signing host reachable? %s is not set\n", kServerAddressVariable);
  }
}

void PrintInitializeFailure(const TokenRef& ref, const char* module, const char* fileName, CK_RV rv) {
  SayFailed("  ! the PKCS#11 module %s fails to initialize: %s (0x%lx)\n", module,
              ref.kit->strerror(rv), static_cast<unsigned long>(rv));
  PrintRemoteHint(fileName);
  Say("  ! key: %s\n\n", ref.display.text);
}

// The module at path, loaded and initialized on first use. A module that
// this process already initialized (through p11-kit's configuration) is used
// as it is, and left for its first loader to finalize.
CK_FUNCTION_LIST* ModuleAtPath(const TokenRef& ref, const char* path) {
  const FileId id = IdOfFile(path);
  const bool known = id.found;
  for (const LoadedModule& loaded : gModules) {
    if (known && loaded.module != nullptr && SameFileId(loaded.file, id)) {
      return loaded.module;
    }
  }
  LoadedModule* slot = nullptr;
  for (LoadedModule& loaded : gModules) {
    if (loaded.module == nullptr) slot = &loaded;
  }
  CK_FUNCTION_LIST* module =
      (known && slot != nullptr) ? ref.kit->moduleLoad(path, P11_KIT_MODULE_UNMANAGED) : nullptr;
  if (module == nullptr) {
    SayFailed("  ! cannot load the PKCS#11 module %s\n  ! key: %s\n\n", path,
                ref.display.text);
    return nullptr;
  }
  const CK_RV rv = ref.kit->moduleInitialize(module);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    ref.kit->moduleRelease(module);
    PrintInitializeFailure(ref, path, path, rv);
    return nullptr;
  }
  *slot = LoadedModule{module, id, rv == CKR_OK};
  return module;
}

bool LoadConfiguredModules(const TokenRef& ref) {
  if (gConfigured.modules == nullptr) gConfigured.modules = ref.kit->modulesLoad(nullptr, 0);
  if (gConfigured.modules == nullptr || *gConfigured.modules == nullptr) {
    SayFailed("  ! no PKCS#11 module is configured; name one with module-path\n"
                "  ! key: %s\n\n", ref.display.text);
    return false;
  }
  return true;
}

// The file a configured module was loaded from, into text.
void ModuleFileName(const TokenRef& ref, CK_FUNCTION_LIST* module, char* text, std::size_t size) {
  char* fileName = ref.kit->moduleGetFilename(module);
  std::snprintf(text, size, "%s", fileName != nullptr ? fileName : "");
  std::free(fileName);
}

// Initializes the configured module at index once; false when it failed,
// now or before.
bool InitializeConfigured(const TokenRef& ref, std::size_t index, CK_RV* failure) {
  if (gConfigured.initialized[index]) return true;
  if (gConfigured.failed[index]) return false;
  const CK_RV rv = ref.kit->moduleInitialize(gConfigured.modules[index]);
  if (rv != CKR_OK && rv != CKR_CRYPTOKI_ALREADY_INITIALIZED) {
    gConfigured.failed[index] = true;
    *failure = rv;
    return false;
  }
  gConfigured.initialized[index] = true;
  gConfigured.mustFinalize[index] = rv == CKR_OK;
  return true;
}

// The one configured module named name: only it is initialized, so that
// the others (a remote one that connects, a TPM one that complains) cost
// this run nothing.
int NamedConfiguredModule(const TokenRef& ref, const char* name,
                          CK_FUNCTION_LIST* (&modules)[kMaxCandidateModules]) {
  if (!LoadConfiguredModules(ref)) return -1;
  for (std::size_t i = 0; i < kMaxCandidateModules && gConfigured.modules[i] != nullptr; ++i) {
    if (!NameMatches(ref, gConfigured.modules[i])) continue;
    CK_RV rv = CKR_OK;
    if (!InitializeConfigured(ref, i, &rv)) {
      char fileName[256];
      ModuleFileName(ref, gConfigured.modules[i], fileName, sizeof fileName);
      PrintInitializeFailure(ref, name, fileName, rv == CKR_OK ? CKR_GENERAL_ERROR : rv);
      return -1;
    }
    modules[0] = gConfigured.modules[i];
    return 1;
  }
  SayFailed("  ! no configured PKCS#11 module is named %s (module-name)\n"
              "  ! key: %s\n\n", name, ref.display.text);
  return -1;
}

// Every configured module that initializes, as p11-kit's own loader would
// give them: one that fails is left out.
int AllConfiguredModules(const TokenRef& ref, CK_FUNCTION_LIST* (&modules)[kMaxCandidateModules]) {
  if (!LoadConfiguredModules(ref)) return -1;
  int count = 0;
  for (std::size_t i = 0; i < kMaxCandidateModules && gConfigured.modules[i] != nullptr; ++i) {
    CK_RV rv = CKR_OK;
    if (InitializeConfigured(ref, i, &rv)) modules[count++] = gConfigured.modules[i];
  }
  return count;
}

}  // namespace

int CandidateModules(const TokenRef& ref, CK_FUNCTION_LIST* (&modules)[kMaxCandidateModules]) {
  const char* path = ModulePathOf(ref);
  if (*path != '\0') {
    modules[0] = ModuleAtPath(ref, path);
    return modules[0] != nullptr ? 1 : -1;
  }
  if (ref.kit->modulesLoad == nullptr) {
    SayFailed("  ! this system has no list of configured PKCS#11 modules (p11-kit):\n"
              "  ! name the module's file with module-path\n"
              "  ! key: %s\n\n", ref.display.text);
    return -1;
  }
  if (const char* name = ref.kit->uriGetModuleName(ref.uri); name != nullptr) {
    return NamedConfiguredModule(ref, name, modules);
  }
  return AllConfiguredModules(ref, modules);
}

bool NamesItsModule(const TokenRef& ref) {
  return *ModulePathOf(ref) != '\0' || ref.kit->uriGetModuleName(ref.uri) != nullptr;
}

void ModuleFileOf(const TokenRef& ref, CK_FUNCTION_LIST* module, char* text, std::size_t size) {
  const char* path = ModulePathOf(ref);
  if (*path != '\0') {
    std::snprintf(text, size, "%s", path);
  } else {
    ModuleFileName(ref, module, text, size);
  }
}

void PrintModuleHasNoToken(const TokenRef& ref, CK_FUNCTION_LIST* module) {
  char fileName[256];
  ModuleFileOf(ref, module, fileName, sizeof fileName);
  SayFailed("  ! the PKCS#11 module %s reports no token\n", fileName);
  PrintRemoteHint(fileName);
  Say("  ! key: %s\n\n", ref.display.text);
}

void FinalizeModules(const P11KitLibrary& kit) {
  for (LoadedModule& loaded : gModules) {
    if (loaded.module == nullptr) continue;
    if (loaded.mustFinalize) kit.moduleFinalize(loaded.module);
    kit.moduleRelease(loaded.module);
    loaded = LoadedModule{};
  }
  if (gConfigured.modules == nullptr) return;
  for (std::size_t i = 0; i < kMaxCandidateModules && gConfigured.modules[i] != nullptr; ++i) {
    if (gConfigured.mustFinalize[i]) kit.moduleFinalize(gConfigured.modules[i]);
  }
  kit.modulesRelease(gConfigured.modules);
  gConfigured = ConfiguredModules{};
}

bool AnyModuleLoaded() {
  bool any = gConfigured.modules != nullptr;
  for (const LoadedModule& loaded : gModules) any = any || loaded.module != nullptr;
  return any;
}

}  // namespace sealtool
