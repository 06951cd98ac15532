// The token set-up the token tests share: a folder with the example keys as
// files and the same keys in a SoftHSM2 token of the test's own.
#pragma once

#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "e2e_support.h"
#include "secure_expectation.h"
#include "softhsm_token.h"

namespace sealtool::test {

inline constexpr AesKey kBodyKey = {0x2b, 0x7e, 0x15, 0x16, 0x28, 0xae, 0xd2, 0xa6,
                                    0xab, 0xf7, 0x15, 0x88, 0x09, 0xcf, 0x4f, 0x3c};
inline constexpr AesKey kSealKey = {0x60, 0x3d, 0xeb, 0x10, 0x15, 0xca, 0x71, 0xbe,
                                    0x2b, 0x73, 0xae, 0xf0, 0x85, 0x7d, 0x77, 0x81};

// "0x2b 0x7e ..." as aes.txt may hold a key.
std::string ByteList(const AesKey& key);

// A folder with the example input, the keys as files and the same keys in
// a token: RSA key 1 ("rsa", id 01), the body key ("aes", id 02), the seal
// key ("seal", id 03).
struct TokenSetup {
  TempDir dir;
  SoftHsmToken token{dir};
  TokenSetup();
  ProcessResult Run(const std::vector<std::string>& args,
                    std::vector<std::string> environment = {}) const;
};

// One mode with its keys as files and the same keys in the token: token
// words that are not options are the attributes of a URI, which each test
// turns into one of its own kind.
struct Equivalence {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  std::vector<std::string> fileKeys;   // options naming the key files
  std::vector<std::string> tokenKeys;  // options naming the same keys in the token
};

inline void PrintTo(const Equivalence& c, std::ostream* os) { *os << c.name; }

// A URI of the test token through the fault-injecting module.
std::string Faulty(const std::string& attributes);

}  // namespace sealtool::test
