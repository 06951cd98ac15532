// make_example_image OUTPUT [CHIP [SIZE [SEED]]]
//
// Writes a synthetic boot image for the chip's group (default chip 753, 24576
// bytes, seed 1), ready for sealtool.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "example_image.h"
#include "image/layout.h"

namespace {

bool ParseNumber(const char* text, long minimum, long maximum, long* value) {
  char* end = nullptr;
  *value = std::strtol(text, &end, 10);
  return end != text && *end == '\0' && *value >= minimum && *value <= maximum;
}

constexpr char kUsage[] =
    "usage: make_example_image OUTPUT [CHIP [SIZE [SEED]]]\n"
    "  writes a synthetic boot image for CHIP's group (default chip 753,\n"
    "  24576 bytes, seed 1); SIZE from 512 to 32768 bytes\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 written, 1 the output could not be written, 2 bad usage.\n";

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    std::fputs(kUsage, stdout);
    return 0;
  }
  if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("make_example_image %s\n", SEALTOOL_VERSION);
    return 0;
  }
  long chip = 753;
  long size = static_cast<long>(sealtool::kExampleImageDefaultSize);
  long seed = 1;
  // An option where the output's name belongs is a mistake, not a name.
  const bool ok = argc >= 2 && argc <= 5 && argv[1][0] != '-' &&
                  (argc < 3 || ParseNumber(argv[2], -2147483647L - 1, 2147483647L, &chip)) &&
                  (argc < 4 || ParseNumber(argv[3], static_cast<long>(sealtool::kHeaderAreaSize),
                                           static_cast<long>(sealtool::kImageSize), &size)) &&
                  (argc < 5 || ParseNumber(argv[4], 0, 0xFFFFFFFFL, &seed));
  if (!ok) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  static std::uint8_t image[sealtool::kImageSize];
  sealtool::BuildExampleImage(static_cast<std::int32_t>(chip), static_cast<std::uint32_t>(seed),
                              image, static_cast<std::size_t>(size));
  std::FILE* out = std::fopen(argv[1], "wb");
  if (out == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(image, 1, static_cast<std::size_t>(size), out) ==
                       static_cast<std::size_t>(size);
  if (std::fclose(out) != 0 || !written) {
    std::fprintf(stderr, "%s: write failed\n", argv[1]);
    return 1;
  }
  return 0;
}
