#include "platform/shared_library.h"

#include <windows.h>

#include <cstdio>

#include "platform/windows_paths.h"

namespace sealtool {

void* OpenSharedLibrary(const char* name, const char** why) {
  HMODULE module = LoadLibraryW(SystemPath(name).c_str());
  if (module == nullptr) {
    static char text[64];
    std::snprintf(text, sizeof text, "cannot load %s (error %lu)", name, GetLastError());
    *why = text;
  }
  return reinterpret_cast<void*>(module);
}

void* FindLibraryFunction(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

}  // namespace sealtool
