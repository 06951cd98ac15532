// What a release's manifest intends, as the release gate holds a record
// against it: each image's mode, chip, public key and key references.
#pragma once

#include <string>
#include <vector>

#include "release/manifest.h"
#include "release/release_record.h"

namespace sealtool::inspect {

// One image of the manifest, with the key id its RSA image must carry and
// its key files made absolute (as the batch resolves them).
struct IntendedImage {
  ReleaseImage image;
  bool hasKeyId = false;
  std::string keyId;
};

// What the manifest says of the release's keys as a whole: its keyring
// (absolute, or "") and whether it is a production release.
struct IntendedKeys {
  std::string keyring;
  bool production = false;
};

// Reads the manifest at path; false after saying why on standard error.
bool LoadIntent(const char* path, std::vector<IntendedImage>* intent, IntendedKeys* keys);

const IntendedImage* FindIntended(const std::vector<IntendedImage>& intent, const std::string& name);

// The first AES key the record names for image that is not the manifest's
// (another file, another token key, a built-in key where the manifest names
// one); "" when every one is. recordFolder resolves the record's key files.
std::string KeyNotIntended(const RecordedImage& recorded, const IntendedImage& intended,
                           const std::string& recordFolder);

}  // namespace sealtool::inspect
