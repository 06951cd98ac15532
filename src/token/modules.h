// The PKCS#11 modules a run uses: the one at a URI's module-path, the one
// configured module its module-name names, or, with neither, every module
// p11-kit's configuration lists. Each is loaded and initialized once, only
// when a key needs it, and finalized by FinalizeModules.
#pragma once

#include <cstddef>

#include "token/token_ref.h"

namespace sealtool {

inline constexpr std::size_t kMaxCandidateModules = 32;

// The modules ref may name, initialized. Returns how many, or -1 after
// saying why (a module that cannot be loaded, is not configured or fails to
// initialize).
int CandidateModules(const TokenRef& ref, CK_FUNCTION_LIST* (&modules)[kMaxCandidateModules]);

// Whether ref names its module (module-path or module-name) rather than
// leaving it to the configuration.
bool NamesItsModule(const TokenRef& ref);

// Says that the module ref names reports no token; for the remote client
// module, what to check on the signing host's side.
void PrintModuleHasNoToken(const TokenRef& ref, CK_FUNCTION_LIST* module);

// The file module was loaded from (module-path, or p11-kit's configuration),
// into text.
void ModuleFileOf(const TokenRef& ref, CK_FUNCTION_LIST* module, char* text, std::size_t size);

// Finalizes and releases every module the run loaded.
void FinalizeModules(const P11KitLibrary& kit);

// Whether any module is loaded, so that closing needs p11-kit.
bool AnyModuleLoaded();

}  // namespace sealtool
