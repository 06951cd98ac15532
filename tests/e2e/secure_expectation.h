// What a secure-mode or key-record run must print and write, worked out here
// with mbedtls's own SHA-256, AES and big-number functions.
#pragma once

#include <mbedtls/rsa.h>

#include <array>
#include <optional>
#include <string>

#include "e2e_support.h"

namespace sealtool::test {

using AesKey = std::array<std::uint8_t, 16>;

struct KeySetup {
  std::optional<std::string> aesText;  // aes.txt contents; nullopt: absent
  AesKey bodyKey{};                    // the key the token reader must find
  AesKey sealKey{};                    // the key the byte-list reader must find
};

// aes.txt absent: the chip's default key for both.
KeySetup DefaultKeys(std::int32_t chip);
// aes.txt in the token form holding key: the seal key is 16 zero bytes.
KeySetup TokenKeys(const AesKey& key);

struct Expectation {
  Bytes image;
  std::string out;
  std::array<std::uint8_t, 32> headerDigest{};
};

// chip and secureBoot select the mode as the tool does; rsa is needed for
// RSA mode. The text covers the whole run, banner to "All OK.".
Expectation ExpectSecureRun(std::int32_t chip, std::int32_t secureBoot, const Bytes& input,
                            const KeySetup& keys, const mbedtls_rsa_context* rsa);

Expectation ExpectKeyRecordRun(std::int32_t chip, const Bytes& input, const KeySetup& keys);

std::string HexKey(const AesKey& key, const char* separator);

// An ordinary RSA key (N's top byte at most 0xF0) and an example image for
// chip 742 whose header digest ends in a byte above N's top byte, so that RSA
// mode refuses it; with the exact message that refusal must print.
struct RefusedRsaCase {
  Bytes input;
  std::string privText;
  std::string pubText;
  std::string message;
};
const RefusedRsaCase& RefusedRsaImage();

}  // namespace sealtool::test
