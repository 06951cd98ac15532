#include "seal/mode_steps.h"

#include <cstdio>

#include "console/console.h"
#include "image/checksum.h"
#include "image/dram_table.h"
#include "image/header_info.h"
#include "seal/key_record.h"
#include "seal/rsa_signature.h"
#include "seal/seal_image.h"

namespace sealtool {
namespace {

// Header check, DRAM walk and the information display of plain and secure
// runs; the count goes into the DRAM count field afterwards, so the version
// line shows the field as the input held it.
bool CheckAndDescribeImage(ModeRun* run) {
  std::uint8_t* image = run->image;
  const ChipLayout& layout = run->layout;
  if (CheckBootCode(image + layout.bootHeader) != 0) {
    SayRefused("Not valid boot code!, chip = %d\n", run->chip);
    return false;
  }
  const int dramCount = CountDramParams(image + layout.dramTable, kImageSize - layout.dramTable, run->chip);
  Say("\nconfig ram count 0x%x\n", static_cast<unsigned>(dramCount));
  Say("\n==Display binary file info== Begin!!!\n");
  ShowVersionNumber(image + layout.bootHeader);
  Say("==Display binary file info== End\n\n");
  Say("total_bin_size after padding:%d, Dram param number:%d\n\n", static_cast<int>(kImageSize),
              dramCount);
  StoreDramParamNumber(image + layout.dramCountField, static_cast<std::uint16_t>(dramCount));
  return true;
}

// Key-record mode works only on an image whose key record says so.
bool CheckKeyRecord(ModeRun* run) {
  const std::uint8_t* keyRecord = run->image + kKeyRecordOffset;
  if (CheckWrKeyCode(keyRecord) != 0) {
    SayRefused("Not valid wr key code!\n");
    return false;
  }
  ShowSecureProgramKey(keyRecord);
  return true;
}

bool WriteMarker(ModeRun* run) {
  WriteMarkerAndClearChecksum(run->image, run->layout);
  return true;
}

bool ClearRegionsOfChip(ModeRun* run) {
  if (ChipClearsSealRegions(run->chip)) ClearSealRegions(run->image, run->mode);
  return true;
}

bool StoreChecksum(ModeRun* run) {
  StoreImageChecksum(run->image, run->layout);
  return true;
}

constexpr ModeSteps kModeSteps[] = {
    {RunMode::kPlain, {CheckAndDescribeImage, WriteMarker, StoreChecksum}, {}},
    {RunMode::kKeyRecord, {CheckKeyRecord, WrapUserKeyInto, WriteMarker, StoreChecksum}, {}},
    {RunMode::kRsa,
     {CheckAndDescribeImage, WriteMarker, ClearRegionsOfChip, StoreChecksum},
     {StoreImageDigest, EncryptBody, DigestHeader, SignHeaderDigest}},
    {RunMode::kAesSeal,
     {CheckAndDescribeImage, WriteMarker, ClearRegionsOfChip, StoreChecksum},
     {StoreImageDigest, EncryptBody, DigestHeader, SealHeaderDigest}},
};

bool RunSteps(const ModeStep (&steps)[kMaxModeSteps], ModeRun* run) {
  for (const ModeStep step : steps) {
    if (step == nullptr) break;
    if (!step(run)) return false;
  }
  return true;
}

}  // namespace

const ModeSteps& StepsOf(RunMode mode) {
  for (const ModeSteps& steps : kModeSteps) {
    if (steps.mode == mode) return steps;
  }
  return kModeSteps[0];
}

bool RunModeSteps(ModeRun* run) { return RunSteps(StepsOf(run->mode).prepare, run) && RunSealSteps(run); }

bool RunSealSteps(ModeRun* run) { return RunSteps(StepsOf(run->mode).seal, run); }

}  // namespace sealtool
