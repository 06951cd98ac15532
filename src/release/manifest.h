// A release manifest: the images of one release, each with its input,
// output, chip, secure_boot and keys, as JSON. Parsing checks everything
// that can be told from the text alone, so that a typo in the last image is
// refused before any file, key or token is touched.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "image/run_mode.h"

namespace sealtool {

// One image of a release. Keys are references as the options take them
// (a file path or a pkcs11: URI); empty when the image's mode does not read
// that key, or, with allowBuiltInKeys, when it was left out.
struct ReleaseImage {
  std::string name;
  std::string input;
  std::string output;
  std::int32_t chip = 0;
  std::int32_t secureBoot = 0;
  RunMode mode = RunMode::kPlain;
  std::string rsaKey;
  std::string rsaPub;
  std::string aesKey;
  std::string sealKey;
};

struct Manifest {
  std::vector<ReleaseImage> images;
  bool allowBuiltInKeys = false;
  std::string keyring;      // "keyring": the keyring every key must be in, or ""
  bool production = false;  // "release": "production": no development key
};

// The most a manifest may hold, in bytes: a few MiB is thousands of images.
inline constexpr std::size_t kMaxManifestBytes = 4u << 20;

// How the RSA images of the batch are signed: in the run, or elsewhere
// (their block written now, their signature supplied later). Signed
// elsewhere, an image's rsa_key is not read.
enum class BatchSigning { kInRun, kElsewhere };

// Parses the manifest text; false with *problem saying what is wrong and
// where ("images[3].chip: an integer is needed").
bool ParseManifest(const std::string& text, BatchSigning signing, Manifest* manifest,
                   std::string* problem);

}  // namespace sealtool
