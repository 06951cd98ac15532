// Where p11-kit does not exist (Windows), the token code gets the same table
// of functions from this project: its own URI parser, and modules loaded
// by the file the URI names with module-path. There is no list of
// configured modules, so module-name and URIs without a module cannot be
// served (modulesLoad is null; the module code says so).
#include <cstring>

#include "platform/shared_library.h"
#include "token/p11kit_library.h"
#include "token/uri_parser.h"

namespace sealtool {
namespace {

// The module's function list, from its C_GetFunctionList. The library is
// never unloaded: a module may keep threads or handlers.
CK_FUNCTION_LIST* LoadModule(const char* path, int /*flags*/) {
  const char* why = "";
  void* library = OpenSharedLibrary(path, &why);
  if (library == nullptr) return nullptr;
  void* symbol = FindLibraryFunction(library, "C_GetFunctionList");
  if (symbol == nullptr) return nullptr;
  CK_C_GetFunctionList getFunctionList = nullptr;
  static_assert(sizeof symbol == sizeof getFunctionList, "function and data pointers differ in size");
  std::memcpy(&getFunctionList, &symbol, sizeof symbol);
  CK_FUNCTION_LIST* functions = nullptr;
  if (getFunctionList(&functions) != CKR_OK) return nullptr;
  return functions;
}

CK_RV InitializeModule(CK_FUNCTION_LIST* module) { return module->C_Initialize(nullptr); }
CK_RV FinalizeModule(CK_FUNCTION_LIST* module) { return module->C_Finalize(nullptr); }
void ReleaseModule(CK_FUNCTION_LIST* /*module*/) {}

constexpr P11KitLibrary kStandIn = {
    .uriNew = UriNew,
    .uriParse = UriParse,
    .uriFree = UriFree,
    .uriMessage = UriMessage,
    .uriGetModulePath = UriModulePath,
    .uriGetModuleName = UriModuleName,
    .uriGetPinSource = UriPinSource,
    .uriGetPinValue = UriPinValue,
    .uriGetTokenInfo = UriTokenInfo,
    .uriGetModuleInfo = UriModuleInfo,
    .uriMatchTokenInfo = UriMatchesToken,
    .uriMatchModuleInfo = UriMatchesModule,
    .uriGetSlotId = UriSlotId,
    .uriGetAttributes = UriAttributes,
    .moduleLoad = LoadModule,
    .moduleInitialize = InitializeModule,
    .moduleFinalize = FinalizeModule,
    .moduleRelease = ReleaseModule,
    .modulesLoad = nullptr,
    .modulesRelease = nullptr,
    .moduleGetName = nullptr,
    .moduleGetFilename = nullptr,
    .strerror = TokenErrorText,
};

}  // namespace

const P11KitLibrary* LoadP11Kit() { return &kStandIn; }

}  // namespace sealtool
