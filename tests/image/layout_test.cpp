#include "image/layout.h"

#include <gtest/gtest.h>

namespace sealtool {
namespace {

TEST(ChipLayoutTest, GroupsAndOffsets) {
  struct Case {
    std::int32_t chip;
    ChipGroup group;
    std::size_t bootHeader, dramCount, dramTable;
  };
  const Case cases[] = {
      {742, ChipGroup::kA, 48, 56, 64}, {753, ChipGroup::kA, 48, 56, 64},
      {764, ChipGroup::kA, 48, 56, 64}, {775, ChipGroup::kA, 48, 56, 64},
      {0, ChipGroup::kB, 64, 72, 80},   {731, ChipGroup::kB, 64, 72, 80},
      {760, ChipGroup::kB, 64, 72, 80}, {-742, ChipGroup::kB, 64, 72, 80},
  };
  for (const Case& c : cases) {
    const ChipLayout layout = SelectChipLayout(c.chip);
    EXPECT_EQ(layout.group, c.group) << c.chip;
    EXPECT_EQ(layout.bootHeader, c.bootHeader) << c.chip;
    EXPECT_EQ(layout.dramCountField, c.dramCount) << c.chip;
    EXPECT_EQ(layout.dramTable, c.dramTable) << c.chip;
    EXPECT_EQ(layout.bootHeader % 2, 0u) << "checksum field must be one half-word";
  }
}

TEST(ChipLayoutTest, OnlyChips742And775ClearSealRegions) {
  for (const std::int32_t chip : {742, 775}) {
    EXPECT_TRUE(ChipClearsSealRegions(chip));
  }
  for (const std::int32_t chip : {753, 764, 0, 731}) {
    EXPECT_FALSE(ChipClearsSealRegions(chip));
  }
}

}  // namespace
}  // namespace sealtool
