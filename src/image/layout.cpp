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

const char* ImageRegionName(std::size_t offset, const ChipLayout& layout) {
  const struct {
    const char* name;
    std::size_t offset;
    std::size_t size;
  } regions[] = {
      {"boot-header marker", layout.bootHeader + kMarkerField, 2},
      {"checksum field", layout.bootHeader + kChecksumField, 2},
      {"DRAM count field", layout.dramCountField, 2},
      {"key record", kKeyRecordOffset, kKeyRecordSize},
      {"wrapped key", kWrappedKeyOffset, kWrappedKeySize},
      {"modulus area", kModulusOffset, kModulusSize},
      {"exponent area", kExponentOffset, kExponentSize},
      {"digest seal", kDigestSealOffset, kDigestSealSize},
      {"RSA signature", kRsaSignatureOffset, kRsaSignatureSize},
      {"image digest", kImageDigestOffset, kImageDigestSize},
  };
  for (const auto& region : regions) {
    if (offset >= region.offset && offset < region.offset + region.size) return region.name;
  }
  return offset < kHeaderAreaSize ? "header area" : "body area";
}

}  // namespace sealtool
