// A SoftHSM2 token of a test's own: its configuration and token folder live
// in a temporary folder, and keys are put into it through PKCS#11 itself.
#pragma once

#include <mbedtls/rsa.h>

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"

namespace sealtool::test {

inline constexpr char kTokenLabel[] = "sealtest";
inline constexpr char kTokenPin[] = "tk-pin-9x";

// True when SoftHSM2 is installed; a test that needs it skips otherwise.
bool HaveSoftHsm();
inline constexpr char kNeedsSoftHsm[] = "needs SoftHSM2 (Debian's softhsm2)";

class SoftHsmToken {
 public:
  // Makes and initialises the token in dir.
  explicit SoftHsmToken(const TempDir& dir);

  // SOFTHSM2_CONF=..., for the environment of the programs under test.
  std::string ConfigEnvironment() const { return "SOFTHSM2_CONF=" + config_; }
  // The environment of a run: the configuration and the PIN.
  std::vector<std::string> Environment() const;
  // A URI of an object of the token: module-path, token and the given
  // attributes ("object=rsa;type=private", "object=aes?pin-source=...").
  std::string Uri(const std::string& attributes) const;

  // Another token of the same module, with the same PINs.
  void AddToken(const std::string& tokenLabel) const;

  void ImportRsaKeyPair(const mbedtls_rsa_context& rsa, const std::string& label,
                        const std::string& id, bool withPublicKey = true);
  void ImportAesKey(const std::uint8_t* key, std::size_t size, const std::string& label,
                    const std::string& id, bool extractable = true,
                    const std::string& tokenLabel = kTokenLabel);

 private:
  std::string config_;
};

// The path of the SoftHSM2 module.
std::string SoftHsmModule();

}  // namespace sealtool::test
