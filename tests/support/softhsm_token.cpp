#include "softhsm_token.h"

#include <p11-kit/p11-kit.h>
#include <stdlib.h>

#include <filesystem>
#include <cstring>
#include <stdexcept>

#include "process.h"

namespace sealtool::test {
namespace {

constexpr char kSoPin[] = "5678";

std::vector<std::uint8_t> MpiBytes(const mbedtls_mpi& value) {
  std::vector<std::uint8_t> bytes(mbedtls_mpi_size(&value));
  if (mbedtls_mpi_write_binary(&value, bytes.data(), bytes.size()) != 0) {
    throw std::runtime_error("mpi");
  }
  return bytes;
}

CK_ATTRIBUTE OfBytes(CK_ATTRIBUTE_TYPE type, std::vector<std::uint8_t>& bytes) {
  return CK_ATTRIBUTE{type, bytes.data(), static_cast<CK_ULONG>(bytes.size())};
}

template <typename Value>
CK_ATTRIBUTE Of(CK_ATTRIBUTE_TYPE type, Value* value) {
  return CK_ATTRIBUTE{type, value, sizeof *value};
}

// A logged-in session on the test token, for putting objects into it.
class Session {
 public:
  explicit Session(const std::string& config, const std::string& tokenLabel = kTokenLabel) {
    setenv("SOFTHSM2_CONF", config.c_str(), 1);
    module_ = p11_kit_module_load(SoftHsmModule().c_str(), P11_KIT_MODULE_UNMANAGED);
    if (module_ == nullptr || p11_kit_module_initialize(module_) != CKR_OK) {
      throw std::runtime_error("cannot load SoftHSM2");
    }
    CK_SLOT_ID slots[16];
    CK_ULONG count = 16;
    module_->C_GetSlotList(CK_TRUE, slots, &count);
    for (CK_ULONG i = 0; i < count; ++i) {
      CK_TOKEN_INFO info{};
      module_->C_GetTokenInfo(slots[i], &info);
      std::string label(reinterpret_cast<char*>(info.label), sizeof info.label);
      label.erase(label.find_last_not_of(' ') + 1);
      if (label == tokenLabel) {
        module_->C_OpenSession(slots[i], CKF_SERIAL_SESSION | CKF_RW_SESSION, nullptr, nullptr,
                               &session_);
        module_->C_Login(session_, CKU_USER,
                         reinterpret_cast<CK_UTF8CHAR*>(const_cast<char*>(kTokenPin)),
                         std::strlen(kTokenPin));
        return;
      }
    }
    throw std::runtime_error("no test token");
  }
  ~Session() {
    module_->C_Logout(session_);
    module_->C_CloseSession(session_);
    p11_kit_module_finalize(module_);
    p11_kit_module_release(module_);
  }
  void Create(std::vector<CK_ATTRIBUTE> attributes) {
    CK_OBJECT_HANDLE object = 0;
    const CK_RV rv = module_->C_CreateObject(session_, attributes.data(),
                                              static_cast<CK_ULONG>(attributes.size()), &object);
    if (rv != CKR_OK) throw std::runtime_error("C_CreateObject: " + std::to_string(rv));
  }

 private:
  CK_FUNCTION_LIST* module_ = nullptr;
  CK_SESSION_HANDLE session_ = 0;
};

}  // namespace

std::string SoftHsmModule() { return SOFTHSM2_MODULE; }

bool HaveSoftHsm() { return FileExists(SoftHsmModule()) && FileExists("/usr/bin/softhsm2-util"); }

SoftHsmToken::SoftHsmToken(const TempDir& dir) : config_(dir.File("softhsm2.conf")) {
  const std::string tokens = dir.File("tokens");
  WriteText(config_, "directories.tokendir = " + tokens +
                         "\nobjectstore.backend = file\nlog.level = ERROR\n"
                         "slots.removable = false\nslots.mechanisms = ALL\n");
  std::filesystem::create_directory(tokens);
  AddToken(kTokenLabel);
}

void SoftHsmToken::AddToken(const std::string& tokenLabel) const {
  ProcessOptions options;
  options.environment = {ConfigEnvironment()};
  const ProcessResult made = RunProgram(
      "/usr/bin/softhsm2-util",
      {"--init-token", "--free", "--label", tokenLabel, "--pin", kTokenPin, "--so-pin", kSoPin}, options);
  if (made.exitStatus != 0) throw std::runtime_error("softhsm2-util: " + made.out + made.err);
}

std::vector<std::string> SoftHsmToken::Environment() const {
  return {ConfigEnvironment(), std::string("SEALTOOL_PIN=") + kTokenPin};
}

std::string SoftHsmToken::Uri(const std::string& attributes) const {
  const char* join = attributes.find('?') == std::string::npos ? "?" : "&";
  return "pkcs11:token=" + std::string(kTokenLabel) + ";" + attributes + join +
         "module-path=" + SoftHsmModule();
}

void SoftHsmToken::ImportRsaKeyPair(const mbedtls_rsa_context& rsa, const std::string& label,
                                    const std::string& id, bool withPublicKey) {
  Session session(config_);
  CK_OBJECT_CLASS privateClass = CKO_PRIVATE_KEY;
  CK_OBJECT_CLASS publicClass = CKO_PUBLIC_KEY;
  CK_KEY_TYPE rsaType = CKK_RSA;
  CK_BBOOL yes = CK_TRUE;
  std::string labelText = label;
  std::string idText = id;
  auto n = MpiBytes(rsa.N), e = MpiBytes(rsa.E), d = MpiBytes(rsa.D), p = MpiBytes(rsa.P),
       q = MpiBytes(rsa.Q), dp = MpiBytes(rsa.DP), dq = MpiBytes(rsa.DQ), qp = MpiBytes(rsa.QP);
  const CK_ATTRIBUTE labelAttribute{CKA_LABEL, labelText.data(), static_cast<CK_ULONG>(labelText.size())};
  const CK_ATTRIBUTE idAttribute{CKA_ID, idText.data(), static_cast<CK_ULONG>(idText.size())};
  session.Create({Of(CKA_CLASS, &privateClass), Of(CKA_KEY_TYPE, &rsaType), Of(CKA_TOKEN, &yes),
                  Of(CKA_PRIVATE, &yes), Of(CKA_SENSITIVE, &yes), Of(CKA_SIGN, &yes),
                  labelAttribute, idAttribute, OfBytes(CKA_MODULUS, n),
                  OfBytes(CKA_PUBLIC_EXPONENT, e), OfBytes(CKA_PRIVATE_EXPONENT, d),
                  OfBytes(CKA_PRIME_1, p), OfBytes(CKA_PRIME_2, q), OfBytes(CKA_EXPONENT_1, dp),
                  OfBytes(CKA_EXPONENT_2, dq), OfBytes(CKA_COEFFICIENT, qp)});
  if (withPublicKey) {
    session.Create({Of(CKA_CLASS, &publicClass), Of(CKA_KEY_TYPE, &rsaType), Of(CKA_TOKEN, &yes),
                    Of(CKA_VERIFY, &yes), labelAttribute, idAttribute, OfBytes(CKA_MODULUS, n),
                    OfBytes(CKA_PUBLIC_EXPONENT, e)});
  }
}

void SoftHsmToken::ImportAesKey(const std::uint8_t* key, std::size_t size, const std::string& label,
                                const std::string& id, bool extractable,
                                const std::string& tokenLabel) {
  Session session(config_, tokenLabel);
  CK_OBJECT_CLASS secretClass = CKO_SECRET_KEY;
  CK_KEY_TYPE aesType = CKK_AES;
  CK_BBOOL yes = CK_TRUE;
  CK_BBOOL canExtract = extractable ? CK_TRUE : CK_FALSE;
  std::string labelText = label;
  std::string idText = id;
  std::vector<std::uint8_t> value(key, key + size);
  session.Create({Of(CKA_CLASS, &secretClass), Of(CKA_KEY_TYPE, &aesType), Of(CKA_TOKEN, &yes),
                  Of(CKA_PRIVATE, &yes), Of(CKA_SENSITIVE, &yes), Of(CKA_ENCRYPT, &yes),
                  Of(CKA_EXTRACTABLE, &canExtract),
                  CK_ATTRIBUTE{CKA_LABEL, labelText.data(), static_cast<CK_ULONG>(labelText.size())},
                  CK_ATTRIBUTE{CKA_ID, idText.data(), static_cast<CK_ULONG>(idText.size())},
                  OfBytes(CKA_VALUE, value)});
}

}  // namespace sealtool::test
