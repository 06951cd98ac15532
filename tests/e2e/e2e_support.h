// Runs the built sealtool in a temporary working directory, and works out
// independently, from the byte layout, what a run must print and write.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "files.h"
#include "process.h"

namespace sealtool::test {

ProcessResult RunSealtool(const TempDir& dir, const std::vector<std::string>& args,
                          ProcessOptions options = {});

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The SHA-256 of bytes in lower-case hex, by mbedtls: independent of the
// tool's own SHA-256 module.
std::string Sha256Hex(const Bytes& bytes);

// The example image of the generator for chip, seed and size.
Bytes ExampleInput(std::int32_t chip, std::uint32_t seed = 1, std::size_t size = 24576);

// The input as the tool sees it: zero-filled to 32768 bytes.
Bytes PaddedImage(const Bytes& input);

// Banner, chip and secure-boot lines, reading lines, for a run given
// argument texts (empty when absent).
std::string StartLines(const std::string& chipArg, const std::string& secureArg,
                       const std::string& inputName, std::size_t inputSize);

// The DRAM, display and padded-size lines of the generator's example images.
std::string ExampleDescribeLines(std::int32_t chip);

// Writes marker and checksum into image the way a checksum step must, with
// a sum worked out here, and returns the two lines it prints.
std::string ApplyReferenceChecksum(Bytes& image, std::size_t bootHeader);

std::string WriteLines(const std::string& outputName);

// What a successful plain run writes for an input: marker, DRAM count
// (dramCount into the 12-bit field) and checksum.
Bytes ExpectedPlainImage(const Bytes& input, std::size_t bootHeader, unsigned dramCount,
                         std::string* checksumLines);

}  // namespace sealtool::test
