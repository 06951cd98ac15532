#include "token_setup.h"

#include "test_keys.h"

namespace sealtool::test {

std::string ByteList(const AesKey& key) {
  std::string text;
  for (const std::uint8_t byte : key) text += Format("0x%02x ", byte);
  return text + "\n";
}

TokenSetup::TokenSetup() {
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteText(dir.File("body.txt"), "#body\n" + HexKey(kBodyKey, "") + "\n");
  WriteText(dir.File("seal.txt"), ByteList(kSealKey));
  token.ImportRsaKeyPair(TestRsaKey(1), "rsa", "\x01");
  token.ImportAesKey(kBodyKey.data(), kBodyKey.size(), "aes", "\x02");
  token.ImportAesKey(kSealKey.data(), kSealKey.size(), "seal", "\x03");
}

ProcessResult TokenSetup::Run(const std::vector<std::string>& args,
                              std::vector<std::string> environment) const {
  ProcessOptions options;
  options.environment = token.Environment();
  options.environment.insert(options.environment.end(), environment.begin(), environment.end());
  return RunSealtool(dir, args, options);
}

std::string Faulty(const std::string& attributes) {
  return "pkcs11:token=" + std::string(kTokenLabel) + ";" + attributes +
         "?module-path=" + FAULTY_PKCS11;
}

}  // namespace sealtool::test
