#include "token/session.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "token/modules.h"
#include "token/objects.h"
#include "token/pkcs11_token.h"
#include "token/token_pin.h"

namespace sealtool {
namespace {

constexpr std::size_t kMaxOpenTokens = 8;
constexpr std::size_t kMaxSlots = 1024;

OpenToken gTokens[kMaxOpenTokens];
CK_SLOT_ID gSlots[kMaxSlots];

// A PIN that cannot be right is not sent: each wrong try counts toward a
// locked PIN.
bool PinIsSendable(const char* pin, std::size_t length, const TokenRef& ref) {
  if (length == 0) {
    PrintFailure("the PIN is empty: it is not sent to the token", ref);
    return false;
  }
  if (std::strlen(pin) != length) {
    PrintFailure("the PIN holds a NUL byte: it is not sent to the token", ref);
    return false;
  }
  return true;
}

// A PIN that no person types at this moment (a file, the environment, the
// URI) is not tried on a token with one try left or a locked PIN: a stale
// PIN in a build loop must not lock the token.
bool TokenAcceptsUnattendedLogin(const OpenToken& token, const TokenRef& ref) {
  CK_TOKEN_INFO info{};
  const CK_FLAGS flags =
      token.module->C_GetTokenInfo(token.slot, &info) == CKR_OK ? info.flags : token.info.flags;
  if ((flags & CKF_USER_PIN_LOCKED) != 0) {
    PrintFailure("the PIN is locked (CKF_USER_PIN_LOCKED): unlock it with the security officer's PIN", ref);
    return false;
  }
  if ((flags & CKF_USER_PIN_FINAL_TRY) != 0) {
    PrintFailure("one PIN try is left (CKF_USER_PIN_FINAL_TRY): sealtool does not spend it on a PIN "
                 "it was not typed; log in once by hand to reset the count", ref);
    return false;
  }
  return true;
}

CK_RV LogInWithPin(const TokenRef& ref, OpenToken* token, bool* refused) {
  PinBuffer pin{};
  char label[sizeof token->info.label + 1];
  TokenLabel(token->info, label);
  bool prompted = false;
  std::size_t length = 0;
  CK_RV rv = CKR_OK;
  if (!ObtainTokenPin(*ref.kit, ref.uri, label, pin.text, &length, &prompted)) {
    Say("  ! key: %s\n\n", ref.display.text);
    *refused = true;
  } else if (!PinIsSendable(pin.text, length, ref) ||
             (!prompted && !TokenAcceptsUnattendedLogin(*token, ref))) {
    *refused = true;
  } else {
    rv = token->module->C_Login(token->session, CKU_USER, reinterpret_cast<CK_UTF8CHAR*>(pin.text),
                                static_cast<CK_ULONG>(length));
  }
  WipePin(&pin);
  return rv;
}

bool LogIn(const TokenRef& ref, OpenToken* token) {
  if ((token->info.flags & CKF_LOGIN_REQUIRED) == 0) return true;
  CK_RV rv = CKR_OK;
  if ((token->info.flags & CKF_PROTECTED_AUTHENTICATION_PATH) != 0) {
    rv = token->module->C_Login(token->session, CKU_USER, nullptr, 0);
  } else {
    bool refused = false;
    rv = LogInWithPin(ref, token, &refused);
    if (refused) return false;
  }
  if (rv == CKR_OK || rv == CKR_USER_ALREADY_LOGGED_IN) {
    token->loggedIn = rv == CKR_OK;
    return true;
  }
  if (rv == CKR_PIN_INCORRECT) {
    PrintFailure("the PIN is wrong (CKR_PIN_INCORRECT)", ref);
  } else if (rv == CKR_PIN_LOCKED) {
    PrintFailure("the PIN is locked (CKR_PIN_LOCKED): unlock it with the security officer's PIN", ref);
  } else {
    PrintTokenError("the login", rv, ref);
  }
  return false;
}

OpenToken* FindOpenToken(CK_FUNCTION_LIST* module, CK_SLOT_ID slot) {
  for (OpenToken& token : gTokens) {
    if (token.inUse && token.module == module && token.slot == slot) return &token;
  }
  return nullptr;
}

}  // namespace

bool ListSlots(const TokenRef& ref, CK_FUNCTION_LIST* module, const CK_SLOT_ID** slots,
               CK_ULONG* count) {
  CK_RV rv = module->C_GetSlotList(CK_TRUE, nullptr, count);
  if (rv == CKR_OK && *count > kMaxSlots) {
    SayFailed("  ! the module reports %lu slots; at most %zu are searched\n  ! key: %s\n\n",
                static_cast<unsigned long>(*count), kMaxSlots, ref.display.text);
    return false;
  }
  if (rv == CKR_OK) rv = module->C_GetSlotList(CK_TRUE, gSlots, count);
  if (rv != CKR_OK) {
    PrintTokenError("to list its slots", rv, ref);
    return false;
  }
  *slots = gSlots;
  return true;
}

OpenToken* OpenTokenAt(const TokenRef& ref, CK_FUNCTION_LIST* module, CK_SLOT_ID slot,
                       const CK_TOKEN_INFO& info) {
  if (OpenToken* open = FindOpenToken(module, slot); open != nullptr) {
    if (!open->loginFailed) return open;
    PrintFailure("the login to this token failed earlier in this run: it is not tried again", ref);
    return nullptr;
  }
  OpenToken* token = nullptr;
  for (OpenToken& candidate : gTokens) {
    if (!candidate.inUse) token = &candidate;
  }
  if (token == nullptr) {
    PrintFailure("a run can use keys of eight tokens at most", ref);
    return nullptr;
  }
  *token = OpenToken{module, slot, 0, 0, info, true, false, false, false, false, {}};
  CK_RV rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                                   &token->session);
  if (rv == CKR_TOKEN_WRITE_PROTECTED) {
    rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &token->session);
  }
  if (rv != CKR_OK) {
    token->inUse = false;
    PrintTokenError("to open a session", rv, ref);
    return nullptr;
  }
  if (LogIn(ref, token)) return token;
  token->loginFailed = true;  // the session stays open until the run closes its tokens
  return nullptr;
}

void TokenLabel(const CK_TOKEN_INFO& info, char (&label)[sizeof info.label + 1]) {
  std::memcpy(label, info.label, sizeof info.label);
  label[sizeof info.label] = '\0';
  for (std::size_t end = sizeof info.label; end > 0 && label[end - 1] == ' '; --end) {
    label[end - 1] = '\0';
  }
}

void CloseTokens() {
  ForgetFoundKeys();
  const P11KitLibrary* kit = nullptr;
  for (OpenToken& token : gTokens) {
    if (!token.inUse) continue;
    kit = LoadP11Kit();  // loaded already, as a token is open
    if (token.loggedIn) token.module->C_Logout(token.session);
    token.module->C_CloseSession(token.session);
    token = OpenToken{};
  }
  if (kit == nullptr && AnyModuleLoaded()) kit = LoadP11Kit();
  if (kit != nullptr) FinalizeModules(*kit);
}

}  // namespace sealtool
