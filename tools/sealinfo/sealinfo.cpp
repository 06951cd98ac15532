// sealinfo: shows what a sealtool image holds and verifies what can be
// verified, before the image is flashed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "image/dram_table.h"
#include "image/layout.h"
#include "image/run_mode.h"
#include "inspect.h"
#include "report_output.h"

namespace {

using sealtool::inspect::InspectOptions;

constexpr char kUsage[] =
    "usage: sealinfo [--chip ID] [--keys DIR] [--mode MODE] [--assume-zero] [--json] IMAGE\n"
    "\n"
    "Shows the layout, header records, DRAM entries and key record of a 32768-byte\n"
    "sealtool image, and checks what the image's mode allows: the checksum, the\n"
    "wrapped key, the image digest, the header digest's seal or RSA signature.\n"
    "\n"
    "  --chip ID      chip identifier (default: the group is told by the marker)\n"
    "  --keys DIR     folder with aes.txt and rsa_pub.txt (default: .)\n"
    "  --mode MODE    plain, key-record, aes-seal or rsa (default: detected; a\n"
    "                 detected seal must verify, so a sealed image of a chip other\n"
    "                 than 742 and 775 needs --mode or --assume-zero)\n"
    "  --assume-zero  take the input bytes that sealing overwrote as zero\n"
    "  --json         print the report as one JSON document\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 every check that could run passed, 1 a check failed,\n"
    "2 bad usage or an unreadable image.\n";

struct Arguments {
  InspectOptions options;
  bool json = false;
  const char* imagePath = nullptr;
};

bool ParseChip(const char* text, std::int32_t* chip) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *chip = static_cast<std::int32_t>(value);
  return true;
}

// 0: go on; 1: help or version printed; 2: bad usage (already reported).
int ParseArguments(int argc, char** argv, Arguments* args) {
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    const char* value = (i + 1 < argc) ? argv[i + 1] : nullptr;
    bool ok = true;
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 1;
    } else if (std::strcmp(arg, "--version") == 0) {
      std::printf("sealinfo %s\n", SEALTOOL_VERSION);
      return 1;
    } else if (std::strcmp(arg, "--json") == 0) {
      args->json = true;
    } else if (std::strcmp(arg, "--assume-zero") == 0) {
      args->options.assumeZero = true;
    } else if (std::strcmp(arg, "--chip") == 0) {
      ok = value != nullptr && ParseChip(value, &args->options.chip);
      args->options.chipGiven = true;
      ++i;
    } else if (std::strcmp(arg, "--keys") == 0) {
      ok = value != nullptr;
      args->options.keyDir = value;
      ++i;
    } else if (std::strcmp(arg, "--mode") == 0) {
      ok = value != nullptr && sealtool::ParseRunModeName(value, &args->options.mode);
      args->options.modeGiven = true;
      ++i;
    } else {
      // A lone "-" is a file name like any other; one image only.
      ok = (arg[0] != '-' || arg[1] == '\0') && args->imagePath == nullptr;
      args->imagePath = arg;
    }
    if (!ok) {
      std::fprintf(stderr, "sealinfo: bad argument '%s'\n%s", arg, kUsage);
      return 2;
    }
  }
  if (args->imagePath == nullptr) {
    std::fprintf(stderr, "sealinfo: no image given\n%s", kUsage);
    return 2;
  }
  return 0;
}

bool ReadWholeImage(const char* path, std::uint8_t* image) {
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::fprintf(stderr, "sealinfo: cannot open '%s'\n", path);
    return false;
  }
  const std::size_t read = std::fread(image, 1, sealtool::kImageSize, stream);
  const bool more = std::fgetc(stream) != EOF;
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed || read != sealtool::kImageSize || more) {
    std::fprintf(stderr, "sealinfo: '%s' is not a %zu-byte image\n", path, sealtool::kImageSize);
    return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  Arguments args;
  const int parsed = ParseArguments(argc, argv, &args);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  static std::uint8_t image[sealtool::kImageSize];
  if (!ReadWholeImage(args.imagePath, image)) return 2;
  static sealtool::inspect::Report report;
  if (!sealtool::inspect::InspectImage(image, args.options, &report)) {
    std::fprintf(stderr,
                 "sealinfo: '%s' has a boot-header marker at both or neither of the group "
                 "offsets (48, 64); give --chip\n",
                 args.imagePath);
    return 2;
  }
  if (args.json) {
    sealtool::inspect::PrintJsonReport(args.imagePath, image, report);
  } else {
    sealtool::inspect::PrintTextReport(args.imagePath, image, report);
  }
  return sealtool::inspect::ReportExitStatus(report);
}
