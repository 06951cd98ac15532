#include "platform/system_entropy.h"

#include <windows.h>
#include <bcrypt.h>

#include <climits>

namespace sealtool {

bool SystemEntropy(unsigned char* bytes, std::size_t size) {
  while (size > 0) {
    const ULONG chunk = size > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(size);
    if (BCryptGenRandom(nullptr, bytes, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG) != 0) return false;
    bytes += chunk;
    size -= chunk;
  }
  return true;
}

}  // namespace sealtool
