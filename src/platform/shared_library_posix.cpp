#include "platform/shared_library.h"

#include <dlfcn.h>

namespace sealtool {

void* OpenSharedLibrary(const char* name, const char** why) {
  void* handle = dlopen(name, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) *why = dlerror();
  return handle;
}

void* FindLibraryFunction(void* library, const char* name) { return dlsym(library, name); }

}  // namespace sealtool
