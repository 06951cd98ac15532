// The run's sessions: each module loaded and initialized once however it is
// named, one session per token, one login per token with a PIN that can be
// right, and all of it closed by CloseTokens (pkcs11_token.h).
#pragma once

#include <cstddef>
#include <cstdint>

#include "token/token_ref.h"

namespace sealtool {

// A token the run has opened: one session, logged in at most once.
struct OpenToken {
  CK_FUNCTION_LIST* module;
  CK_SLOT_ID slot;
  CK_SESSION_HANDLE session;
  // The signing key checked last (an RSA-1024 key) and its modulus: a batch
  // signs many blocks with one key, and each check is a call into the token
  // (SoftHSM2 reads its files again for each).
  CK_OBJECT_HANDLE signingKey;
  CK_TOKEN_INFO info;
  bool inUse;
  bool loggedIn;
  bool loginFailed;  // not tried again in this run: each wrong PIN counts toward a locked PIN
  bool signingKeyChecked;
  bool signsRawRsa;  // the token offers CKM_RSA_X_509 for signing (asked once)
  std::uint8_t signingModulus[128];
};

// The slots of module that hold a token, asked for by count first; *slots
// stays valid until the next call.
bool ListSlots(const TokenRef& ref, CK_FUNCTION_LIST* module, const CK_SLOT_ID** slots,
               CK_ULONG* count);

// The run's session on the token in slot of module: opened and logged in on
// first use. Null after saying why.
OpenToken* OpenTokenAt(const TokenRef& ref, CK_FUNCTION_LIST* module, CK_SLOT_ID slot,
                       const CK_TOKEN_INFO& info);

// The token's label without its blank padding.
void TokenLabel(const CK_TOKEN_INFO& info, char (&label)[sizeof info.label + 1]);

}  // namespace sealtool
