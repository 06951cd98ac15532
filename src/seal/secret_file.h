// Key files are read through a stream whose buffer is ours, so that the key
// text the stream buffered can be wiped once the file is closed.
#pragma once

#include <cstdio>

namespace sealtool {

struct SecretFile {
  std::FILE* stream;
  char buffer[BUFSIZ];
};

// Opens name in the working directory; false when it cannot be opened.
bool OpenSecretFile(SecretFile* file, const char* name, const char* mode);

// Closes the stream and wipes what it buffered.
void CloseSecretFile(SecretFile* file);

}  // namespace sealtool
