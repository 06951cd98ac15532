// A PKCS#11 module that forwards to a real one and fails on purpose, for the
// failures a real token shows rarely. SEALTOOL_FAULTY_TARGET names the real
// module; SEALTOOL_FAULT what goes wrong:
//   login-locked     C_Login answers CKR_PIN_LOCKED
//   no-raw-rsa       the token does not offer CKM_RSA_X_509
//   encrypt-removed  the token is removed during C_Encrypt
//   sign-error       C_Sign fails with CKR_DEVICE_ERROR
//   pin-final-try    the token reports CKF_USER_PIN_FINAL_TRY
//   pin-locked-flag  the token reports CKF_USER_PIN_LOCKED
//   many-slots       C_GetSlotList reports 70 empty slots before the real ones
//   no-aes-cbc       the token does not offer CKM_AES_CBC (as through a remote
//                    protocol that cannot carry its IV), only CKM_AES_ECB
//   no-aes           the token offers neither CKM_AES_CBC nor CKM_AES_ECB
//   no-value-len     the token does not tell a key's CKA_VALUE_LEN
//   init-fails       C_Initialize fails with CKR_DEVICE_ERROR
//   no-slots         the module reports no slot at all
//   slow-login       C_Login takes a second (logged as it starts)
//   lost-after-sign  once one C_Sign has answered, the token is gone: every
//                    later attribute read, encryption and signature fails
//                    with CKR_DEVICE_REMOVED (a signing host lost mid-batch)
// SEALTOOL_FAULT may name several, separated by commas.
// With SEALTOOL_FAULT_LOG set, it appends the name of each session call
// (C_Initialize, C_OpenSession, C_Login, C_Logout, C_CloseSession,
// C_Finalize) to that file, one a line; with SEALTOOL_FAULT_LOG_MODULE set
// too, each line also names the file the module was loaded from, so that
// two copies of it can be told apart.
// Built as a Windows DLL too, to be loaded by its path under wine.
#ifdef _WIN32
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif
#include <p11-kit/pkcs11.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

CK_FUNCTION_LIST gForward;
CK_FUNCTION_LIST gFaulty;
bool gLost = false;  // lost-after-sign: the token is gone

// The base name of the file this module was loaded from.
const char* OwnFileName() {
#ifdef _WIN32
  static char path[MAX_PATH];
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                          reinterpret_cast<LPCSTR>(&OwnFileName), &self) ||
      GetModuleFileNameA(self, path, sizeof path) == 0) {
    return "?";
  }
  const char* name = path;
#else
  Dl_info info{};
  if (dladdr(reinterpret_cast<void*>(&OwnFileName), &info) == 0 || info.dli_fname == nullptr) return "?";
  const char* name = info.dli_fname;
#endif
  const char* slash = std::strrchr(name, '/');
  return slash != nullptr ? slash + 1 : name;
}

void Log(const char* call) {
  const char* path = std::getenv("SEALTOOL_FAULT_LOG");
  if (path == nullptr) return;
  std::FILE* log = std::fopen(path, "a");
  if (log == nullptr) return;
  if (std::getenv("SEALTOOL_FAULT_LOG_MODULE") != nullptr) {
    std::fprintf(log, "%s %s\n", call, OwnFileName());
  } else {
    std::fprintf(log, "%s\n", call);
  }
  std::fclose(log);
}

void WaitASecond() {
#ifdef _WIN32
  Sleep(1000);
#else
  sleep(1);
#endif
}

// The real module's C_GetFunctionList, or null.
CK_C_GetFunctionList RealGetFunctionList(const char* path) {
#ifdef _WIN32
  void* symbol = reinterpret_cast<void*>(GetProcAddress(LoadLibraryA(path), "C_GetFunctionList"));
#else
  void* handle = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  void* symbol = handle != nullptr ? dlsym(handle, "C_GetFunctionList") : nullptr;
#endif
  CK_C_GetFunctionList getList = nullptr;
  std::memcpy(&getList, &symbol, sizeof symbol);
  return getList;
}

bool FaultIs(const char* name) {
  const char* fault = std::getenv("SEALTOOL_FAULT");
  if (fault == nullptr) return false;
  const std::size_t length = std::strlen(name);
  for (const char* at = fault; *at != '\0';) {
    const char* end = std::strchr(at, ',');
    const std::size_t size = end != nullptr ? static_cast<std::size_t>(end - at) : std::strlen(at);
    if (size == length && std::strncmp(at, name, length) == 0) return true;
    if (end == nullptr) break;
    at = end + 1;
  }
  return false;
}

CK_RV Initialize(CK_VOID_PTR arguments) {
  Log("C_Initialize");
  if (FaultIs("init-fails")) return CKR_DEVICE_ERROR;
  return gForward.C_Initialize(arguments);
}

CK_RV Finalize(CK_VOID_PTR reserved) {
  Log("C_Finalize");
  return gForward.C_Finalize(reserved);
}

CK_RV OpenSession(CK_SLOT_ID slot, CK_FLAGS flags, CK_VOID_PTR application, CK_NOTIFY notify,
                  CK_SESSION_HANDLE_PTR session) {
  Log("C_OpenSession");
  return gForward.C_OpenSession(slot, flags, application, notify, session);
}

CK_RV CloseSession(CK_SESSION_HANDLE session) {
  Log("C_CloseSession");
  return gForward.C_CloseSession(session);
}

CK_RV Logout(CK_SESSION_HANDLE session) {
  Log("C_Logout");
  return gForward.C_Logout(session);
}

CK_RV Login(CK_SESSION_HANDLE session, CK_USER_TYPE user, CK_UTF8CHAR_PTR pin, CK_ULONG length) {
  Log("C_Login");
  if (FaultIs("login-locked")) return CKR_PIN_LOCKED;
  if (FaultIs("slow-login")) WaitASecond();
  return gForward.C_Login(session, user, pin, length);
}

CK_RV GetTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  const CK_RV rv = gForward.C_GetTokenInfo(slot, info);
  if (rv == CKR_OK && FaultIs("pin-final-try")) info->flags |= CKF_USER_PIN_FINAL_TRY;
  if (rv == CKR_OK && FaultIs("pin-locked-flag")) info->flags |= CKF_USER_PIN_LOCKED;
  return rv;
}

// Slots numbered from kExtraSlotBase hold no token of the real module: the
// token search must look past them.
constexpr CK_ULONG kExtraSlots = 70;
constexpr CK_SLOT_ID kExtraSlotBase = 0x7000000;

CK_RV GetSlotList(CK_BBOOL present, CK_SLOT_ID_PTR list, CK_ULONG_PTR count) {
  if (FaultIs("no-slots")) {
    *count = 0;
    return CKR_OK;
  }
  if (!FaultIs("many-slots")) return gForward.C_GetSlotList(present, list, count);
  CK_ULONG real = 0;
  CK_RV rv = gForward.C_GetSlotList(present, nullptr, &real);
  if (rv != CKR_OK) return rv;
  if (list == nullptr) {
    *count = real + kExtraSlots;
    return CKR_OK;
  }
  if (*count < real + kExtraSlots) {
    *count = real + kExtraSlots;
    return CKR_BUFFER_TOO_SMALL;
  }
  for (CK_ULONG i = 0; i < kExtraSlots; ++i) list[i] = kExtraSlotBase + i;
  *count = real;
  rv = gForward.C_GetSlotList(present, list + kExtraSlots, count);
  *count += kExtraSlots;
  return rv;
}

CK_RV GetExtraSlotTokenInfo(CK_SLOT_ID slot, CK_TOKEN_INFO_PTR info) {
  if (slot >= kExtraSlotBase && slot < kExtraSlotBase + kExtraSlots) {
    *info = CK_TOKEN_INFO{};
    std::memset(info->label, ' ', sizeof info->label);
    std::memcpy(info->label, "empty", 5);
    return CKR_OK;
  }
  return GetTokenInfo(slot, info);
}

bool HidesMechanism(CK_MECHANISM_TYPE type) {
  return ((FaultIs("no-aes-cbc") || FaultIs("no-aes")) && type == CKM_AES_CBC) ||
         (FaultIs("no-aes") && type == CKM_AES_ECB);
}

CK_RV GetMechanismInfo(CK_SLOT_ID slot, CK_MECHANISM_TYPE type, CK_MECHANISM_INFO_PTR info) {
  if (FaultIs("no-raw-rsa") && type == CKM_RSA_X_509) return CKR_MECHANISM_INVALID;
  if (HidesMechanism(type)) return CKR_MECHANISM_INVALID;
  return gForward.C_GetMechanismInfo(slot, type, info);
}

CK_RV EncryptInit(CK_SESSION_HANDLE session, CK_MECHANISM_PTR mechanism, CK_OBJECT_HANDLE key) {
  if (gLost) return CKR_DEVICE_REMOVED;
  if (mechanism != nullptr && HidesMechanism(mechanism->mechanism)) return CKR_MECHANISM_INVALID;
  return gForward.C_EncryptInit(session, mechanism, key);
}

CK_RV EncryptUpdate(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
                    CK_ULONG_PTR outLength) {
  if (FaultIs("encrypt-removed")) return CKR_DEVICE_REMOVED;
  return gForward.C_EncryptUpdate(session, data, length, out, outLength);
}

CK_RV GetAttributeValue(CK_SESSION_HANDLE session, CK_OBJECT_HANDLE object, CK_ATTRIBUTE_PTR attributes,
                        CK_ULONG count) {
  if (gLost) return CKR_DEVICE_REMOVED;
  CK_RV rv = gForward.C_GetAttributeValue(session, object, attributes, count);
  if (!FaultIs("no-value-len")) return rv;
  for (CK_ULONG i = 0; i < count; ++i) {
    if (attributes[i].type == CKA_VALUE_LEN) {
      attributes[i].ulValueLen = CK_UNAVAILABLE_INFORMATION;
      rv = CKR_ATTRIBUTE_TYPE_INVALID;
    }
  }
  return rv;
}

CK_RV Encrypt(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
              CK_ULONG_PTR outLength) {
  if (FaultIs("encrypt-removed")) return CKR_DEVICE_REMOVED;
  return gForward.C_Encrypt(session, data, length, out, outLength);
}

CK_RV Sign(CK_SESSION_HANDLE session, CK_BYTE_PTR data, CK_ULONG length, CK_BYTE_PTR out,
           CK_ULONG_PTR outLength) {
  if (FaultIs("sign-error")) return CKR_DEVICE_ERROR;
  if (gLost) return CKR_DEVICE_REMOVED;
  const CK_RV rv = gForward.C_Sign(session, data, length, out, outLength);
  if (out != nullptr && FaultIs("lost-after-sign")) gLost = true;
  return rv;
}

}  // namespace

extern "C" CK_RV C_GetFunctionList(CK_FUNCTION_LIST_PTR_PTR list) {
  const char* target = std::getenv("SEALTOOL_FAULTY_TARGET");
  CK_C_GetFunctionList getList = target != nullptr ? RealGetFunctionList(target) : nullptr;
  CK_FUNCTION_LIST_PTR real = nullptr;
  if (getList == nullptr || getList(&real) != CKR_OK) return CKR_GENERAL_ERROR;
  gForward = *real;
  gFaulty = *real;
  gFaulty.C_Initialize = Initialize;
  gFaulty.C_Finalize = Finalize;
  gFaulty.C_OpenSession = OpenSession;
  gFaulty.C_CloseSession = CloseSession;
  gFaulty.C_Login = Login;
  gFaulty.C_Logout = Logout;
  gFaulty.C_GetMechanismInfo = GetMechanismInfo;
  gFaulty.C_Encrypt = Encrypt;
  gFaulty.C_EncryptInit = EncryptInit;
  gFaulty.C_EncryptUpdate = EncryptUpdate;
  gFaulty.C_GetAttributeValue = GetAttributeValue;
  gFaulty.C_Sign = Sign;
  gFaulty.C_GetTokenInfo = GetExtraSlotTokenInfo;
  gFaulty.C_GetSlotList = GetSlotList;
  *list = &gFaulty;
  return CKR_OK;
}
