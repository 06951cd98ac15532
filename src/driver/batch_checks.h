// What a batch does before it seals anything: reading and checking what
// the manifest names, and taking its turn on the tokens it uses.
#pragma once

#include <string>

#include "driver/command_line.h"
#include "release/manifest.h"

namespace sealtool {

// The command line of a single run that seals image; its texts point into
// image.
CommandLine CommandLineOf(const ReleaseImage& image);

// The manifest's text, at most a few MiB; false when it cannot be read.
bool ReadManifestText(const char* path, std::string* text);

// The files of a batch besides the manifest's images, all absolute (or
// empty when the run has none).
struct BatchFiles {
  std::string manifest;
  std::string record;
  std::string signLaterDir;  // blocks and request.json are written here
  std::string signatureDir;  // signatures are read from here
  bool outputsRead = false;  // a check of the release: outputs are read, not written
};

// Every input read and checked (size, and the boot header or key record
// its mode starts from), every key file readable and every URI parsed, and
// nothing written over a file the batch reads or writes under another name:
// all before the first token operation. False after naming each image that
// fails.
bool EverythingIsThere(const Manifest& manifest, const BatchFiles& files);

// Advisory locks, one per token the batch uses, so that two batches of a
// user on one HSM take their turns instead of interleaving logins. Held
// until the process ends. They live in a folder only the user can write;
// false after saying why when no such lock can be taken.
bool LockTokens(const Manifest& manifest);

// Enough descriptors for every staged output's folder.
void RaiseDescriptorLimit();

}  // namespace sealtool
