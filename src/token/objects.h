// The objects of a token: the one key a URI names, searched for in every
// token it matches, and what the operations check of it before they use it.
#pragma once

#include <cstdint>

#include <mbedtls/bignum.h>

#include "image/layout.h"
#include "token/session.h"

namespace sealtool {

inline constexpr CK_ULONG kAes128KeyBytes = 16;

// Parses uri into ref and finds its one key of keyClass. Null after saying
// why; ref must be released by the caller either way.
OpenToken* OpenKey(const char* uri, CK_OBJECT_CLASS keyClass, TokenRef* ref, CK_OBJECT_HANDLE* key);

// The one key of keyClass that ref names, in every token it matches: a key
// in two tokens is as ambiguous as two keys in one. Null after saying why.
OpenToken* FindKey(const TokenRef& ref, CK_OBJECT_CLASS keyClass, CK_OBJECT_HANDLE* key);

// As FindKey, but when the tokens hold no such key it says nothing and sets
// *none, so that the caller can look for another class.
OpenToken* FindKeyOrNone(const TokenRef& ref, CK_OBJECT_CLASS keyClass, CK_OBJECT_HANDLE* key,
                         bool* none);

// Forgets the keys found in this run (CloseTokens does, as their sessions
// close).
void ForgetFoundKeys();

bool KeyTypeIs(const OpenToken& token, CK_OBJECT_HANDLE key, CK_KEY_TYPE wanted);

// True for a 16-byte AES key; false after saying otherwise.
bool IsAes128Key(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key);

// The modulus of an RSA-1024 key, big-endian; false after saying the key is
// another kind or size.
bool ReadRsa1024Modulus(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE key,
                        std::uint8_t (&modulus)[kRsaBlockSize]);

// Whether the token offers mechanism for use (CKF_ENCRYPT, CKF_SIGN, ...).
bool TokenOffers(const OpenToken& token, CK_MECHANISM_TYPE mechanism, CK_FLAGS use);

// Whether the token offers mechanism for use; false after naming it.
bool MechanismOffered(const TokenRef& ref, const OpenToken& token, CK_MECHANISM_TYPE mechanism,
                      CK_FLAGS use, const char* name);

// The public key that belongs to a private key: same CKA_ID, else same label.
bool FindMatchingPublicKey(const TokenRef& ref, const OpenToken& token, CK_OBJECT_HANDLE privateKey,
                           CK_OBJECT_HANDLE* publicKey);

// A big-number attribute (CKA_MODULUS, CKA_PUBLIC_EXPONENT).
bool ReadMpi(const OpenToken& token, CK_OBJECT_HANDLE key, CK_ATTRIBUTE_TYPE type, mbedtls_mpi* value);

}  // namespace sealtool
