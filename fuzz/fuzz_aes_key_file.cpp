// The two readers of aes.txt on arbitrary file contents.
#include <cstdio>
#include <cstring>

#include "keys/aes_key_file.h"
#include "keys/aes_key_parse.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::FILE* stream = fmemopen(const_cast<std::uint8_t*>(data), size, "r");
  if (stream == nullptr) return 0;  // fmemopen refuses an empty buffer
  std::uint8_t key[sealtool::kKeyBufferSize];
  std::memset(key, 0xEE, sizeof key);
  if (sealtool::ParseKeyToken(stream, key) != 0) {
    for (std::size_t i = 0; i < sealtool::kAesKeySize; ++i) {
      if (key[i] != 0xEE) __builtin_trap();  // a refused token writes no key byte
    }
  }
  std::rewind(stream);
  std::memset(key, 0, sizeof key);
  sealtool::ParseKeyByteList(stream, key);
  for (std::size_t i = sealtool::kAesKeySize; i < sizeof key; ++i) {
    if (key[i] != 0) __builtin_trap();  // only the first 16 bytes are key
  }
  std::fclose(stream);
  return 0;
}
