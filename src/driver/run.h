// One whole run of the tool: the program's main, callable in-process.
#pragma once

#include <cstdint>

#include "driver/command_line.h"
#include "seal/seal_image.h"

namespace sealtool {

// The steps of the run's mode on an image already in memory, between reading
// the input and writing the output: checks, DRAM count, checksum and, by
// mode, the key record or the sealing. False after printing why. A run that
// signs later leaves the RSA input block in the signature region instead of
// a signature.
// digests, when given, gets what a secure mode's seal covers.
bool ProcessImage(std::uint8_t* image, const CommandLine& commandLine,
                  SealDigests* digests = nullptr);

// Runs the tool on argv and returns main's result: 0, -1 for a syntax,
// input, check or key failure, 1 when the output cannot be written; a batch
// also 2, some images failed and the others were written (batch.h).
int RunSealTool(int argc, char** argv);

}  // namespace sealtool
