// What a token says about one key, gathered for a release engineer setting
// up a signing host: the module, token and key found, the key's attributes,
// the mechanisms the seal modes need, and a trial of each operation exactly
// as a run would do it. Gathering is quiet but for the key lookup, which
// fails as a run would.
#pragma once

#include <cstddef>

#include "token/token_ciphers.h"

namespace sealtool {

enum class Answer { kYes, kNo, kUnknown };
enum class TokenKeyKind { kRsaPrivate, kAesSecret, kOther };

// A trial operation: not tried (why in text), done, or failed (why in text).
enum class Trial { kNotTried, kDone, kFailed };
struct TrialResult {
  Trial outcome;
  char text[128];
};

// Which token it is, as its token info names it.
struct TokenIdentity {
  char label[33];
  char manufacturer[33];
  char model[17];
  char serial[17];
};

struct TokenKeyFacts {
  char moduleFile[256];
  char moduleDescription[33];
  TokenIdentity token;
  TokenKeyKind kind;
  std::size_t bits;  // modulus or key bits; 0 when the token does not state it
  Answer sign, encrypt, wrap, sensitive, extractable;
  bool offersAesCbcEncrypt, offersAesEcbEncrypt, offersAesEcbWrap, offersAesCbcWrap;
  bool offersRawRsaSign;
  TrialResult signature;   // RSA: a random block signed and verified under the public key
  TrialResult encryption;  // AES: one block, by the route a run takes
  TrialResult wrapping;    // AES: the key wrapped under a random session key
  AesCbcRoute route;
};

// The key uri names: a private key, else a secret key, unless type= says
// which. False after saying why (no token, no key, no login).
bool CheckTokenKey(const char* uri, TokenKeyFacts* facts);

// The token that holds the key uri names (found as CheckTokenKey finds it,
// a public key too), for a release record.
bool IdentifyKeyToken(const char* uri, TokenIdentity* identity);

}  // namespace sealtool
