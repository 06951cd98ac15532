#include "image/layout.h"

namespace sealtool {

ChipGroup ChipGroupOf(std::int32_t chip) {
  // Plain equality, no range: 760 or 770 are group B like any unknown chip.
  if (chip == 742 || chip == 753 || chip == 764 || chip == 775) {
    return ChipGroup::kA;
  }
  return ChipGroup::kB;
}

ChipLayout ChipLayoutOfGroup(ChipGroup group) {
  const std::size_t bootHeader = (group == ChipGroup::kA) ? 48 : 64;
  return ChipLayout{group, bootHeader, bootHeader + kDramCountField,
                    bootHeader + kDramTableField};
}

ChipLayout SelectChipLayout(std::int32_t chip) {
  return ChipLayoutOfGroup(ChipGroupOf(chip));
}

bool ChipClearsSealRegions(std::int32_t chip) {
  return chip == 742 || chip == 775;
}

}  // namespace sealtool
