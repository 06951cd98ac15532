// RFC 7512 "pkcs11:" URIs parsed here, as p11-kit parses them, for the
// systems where p11-kit does not exist (Windows). The functions have
// p11-kit's signatures so that they fill the same table, and the token code
// cannot tell the two apart.
#pragma once

#include "token/p11kit_library.h"

namespace sealtool {

P11KitUri* UriNew();
void UriFree(P11KitUri* uri);
// type is accepted for the signature's sake: every attribute is parsed.
int UriParse(const char* text, P11KitUriType type, P11KitUri* uri);
const char* UriMessage(int code);

const char* UriModulePath(const P11KitUri* uri);
const char* UriModuleName(const P11KitUri* uri);
const char* UriPinSource(const P11KitUri* uri);
const char* UriPinValue(const P11KitUri* uri);
CK_TOKEN_INFO* UriTokenInfo(P11KitUri* uri);
CK_INFO* UriModuleInfo(P11KitUri* uri);
CK_SLOT_ID UriSlotId(P11KitUri* uri);
CK_ATTRIBUTE_PTR UriAttributes(P11KitUri* uri, CK_ULONG* count);

// A text field the URI leaves out matches any; an attribute the parser did
// not know (or a value too long for its field) matches nothing.
int UriMatchesToken(const P11KitUri* uri, const CK_TOKEN_INFO* info);
int UriMatchesModule(const P11KitUri* uri, const CK_INFO* info);

// The text of a PKCS#11 return value, in p11-kit's words.
const char* TokenErrorText(CK_RV rv);

}  // namespace sealtool
