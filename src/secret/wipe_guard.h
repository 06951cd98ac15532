// Wipes a named buffer when its scope ends, on every path out of it: early
// returns included, so that no secret outlives the step that used it.
#pragma once

#include <cstddef>

#include <mbedtls/platform_util.h>

namespace sealtool {

struct WipeOnExit {
  void* bytes;
  std::size_t size;

  WipeOnExit(void* buffer, std::size_t length) : bytes(buffer), size(length) {}
  ~WipeOnExit() { mbedtls_platform_zeroize(bytes, size); }
  WipeOnExit(const WipeOnExit&) = delete;
  WipeOnExit& operator=(const WipeOnExit&) = delete;
};

}  // namespace sealtool
