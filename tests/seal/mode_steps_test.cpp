#include "seal/mode_steps.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <ostream>
#include <string>
#include <vector>

#include "example_image.h"
#include "files.h"
#include "image/layout.h"
#include "image/run_mode.h"
#include "test_keys.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

// Each mode's row in the mode table says which regions its steps fill and
// clear; a sealed example shows where its steps really wrote.
struct ModeCase {
  RunMode mode;
  std::int32_t chip;
};

void PrintTo(const ModeCase& c, std::ostream* os) { *os << RunModeName(c.mode) << " on chip " << c.chip; }

class ModeRowTest : public testing::TestWithParam<ModeCase> {
 protected:
  void SetUp() override {
    inDir_ = std::make_unique<test::ScopedWorkDir>(dir_.path());
    test::WriteTestRsaKeyFiles(dir_.path(), 3);
  }

  test::TempDir dir_;
  std::unique_ptr<test::ScopedWorkDir> inDir_;
};

// The fields every mode writes: marker and checksum, and for a run that
// walks the DRAM table its count (the high nibble of its second byte kept).
bool FieldOfEveryRun(std::size_t offset, const ChipLayout& layout, bool walksDram) {
  const std::size_t header = layout.bootHeader;
  if (offset >= header + kMarkerField && offset < header + kChecksumField + 2) return true;
  return walksDram && (offset == layout.dramCountField || offset == layout.dramCountField + 1);
}

TEST_P(ModeRowTest, TheStepsWriteWhereTheRowSaysAndNowhereElse) {
  const ModeCase& c = GetParam();
  std::vector<std::uint8_t> input(kImageSize, 0);
  ASSERT_TRUE(BuildExampleImage(c.chip, 11, input.data(), kImageSize));
  std::vector<std::uint8_t> image = input;
  const RunKeys keys = ResolveRunKeys(KeySources{}, c.chip);
  SealDigests digests{};
  ModeRun run{c.mode, image.data(), c.chip, SelectChipLayout(c.chip), &keys, &digests};
  CaptureStdout();
  const bool ran = RunModeSteps(&run);
  const std::string out = GetCapturedStdout();
  ASSERT_TRUE(ran) << out;

  const RunModeInfo& row = ModeInfoOf(c.mode);
  const unsigned mayChange = row.writes | (ChipClearsSealRegions(c.chip) ? row.clears : 0);
  std::vector<bool> regionChanged(8, false);
  for (std::size_t i = 0; i < kImageSize; ++i) {
    if (image[i] == input[i]) continue;
    const bool expected = FieldOfEveryRun(i, run.layout, row.checksBootHeader) || RegionsHold(mayChange, i);
    ASSERT_TRUE(expected) << "offset " << i << " (" << ImageRegionName(i, run.layout) << ") changed";
    for (unsigned bit = 0; bit < 8; ++bit) {
      if (RegionsHold(row.writes & (1u << bit), i)) regionChanged[bit] = true;
    }
  }
  // And each region the row says it fills was filled.
  for (unsigned bit = 0; bit < 8; ++bit) {
    if ((row.writes & (1u << bit)) != 0) {
      EXPECT_TRUE(regionChanged[bit]) << "region bit " << bit;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(EveryMode, ModeRowTest,
                         testing::Values(ModeCase{RunMode::kPlain, 753}, ModeCase{RunMode::kKeyRecord, 753},
                                         ModeCase{RunMode::kRsa, 742}, ModeCase{RunMode::kAesSeal, 775},
                                         ModeCase{RunMode::kAesSeal, 764}),
                         [](const testing::TestParamInfo<ModeCase>& info) {
                           std::string name = RunModeName(info.param.mode);
                           name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                           return name + "Chip" + std::to_string(info.param.chip);
                         });

TEST(ModeRowTest, EveryNameParsesBackToItsMode) {
  for (const RunMode mode : {RunMode::kPlain, RunMode::kKeyRecord, RunMode::kRsa, RunMode::kAesSeal}) {
    RunMode parsed = RunMode::kPlain;
    ASSERT_TRUE(ParseRunModeName(RunModeName(mode), &parsed));
    EXPECT_EQ(parsed, mode);
  }
  RunMode untouched = RunMode::kRsa;
  EXPECT_FALSE(ParseRunModeName("RSA", &untouched));
  EXPECT_EQ(untouched, RunMode::kRsa);
}

}  // namespace
}  // namespace sealtool
