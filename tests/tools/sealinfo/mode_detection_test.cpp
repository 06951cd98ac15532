// What an image's own bytes say about the run that made it: the chip group
// from the marker, and which modes the checksum, the header fields and the
// bytes only sealing writes leave possible.
#include "mode_detection.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "example_image.h"
#include "image/checksum.h"
#include "image/dram_table.h"
#include "image/layout.h"

namespace sealtool::inspect {
namespace {

using Image = std::vector<std::uint8_t>;

// The example input for chip, its DRAM count field cleared, so that a plain
// run visibly changes it.
Image ExampleInputOf(std::int32_t chip) {
  Image image(kImageSize, 0);
  BuildExampleImage(chip, 1, image.data(), 24576);
  StoreDramParamNumber(image.data() + SelectChipLayout(chip).dramCountField, 0);
  return image;
}

// What a plain run writes: the DRAM count, the marker, the checksum.
void AsPlainRun(std::int32_t chip, Image* image) {
  const ChipLayout layout = SelectChipLayout(chip);
  const unsigned counted =
      CountCountedDramEntries(image->data() + layout.dramTable, kImageSize - layout.dramTable, chip);
  StoreDramParamNumber(image->data() + layout.dramCountField, static_cast<std::uint16_t>(counted));
  WriteMarkerAndClearChecksum(image->data(), layout);
  StoreImageChecksum(image->data(), layout);
}

void Fill(Image* image, std::size_t from, std::size_t to, std::uint8_t value) {
  std::memset(image->data() + from, value, to - from);
}

struct Case {
  const char* name;
  std::int32_t chip;
  void (*change)(Image*);  // before the run's checksum; null: none
  bool withInput;
  bool wrapsUserKey;
  bool breakChecksum;      // a body byte flipped after the run
  bool checksumHolds;
  bool sealingBytes;
  RunMode sealed;
  RunMode unsealed;
  bool undecided;          // plain and key-record both remain
};

const Case kCases[] = {
    {"PlainWithKeyRecordUndecided", 753, nullptr, false, false, false, true, false,
     RunMode::kAesSeal, RunMode::kPlain, true},
    {"PlainToldByItsInput", 753, nullptr, true, false, false, true, false, RunMode::kAesSeal,
     RunMode::kPlain, false},
    {"KeyRecordWrappingTheUsersKey", 753, nullptr, false, true, false, true, false,
     RunMode::kAesSeal, RunMode::kKeyRecord, false},
    {"PlainWithoutKeyRecord", 753, [](Image* i) { Fill(i, kKeyRecordOffset, kKeyRecordOffset + 4, 0); },
     false, false, false, true, false, RunMode::kAesSeal, RunMode::kPlain, false},
    {"DigestBytesOn742MeanAesSeal", 742, [](Image* i) { Fill(i, 352, 448, 0); }, false, false, false,
     true, true, RunMode::kAesSeal, RunMode::kPlain, true},
    {"SignatureSpanOn742MeansRsa", 742, [](Image* i) { Fill(i, 352, 448, 0x5A); }, false, false,
     false, true, true, RunMode::kRsa, RunMode::kPlain, true},
    {"SignatureSpanAloneOn775IsInputBytes", 775, [](Image* i) { Fill(i, 448, 512, 0); }, false,
     false, false, true, false, RunMode::kAesSeal, RunMode::kPlain, true},
    {"DigestBytesOn775MeanAesSeal", 775, [](Image* i) { Fill(i, 352, 448, 0); }, false, false,
     false, true, true, RunMode::kAesSeal, RunMode::kPlain, true},
    {"Chip753KeepsInputBytesThere", 753, [](Image* i) { Fill(i, 352, 512, 0x5A); }, false, false,
     false, true, false, RunMode::kAesSeal, RunMode::kPlain, true},
    {"NothingSealedOn742", 742, [](Image* i) { Fill(i, 352, 512, 0); }, false, false, false, true,
     false, RunMode::kAesSeal, RunMode::kPlain, true},
    {"ChecksumThatFails", 742, nullptr, false, false, true, false, true, RunMode::kRsa,
     RunMode::kPlain, true},
};

class ModeEvidenceTest : public testing::TestWithParam<Case> {};

TEST_P(ModeEvidenceTest, WeighsWhatEachModeWrites) {
  const Case& c = GetParam();
  const Image input = ExampleInputOf(c.chip);
  Image image = input;
  if (c.change != nullptr) c.change(&image);
  AsPlainRun(c.chip, &image);
  if (c.breakChecksum) image[20000] ^= 0x01;
  // The example's bytes at 352-511 are filler: a change above decides them.
  const ModeEvidence evidence = WeighModeEvidence(image.data(), c.chip,
                                                  c.withInput ? input.data() : nullptr,
                                                  c.wrapsUserKey);
  EXPECT_EQ(evidence.checksumHolds, c.checksumHolds);
  EXPECT_EQ(evidence.sealingBytes, c.sealingBytes);
  EXPECT_EQ(evidence.sealed, c.sealed);
  EXPECT_EQ(evidence.unsealed, c.unsealed);
  EXPECT_EQ(evidence.alternatives != nullptr, c.undecided);
}

INSTANTIATE_TEST_SUITE_P(Images, ModeEvidenceTest, testing::ValuesIn(kCases),
                         [](const testing::TestParamInfo<Case>& info) {
                           return std::string(info.param.name);
                         });

TEST(DetectChipTest, TheMarkerTellsTheGroupAndTheSignatureTheChip) {
  struct ChipCase {
    std::int32_t built;
    void (*change)(Image*);
    bool told;
    std::int32_t chip;
  };
  const ChipCase cases[] = {
      {753, nullptr, true, 753},
      {0, nullptr, true, 0},
      // An RSA image: the span used and E in the first 8 bytes of its area.
      {742, [](Image* i) {
         Fill(i, 352, 448, 0x5A);
         Fill(i, 320, 352, 0);
         (*i)[320] = 1;
         (*i)[322] = 1;
       }, true, 742},
      {742, [](Image* i) { Fill(i, 320, 352, 0x11); }, true, 753},  // E does not fit 8 bytes
      {753, [](Image* i) { (*i)[64] = 0x55; (*i)[65] = 0xAA; }, false, 0},  // both markers
      {753, [](Image* i) { (*i)[48] = 0; }, false, 0},                      // neither
  };
  for (const ChipCase& c : cases) {
    Image image(kImageSize, 0);
    BuildExampleImage(c.built, 1, image.data(), 24576);
    if (c.change != nullptr) c.change(&image);
    std::int32_t chip = -1;
    EXPECT_EQ(DetectChip(image.data(), &chip), c.told) << c.built;
    if (c.told) {
      EXPECT_EQ(chip, c.chip) << c.built;
    }
  }
}

}  // namespace
}  // namespace sealtool::inspect
