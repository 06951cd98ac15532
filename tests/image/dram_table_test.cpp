#include "image/dram_table.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "image/byte_order.h"
#include "image/layout.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

struct WalkCase {
  const char* name;
  std::int32_t chip;
  std::vector<std::uint32_t> words;  // the table; the zero fill ends it
  int count;
  std::string lines;
};

void PrintTo(const WalkCase& c, std::ostream* os) { *os << c.name; }

class DramWalkTest : public testing::TestWithParam<WalkCase> {};

TEST_P(DramWalkTest, CountsAndPrints) {
  const WalkCase& c = GetParam();
  std::vector<std::uint8_t> image(kImageSize, 0);
  const ChipLayout layout = SelectChipLayout(c.chip);
  for (std::size_t i = 0; i < c.words.size(); ++i) {
    StoreU32LE(image.data() + layout.dramTable + 4 * i, c.words[i]);
  }
  const std::vector<std::uint8_t> before = image;
  CaptureStdout();
  const int count = CountDramParams(image.data() + layout.dramTable,
                                    kImageSize - layout.dramTable, c.chip);
  EXPECT_EQ(GetCapturedStdout(), c.lines);
  EXPECT_EQ(count, c.count);
  EXPECT_EQ(image, before) << "the walk never changes the image";
}

INSTANTIATE_TEST_SUITE_P(
    Tables, DramWalkTest,
    testing::Values(
        WalkCase{"EmptyTable", 753, {}, 0, ""},
        WalkCase{"DriveCompensation", 742, {0xE9001234}, 1,
                 "Compensate driving: Dummy, NLEG, range 0x12, base 0x34\r\n"},
        WalkCase{"DrivePatternsAndLegs", 764, {0x09000000, 0x49FF0001, 0x89000100}, 3,
                 "Compensate driving: Odd/even, PLEG, range 0x0, base 0x0\r\n"
                 "Compensate driving: Odd only, PLEG, range 0x0, base 0x1\r\n"
                 "Compensate driving: Even only, PLEG, range 0x1, base 0x0\r\n"},
        WalkCase{"EfuseAndDuty", 775, {0x08000025, 0x0A000001, 0x0A000000}, 3,
                 "Load efuse halfword 0x5\r\nDuty average is ENABLED\r\n"
                 "Duty average is DISABLED\r\n"},
        WalkCase{"Opcode15IsOneUncountedWord", 753, {0x0F000000, 0x02000000}, 1, ""},
        WalkCase{"TwoWordEntryWithZeroDataWord", 753, {0x01000000, 0, 0x04000000}, 2, ""},
        WalkCase{"GroupAOpcodeShapes", 742,
                 {0x00000001, 0xFFFFFFFF, 0x05000001, 0, 0x06000001, 0, 0x07000001, 0,
                  0x03000001, 0x02000001},
                 6, ""},
        WalkCase{"GroupBOpcode2ZeroPayloadCounts", 0, {0x40000000}, 1, ""},
        WalkCase{"GroupBBit31IsPayload", 0, {0x80000000, 0, 0x40000000}, 2, ""},
        WalkCase{"GroupBNeverPrints", 1, {0x48000025, 0x6A000001}, 2, ""},
        WalkCase{"Opcode3TwoWordsOnChip731", 731, {0x60000000, 0x40000000, 0x40000000}, 2, ""},
        WalkCase{"Opcode3OneWordElsewhere", 732, {0x60000000, 0x40000000, 0x40000000}, 3, ""},
        WalkCase{"GroupANeverTakesExtraWord", 753, {0x03000000, 0x02000000}, 2, ""}),
    [](const testing::TestParamInfo<WalkCase>& info) { return std::string(info.param.name); });

TEST(DramWalkBoundTest, UnterminatedTableStopsAtImageEnd) {
  // Only an input that fills the image can leave the table unterminated.
  std::vector<std::uint8_t> image(kImageSize);
  const ChipLayout layout = SelectChipLayout(753);
  for (std::size_t at = 0; at < kImageSize; at += 4) {
    StoreU32LE(image.data() + at, 0x02000001);  // one-word entries to the end
  }
  const std::size_t words = (kImageSize - layout.dramTable) / 4;
  EXPECT_EQ(CountDramParams(image.data() + layout.dramTable, kImageSize - layout.dramTable, 753),
            static_cast<int>(words));
  // A two-word entry in the very last word still counts; its data word,
  // which would lie past the end, is never read.
  StoreU32LE(image.data() + kImageSize - 4, 0x00000001);
  EXPECT_EQ(CountDramParams(image.data() + layout.dramTable, kImageSize - layout.dramTable, 753),
            static_cast<int>(words));
}

TEST(DramWalkBoundTest, DecodingFollowsTheGroupCoding) {
  const DramEntry a = DecodeDramEntry(0xE9001234, 742);
  EXPECT_EQ(a.opcode, 9u);
  EXPECT_EQ(a.payload, 0xE0001234u);
  EXPECT_EQ(a.words, 1u);
  const DramEntry b = DecodeDramEntry(0xE9001234, 0);
  EXPECT_EQ(b.opcode, 3u);
  EXPECT_EQ(b.payload, 0x89001234u);
}

TEST(DramCountFieldTest, KeepsHighNibbleAndStoresLow12Bits) {
  struct Case {
    std::uint8_t first, second;
    std::uint16_t count;
    std::uint8_t wantFirst, wantSecond;
  };
  const Case cases[] = {
      {0x00, 0xA0, 0x123, 0x23, 0xA1},
      {0xFF, 0xFF, 0x000, 0x00, 0xF0},
      {0x12, 0x34, 4096, 0x00, 0x30},        // count modulo 4096
      {0x00, 0x00, 4096 + 0x456, 0x56, 0x04},
  };
  for (const Case& c : cases) {
    std::uint8_t field[2] = {c.first, c.second};
    StoreDramParamNumber(field, c.count);
    EXPECT_EQ(field[0], c.wantFirst);
    EXPECT_EQ(field[1], c.wantSecond);
    EXPECT_EQ(LoadDramParamNumber(field), c.count % 4096u);
  }
}

}  // namespace
}  // namespace sealtool
