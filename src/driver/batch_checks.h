// What a batch does before it seals anything: reading and checking what
// the manifest names, and taking its turn on the tokens it uses.
#pragma once

#include <string>

#include "release/manifest.h"

namespace sealtool {

// The manifest's text, at most a few MiB; false when it cannot be read.
bool ReadManifestText(const char* path, std::string* text);

// Every input read and checked (size, and the boot header or key record
// its mode starts from), every key file readable and every URI parsed, and
// no output that is an input: all before the first token operation. False
// after naming each image that fails.
bool EverythingIsThere(const Manifest& manifest);

// Advisory locks, one per token the batch uses, so that two batches on one
// HSM take their turns instead of interleaving logins. Held until the
// process ends.
void LockTokens(const Manifest& manifest);

// Enough descriptors for every staged output's folder.
void RaiseDescriptorLimit();

}  // namespace sealtool
