// p11-kit, loaded only when a run names a key in a token: linking it would
// load it, and the libraries it needs, into every run, where it would cost
// more than a whole plain run.
#pragma once

#include <p11-kit/p11-kit.h>
#include <p11-kit/uri.h>

namespace sealtool {

// The p11-kit functions the token code calls. Where p11-kit does not exist,
// the table is this project's own (p11kit_standin.cpp), without the list of
// configured modules: modulesLoad and the three after it are null.
struct P11KitLibrary {
  P11KitUri* (*uriNew)();
  int (*uriParse)(const char* text, P11KitUriType type, P11KitUri* uri);
  void (*uriFree)(P11KitUri* uri);
  const char* (*uriMessage)(int code);
  const char* (*uriGetModulePath)(const P11KitUri* uri);
  const char* (*uriGetModuleName)(const P11KitUri* uri);
  const char* (*uriGetPinSource)(const P11KitUri* uri);
  const char* (*uriGetPinValue)(const P11KitUri* uri);
  CK_TOKEN_INFO* (*uriGetTokenInfo)(P11KitUri* uri);
  CK_INFO* (*uriGetModuleInfo)(P11KitUri* uri);
  int (*uriMatchTokenInfo)(const P11KitUri* uri, const CK_TOKEN_INFO* info);
  int (*uriMatchModuleInfo)(const P11KitUri* uri, const CK_INFO* info);
  CK_SLOT_ID (*uriGetSlotId)(P11KitUri* uri);
  CK_ATTRIBUTE_PTR (*uriGetAttributes)(P11KitUri* uri, CK_ULONG* count);
  CK_FUNCTION_LIST* (*moduleLoad)(const char* path, int flags);
  CK_RV (*moduleInitialize)(CK_FUNCTION_LIST* module);
  CK_RV (*moduleFinalize)(CK_FUNCTION_LIST* module);
  void (*moduleRelease)(CK_FUNCTION_LIST* module);
  CK_FUNCTION_LIST** (*modulesLoad)(const char* reserved, int flags);
  void (*modulesRelease)(CK_FUNCTION_LIST** modules);
  char* (*moduleGetName)(CK_FUNCTION_LIST* module);
  char* (*moduleGetFilename)(CK_FUNCTION_LIST* module);
  const char* (*strerror)(CK_RV rv);
};

// The library, loaded on first use; nullptr (after printing why) when it
// cannot be loaded.
const P11KitLibrary* LoadP11Kit();

}  // namespace sealtool
