// Libraries loaded at run time (p11-kit, PKCS#11 modules): opened once,
// never unloaded, their functions looked up by name.
#pragma once

namespace sealtool {

// The library's handle, or null; *why then says why (valid until the next
// call).
void* OpenSharedLibrary(const char* name, const char** why);

// The address of the function name in the library, or null.
void* FindLibraryFunction(void* library, const char* name);

}  // namespace sealtool
