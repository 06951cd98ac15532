// sealinfo --record: a release checked against its record. The record is a
// claim that lies beside the images; the gate brings its own anchors (the
// manifest, a key, a mode), and an image passes only when its bytes match
// the record, pass sealinfo's checks, and agree with every anchor given.
#pragma once

#include <cstdint>

#include "inspect.h"
#include "keyring_names.h"

namespace sealtool::inspect {

// What the gate knows of the release without the record.
struct GateAnchors {
  const std::uint8_t* expectedKeyId = nullptr;  // --expect-key: every RSA image carries it
  bool modeGiven = false;                       // --mode: every image is of it
  RunMode mode = RunMode::kPlain;
  bool chipGiven = false;                       // --chip: every image is for it
  std::int32_t chip = 0;
  const char* manifestPath = nullptr;           // --manifest: the release's intent
  bool keyDirGiven = false;                     // --keys: aes.txt there stands in for token keys
  KeyringGate keyring;                          // --keyring, else the manifest's keyring and release kind
};

// Checks the image files given (count of them; each matched to the record
// by its SHA-256 or its name), or every recorded output when count is 0.
// base gives the key folder and --assume-zero. Returns the exit status: 0
// every image matches, passes and agrees with the anchors; 1 one does not,
// or the record holds no image; 2 the record, the manifest or a file
// cannot be read; 3 no image fails but one could not be fully verified, or
// no anchor settles its mode.
int CheckAgainstRecord(const char* recordPath, char* const* images, int count, const InspectOptions& base,
                       const GateAnchors& anchors);

}  // namespace sealtool::inspect
