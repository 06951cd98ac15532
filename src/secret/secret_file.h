// Secret lines (a PIN, a passphrase) read from a file through the bounded
// reader, which platform/secret_input.h gives with the terminal prompt.
#pragma once

#include <cstddef>

#include "platform/secret_input.h"

namespace sealtool {

// The first line of the secret file at path (a PIN or passphrase file),
// without its line end, into line (size bytes, NUL-terminated; the caller
// wipes it); *length gets its length.
SecretRead ReadSecretLine(const char* path, char* line, std::size_t size, std::size_t* length);

}  // namespace sealtool
