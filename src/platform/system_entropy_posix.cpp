#include "platform/system_entropy.h"

#include <sys/random.h>

#include <cerrno>

namespace sealtool {

bool SystemEntropy(unsigned char* bytes, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = getrandom(bytes + filled, size - filled, 0);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) return false;
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

}  // namespace sealtool
