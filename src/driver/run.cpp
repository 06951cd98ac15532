#include "driver/run.h"

#include <cstdio>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "driver/command_line.h"
#include "driver/image_file.h"
#include "image/checksum.h"
#include "image/dram_table.h"
#include "image/header_info.h"
#include "image/layout.h"
#include "seal/aes_key_file.h"
#include "seal/key_record.h"
#include "seal/seal_image.h"

namespace sealtool {
namespace {

// The image lives for the whole process; every step works on it in place.
std::uint8_t gImage[kImageSize];

void PrintStartup(const CommandLine& commandLine) {
  std::printf("sealtool version : 2018-0316-1.0003\r\n");
  if (commandLine.hasChip) {
    std::printf("chip version [KX73%d]\n", commandLine.chip);
  }
  if (commandLine.hasSecureBoot) {
    std::printf("secure boot: %d\n", commandLine.secureBoot);
  }
}

int RunKeyRecordSteps(std::uint8_t* image, const CommandLine& commandLine,
                      const ChipLayout& layout) {
  const std::uint8_t* keyRecord = image + kKeyRecordOffset;
  if (CheckWrKeyCode(keyRecord) != 0) {
    std::printf("Not valid wr key code!\n");
    return -1;
  }
  ShowSecureProgramKey(keyRecord);
  std::uint8_t userKey[kKeyBufferSize] = {};
  int result = ReadAesKeyToken(commandLine.chip, KeyEchoStyle::kCompact, userKey);
  if (result == 0) {
    result = WrapUserKey(userKey, image);
  }
  mbedtls_platform_zeroize(userKey, sizeof userKey);
  if (result != 0) {
    return -1;
  }
  WriteMarkerAndClearChecksum(image, layout);
  StoreImageChecksum(image, layout);
  return 0;
}

// Header check, DRAM walk and the information display of plain and secure
// runs; the count goes into the DRAM count field afterwards, so the version
// line shows the field as the input held it.
int CheckAndDescribeImage(std::uint8_t* image, const CommandLine& commandLine,
                          const ChipLayout& layout) {
  if (CheckBootCode(image + layout.bootHeader) != 0) {
    std::printf("Not valid boot code!, chip = %d\n", commandLine.chip);
    return -1;
  }
  const int dramCount = CountDramParams(image + layout.dramTable,
                                        kImageSize - layout.dramTable, commandLine.chip);
  std::printf("\nconfig ram count 0x%x\n", static_cast<unsigned>(dramCount));
  std::printf("\n==Display binary file info== Begin!!!\n");
  ShowVersionNumber(image + layout.bootHeader);
  std::printf("==Display binary file info== End\n\n");
  std::printf("total_bin_size after padding:%d, Dram param number:%d\n\n",
              static_cast<int>(kImageSize), dramCount);
  StoreDramParamNumber(image + layout.dramCountField, static_cast<std::uint16_t>(dramCount));
  return 0;
}

int RunBootImageSteps(std::uint8_t* image, const CommandLine& commandLine,
                      const ChipLayout& layout, RunMode mode) {
  if (CheckAndDescribeImage(image, commandLine, layout) != 0) {
    return -1;
  }
  WriteMarkerAndClearChecksum(image, layout);
  if (IsSecureMode(mode) && ChipClearsSealRegions(commandLine.chip)) {
    ClearSealRegions(image, mode);
  }
  StoreImageChecksum(image, layout);
  if (!IsSecureMode(mode)) {
    return 0;
  }
  return SealImage(image, commandLine.chip, mode);
}

}  // namespace

int ProcessImage(std::uint8_t* image, const CommandLine& commandLine) {
  const RunMode mode = ChooseRunMode(commandLine.chip, commandLine.secureBoot);
  const ChipLayout layout = SelectChipLayout(commandLine.chip);
  return (mode == RunMode::kKeyRecord) ? RunKeyRecordSteps(image, commandLine, layout)
                                       : RunBootImageSteps(image, commandLine, layout, mode);
}

int RunSealTool(int argc, char** argv) {
  CommandLine commandLine{};
  if (!ParseCommandLine(argc, argv, &commandLine)) {
    std::printf("command syntax error!\n");
    std::printf("sealtool <input_bin> <output_bin> <chip id> <secure_boot>\n");
    return -1;
  }
  PrintStartup(commandLine);

  std::memset(gImage, 0, sizeof gImage);
  std::uint32_t imageSize = 0;
  if (ReadImageFile(commandLine.inputPath, gImage, &imageSize) != 0) {
    std::printf("read binary file error!, chip = %d\n", commandLine.chip);
    return -1;
  }
  // Every later step works on the whole image, whatever the input's length.
  imageSize = kImageSize;

  if (ProcessImage(gImage, commandLine) != 0) {
    return -1;
  }
  const int written = WriteImageFile(commandLine.outputPath, gImage, imageSize);
  if (written != 0) {
    std::printf("BIN error !\n");
    return written;
  }
  std::printf("Save BIN OK.\n");
  std::printf("All OK.\n");
  return 0;
}

}  // namespace sealtool
