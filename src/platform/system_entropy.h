// Random bytes from the operating system's own generator, the one source
// every random generator of these programs is seeded from.
#pragma once

#include <cstddef>

namespace sealtool {

// Fills bytes; false when the system gives none.
bool SystemEntropy(unsigned char* bytes, std::size_t size);

}  // namespace sealtool
