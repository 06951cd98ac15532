// sealinfo: shows what a sealtool image holds and verifies what can be
// verified, before the image is flashed.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <limits.h>

#include "driver/process_guard.h"
#include "image/dram_table.h"
#include "image/layout.h"
#include "image/run_mode.h"
#include "inspect.h"
#include "key_report.h"
#include "seal/key_id.h"
#include "report_output.h"

namespace {

using sealtool::inspect::InspectOptions;

constexpr char kUsage[] =
    "usage: sealinfo [--chip ID] [--keys DIR] [--mode MODE] [--input IN] [--assume-zero]\n"
    "                [--expect-key ID|FILE] [--json] IMAGE\n"
    "\n"
    "Shows the layout, header records, DRAM entries and key record of a 32768-byte\n"
    "sealtool image, and checks what the image's mode allows: the checksum, the\n"
    "wrapped key, the image digest, the header digest's seal or RSA signature.\n"
    "\n"
    "  --chip ID      chip identifier (default: the group is told by the marker)\n"
    "  --keys DIR     folder with aes.txt and rsa_pub.txt (default: .)\n"
    "  --mode MODE    plain, key-record, aes-seal or rsa (default: detected)\n"
    "  --input IN     the input IMAGE was made from: every byte the run did not\n"
    "                 write must be its, and it supplies the input bytes that\n"
    "                 sealing overwrote (chips other than 742 and 775)\n"
    "  --assume-zero  take the input bytes that sealing overwrote as zero\n"
    "  --expect-key ID|FILE\n"
    "                 fail unless the image carries this RSA key: a key id (64 hex\n"
    "                 digits, either id sealkey id shows) or a public key file\n"
    "                 (rsa_pub.txt, PEM or DER)\n"
    "  --json         print the report as one JSON document\n"
    "  --help, --version\n"
    "\n"
    "Exit status: 0 every check that establishes the image's integrity ran and\n"
    "passed; 1 a check failed; 2 bad usage or an unreadable image; 3 unverified:\n"
    "no check failed, but one could not run or the mode is not settled.\n";

// The longest key file name that --keys must leave room for.
constexpr std::size_t kLongestKeyFileName = sizeof "rsa_pub.txt";

struct Arguments {
  InspectOptions options;
  bool json = false;
  const char* imagePath = nullptr;
  const char* inputPath = nullptr;
  const char* expectedKey = nullptr;
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
      // A folder whose key paths would not fit is refused, never cut short.
      ok = value != nullptr && std::strlen(value) + 1 + kLongestKeyFileName <= PATH_MAX;
      args->options.keyDir = value;
      ++i;
    } else if (std::strcmp(arg, "--expect-key") == 0) {
      ok = value != nullptr;
      args->expectedKey = value;
      ++i;
    } else if (std::strcmp(arg, "--input") == 0) {
      ok = value != nullptr;
      args->inputPath = value;
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

// Reads path into image, zero-filled: exactly one image, or with
// wholeImage false (an input) at most one.
bool ReadImage(const char* path, std::uint8_t* image, bool wholeImage) {
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    std::fprintf(stderr, "sealinfo: cannot open '%s'\n", path);
    return false;
  }
  std::memset(image, 0, sealtool::kImageSize);
  const std::size_t read = std::fread(image, 1, sealtool::kImageSize, stream);
  const bool more = std::fgetc(stream) != EOF;
  const bool failed = std::ferror(stream) != 0;
  std::fclose(stream);
  if (failed || more || (wholeImage && read != sealtool::kImageSize)) {
    std::fprintf(stderr, "sealinfo: '%s' is not %s %zu-byte image\n", path,
                 wholeImage ? "a" : "at most a", sealtool::kImageSize);
    return false;
  }
  return true;
}

// A key id as given, or the header key id of a public key file.
bool ExpectedKeyId(const char* text, std::uint8_t* id) {
  if (sealtool::ParseKeyId(text, id)) return true;
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  sealtool::KeyIds ids{};
  const bool loaded = sealkey::LoadPublicKey(text, &n, &e, &kind) == sealkey::kDone &&
                      sealtool::ComputeKeyIds(&n, &e, &ids) == 0;
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  if (!loaded) {
    std::fprintf(stderr, "sealinfo: --expect-key takes a key id of 64 hex digits or a public key "
                         "file, not '%s'\n", text);
    return false;
  }
  std::memcpy(id, ids.header, sizeof ids.header);
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  if (!sealtool::GuardProcess()) return 2;
  Arguments args;
  const int parsed = ParseArguments(argc, argv, &args);
  if (parsed != 0) return parsed == 1 ? 0 : 2;

  static std::uint8_t image[sealtool::kImageSize];
  if (!ReadImage(args.imagePath, image, true)) return 2;
  static std::uint8_t expectedId[sealtool::kKeyIdSize];
  if (args.expectedKey != nullptr) {
    if (!ExpectedKeyId(args.expectedKey, expectedId)) return 2;
    args.options.expectedKeyId = expectedId;
  }
  static std::uint8_t input[sealtool::kImageSize];
  if (args.inputPath != nullptr) {
    if (!ReadImage(args.inputPath, input, false)) return 2;
    args.options.input = input;
  }
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
