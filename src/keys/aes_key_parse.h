// Inside the AES key file module: the two parsers of an open key stream,
// shared by the readers of aes_key_file.cpp, their tests and the fuzzer.
// Everything else uses aes_key_file.h.
#pragma once

#include <cstdint>
#include <cstdio>

namespace sealtool {

// The token form: skips '#' comment tokens and converts the key token into
// key bytes 0 to 15, quietly; each pair of characters converts on its own
// like strtol with base 16, so a pair without hex digits gives 0. Returns 0,
// or -1 when the key candidate is not exactly 32 characters long or the
// stream failed (key left as it was). allHexDigits, when not null, tells
// whether all 32 characters were hex digits.
int ParseKeyToken(std::FILE* stream, std::uint8_t* key, bool* allHexDigits = nullptr);

// The byte-list form: up to sixteen "0x.." values into key bytes 0 to 15; a
// value that does not match leaves its byte as it was. Returns how many
// values matched.
int ParseKeyByteList(std::FILE* stream, std::uint8_t* key);

}  // namespace sealtool
