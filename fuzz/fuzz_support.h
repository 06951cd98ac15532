// Shared by the fuzz targets: a scratch working directory of their own, a
// silenced console, and a reader that splits one input into fields.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace sealtool::fuzz {

// Once per process: moves into a fresh scratch directory (on tmpfs where the
// machine has one) and sends standard output to /dev/null.
void SetUpOnce();

// Replaces the file name in the working directory with size bytes of data.
void WriteScratchFile(const char* name, const std::uint8_t* data, std::size_t size);

// Removes the files a run may leave in the scratch directory.
void ClearScratchFiles();

// Takes fields off the front of a fuzz input.
struct InputReader {
  const std::uint8_t* data;
  std::size_t size;

  std::uint8_t Byte();
  std::uint16_t U16();
  // Up to length bytes (fewer when the input ends); the bytes as a string.
  std::string Bytes(std::size_t length);
  std::string Rest();
};

}  // namespace sealtool::fuzz
