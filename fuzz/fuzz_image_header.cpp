// Header checks, key-record display, DRAM walk and count store on arbitrary
// images. Input: one byte choosing the chip, then the image (zero-filled to
// 32768 bytes, longer inputs cut).
#include <algorithm>
#include <cstring>

#include "fuzz_support.h"
#include "image/checksum.h"
#include "image/dram_table.h"
#include "image/header_info.h"
#include "image/layout.h"

namespace {

constexpr std::int32_t kChips[8] = {742, 753, 764, 775, 0, 731, 1, -2147483647 - 1};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  sealtool::fuzz::SetUpOnce();
  sealtool::fuzz::InputReader input{data, size};
  const std::int32_t chip = kChips[input.Byte() % 8];
  static std::uint8_t image[sealtool::kImageSize];
  std::memset(image, 0, sizeof image);
  const std::string bytes = input.Bytes(sizeof image);
  std::copy(bytes.begin(), bytes.end(), image);

  const sealtool::ChipLayout layout = sealtool::SelectChipLayout(chip);
  sealtool::CheckBootCode(image + layout.bootHeader);
  sealtool::CheckWrKeyCode(image + sealtool::kKeyRecordOffset);
  sealtool::ShowSecureProgramKey(image + sealtool::kKeyRecordOffset);
  sealtool::ShowVersionNumber(image + layout.bootHeader);
  const int count = sealtool::CountDramParams(image + layout.dramTable,
                                              sealtool::kImageSize - layout.dramTable, chip);
  if (count < 0 || static_cast<std::size_t>(count) > (sealtool::kImageSize - layout.dramTable) / 4) {
    __builtin_trap();  // at most one counted entry per word of the table
  }
  sealtool::StoreDramParamNumber(image + layout.dramCountField, static_cast<std::uint16_t>(count));
  if (sealtool::LoadDramParamNumber(image + layout.dramCountField) !=
      static_cast<unsigned>(count) % 4096u) {
    __builtin_trap();
  }
  sealtool::WriteMarkerAndClearChecksum(image, layout);
  sealtool::StoreImageChecksum(image, layout);
  if (!sealtool::ImageChecksumHolds(image)) __builtin_trap();
  return 0;
}
