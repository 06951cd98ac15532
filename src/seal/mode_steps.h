// What each run mode does to an image, in order: one row of steps per mode.
// A mode is its row here and its row in image/run_mode.h (what it reads and
// writes); a new mode is those two rows and its step functions.
#pragma once

#include <cstdint>

#include "image/layout.h"
#include "image/run_mode.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"

namespace sealtool {

// The two digests a seal protects: of the whole image before its body is
// encrypted, and of the header area that the signature or seal covers; and
// for an RSA run the ids of the public key it stores or will store.
struct SealDigests {
  std::uint8_t image[32];
  std::uint8_t header[32];
  KeyIds keyIds;
  bool hasKeyIds;
};

// One image on its way through its mode's steps.
struct ModeRun {
  RunMode mode;
  std::uint8_t* image;  // the whole image, kImageSize bytes
  std::int32_t chip;
  ChipLayout layout;
  const RunKeys* keys;
  SealDigests* digests;  // filled as the steps go
};

// A step prints what it does and returns false after printing why it
// failed; the image must then not be written.
using ModeStep = bool (*)(ModeRun* run);

inline constexpr int kMaxModeSteps = 5;

struct ModeSteps {
  RunMode mode;
  ModeStep prepare[kMaxModeSteps];  // check the image, mark it and store its checksum
  ModeStep seal[kMaxModeSteps];     // seal it: none in plain and key-record mode
};

const ModeSteps& StepsOf(RunMode mode);

// Runs the steps of run's mode on its image, stopping at the first that
// fails.
bool RunModeSteps(ModeRun* run);

// Runs only the sealing steps, on an image whose checksum is stored.
bool RunSealSteps(ModeRun* run);

}  // namespace sealtool
