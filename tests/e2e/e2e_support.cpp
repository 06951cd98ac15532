#include "e2e_support.h"

#include <cstdarg>
#include <cstdio>

#include <mbedtls/sha256.h>

#include "example_image.h"

namespace sealtool::test {

ProcessResult RunSealtool(const TempDir& dir, const std::vector<std::string>& args,
                          ProcessOptions options) {
  options.workDir = dir.path();
  return RunOwnProgram(SEALTOOL_EXE, args, options);
}

std::string Sha256Hex(const Bytes& bytes) {
  unsigned char digest[32];
  mbedtls_sha256_ret(bytes.data(), bytes.size(), digest, 0);
  std::string hex;
  for (const unsigned char byte : digest) hex += Format("%02x", byte);
  return hex;
}

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  return buffer;
}

Bytes ExampleInput(std::int32_t chip, std::uint32_t seed, std::size_t size) {
  Bytes image(size);
  BuildExampleImage(chip, seed, image.data(), size);
  return image;
}

Bytes PaddedImage(const Bytes& input) {
  Bytes image(32768, 0);
  std::copy(input.begin(), input.end(), image.begin());
  return image;
}

std::string StartLines(const std::string& chipArg, const std::string& secureArg,
                       const std::string& inputName, std::size_t inputSize) {
  std::string text = "sealtool version : 2018-0316-1.0003\r\n";
  if (!chipArg.empty()) {
    text += Format("chip version [KX73%d]\n", std::atoi(chipArg.c_str()));
  }
  if (!secureArg.empty()) {
    text += Format("secure boot: %d\n", std::atoi(secureArg.c_str()));
  }
  text += "Reading '" + inputName + "'...\n";
  text += Format("file size = %zu\n", inputSize);
  return text;
}

std::string ExampleDescribeLines(std::int32_t chip) {
  const bool groupA = chip == 742 || chip == 753 || chip == 764 || chip == 775;
  std::string text;
  if (groupA) {
    text += "Load efuse halfword 0x5\r\n"
            "Compensate driving: Dummy, NLEG, range 0x12, base 0x34\r\n"
            "Duty average is ENABLED\r\n";
  }
  const int count = groupA ? 6 : 4;
  text += Format("\nconfig ram count 0x%x\n", count);
  text += "\n==Display binary file info== Begin!!!\n"
          "VersionNumber: 00,10,19,07\n"
          "==Display binary file info== End\n\n";
  text += Format("total_bin_size after padding:32768, Dram param number:%d\n\n", count);
  return text;
}

std::string ApplyReferenceChecksum(Bytes& image, std::size_t bootHeader) {
  image[bootHeader] = 0x55;
  image[bootHeader + 1] = 0xAA;
  image[bootHeader + 2] = 0;
  image[bootHeader + 3] = 0;
  std::uint32_t sum = 0;
  for (std::uint32_t i = 0; i < 16384; ++i) {
    sum += image[2 * i] + 256u * image[2 * i + 1] + i;
  }
  const std::uint16_t checksum = static_cast<std::uint16_t>(0x10000 - (sum & 0xFFFF));
  image[bootHeader + 2] = static_cast<std::uint8_t>(checksum);
  image[bootHeader + 3] = static_cast<std::uint8_t>(checksum >> 8);
  return Format("##ui32BinDataSumValue: 0x%08X\nCheckSum: 0x%04X\n\n", sum, checksum);
}

std::string WriteLines(const std::string& outputName) {
  return "Writing '" + outputName + "'...\nwrite size = 32768\n";
}

Bytes ExpectedPlainImage(const Bytes& input, std::size_t bootHeader, unsigned dramCount,
                         std::string* checksumLines) {
  Bytes image = PaddedImage(input);
  image[bootHeader + 8] = static_cast<std::uint8_t>(dramCount & 0xFF);
  image[bootHeader + 9] =
      static_cast<std::uint8_t>((image[bootHeader + 9] & 0xF0) | ((dramCount >> 8) & 0x0F));
  *checksumLines = ApplyReferenceChecksum(image, bootHeader);
  return image;
}

}  // namespace sealtool::test
