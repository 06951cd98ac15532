// sealinfo: shows what a sealtool image holds and verifies what can be
// verified, before the image is flashed.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <initializer_list>
#include <vector>

#include "driver/image_file.h"
#include "platform/file_facts.h"
#include "platform/process_guard.h"
#include "image/dram_table.h"
#include "image/image_read.h"
#include "image/layout.h"
#include "image/run_mode.h"
#include "checks.h"
#include "inspect.h"
#include "keyring_names.h"
#include "record_check.h"
#include "report_output.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "keys/key_handle.h"

namespace {

using sealtool::inspect::InspectOptions;

constexpr char kUsage[] =
    "usage: sealinfo [--chip ID] [--keys DIR] [--mode MODE] [--input IN] [--assume-zero]\n"
    "                [--aes-key FILE] [--seal-key FILE] [--expect-key ID|FILE] [--keyring FILE]\n"
    "                [--json] IMAGE\n"
    "       sealinfo --record FILE [--manifest FILE] [--expect-key ID|FILE] [--keyring FILE]\n"
    "                [--mode MODE] [--chip ID] [--keys DIR] [--assume-zero] [IMAGE...]\n"
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
    "  --aes-key FILE the body key (or key-record user key) file, token form, in\n"
    "                 place of aes.txt in DIR\n"
    "  --seal-key FILE\n"
    "                 the digest seal key file, byte-list form, in place of aes.txt\n"
    "  --expect-key ID|FILE\n"
    "                 fail unless the image carries this RSA key: a key id (64 hex\n"
    "                 digits, either id sealkey id shows) or a public key file\n"
    "                 (rsa_pub.txt, PEM or DER)\n"
    "  --keyring FILE name each key of the image by the keyring (an RSA key by its\n"
    "                 key ids, an AES key by its check value) and fail an image\n"
    "                 whose key the keyring does not hold, or holds as revoked\n"
    "  --json         print the report as one JSON document\n"
    "  --record FILE  check a release against its record: the image files given\n"
    "                 (matched by SHA-256 or name), or every recorded output; each\n"
    "                 must have the recorded SHA-256 and key ids and pass the\n"
    "                 checks with the recorded mode, chip, input and key files;\n"
    "                 --expect-key, --mode and --chip must hold for each\n"
    "  --manifest FILE\n"
    "                 with --record: each image must have the manifest's mode,\n"
    "                 chip and public key, and none may be missing. Without\n"
    "                 --manifest, --mode or --expect-key the record's own claims\n"
    "                 are not trusted: the result is at best unverified. The\n"
    "                 manifest's keyring and release kind hold unless --keyring\n"
    "                 names another keyring\n"
    "  --help, --version\n"
    "\n"
    "Without --mode a sealed image whose checksum was made to hold cannot always be\n"
    "told from a plain one: a release gate gives --chip and --mode or --expect-key.\n"
    "Each option at most once.\n"
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
  const char* recordPath = nullptr;
  const char* manifestPath = nullptr;
  const char* keyringPath = nullptr;
  bool keyDirGiven = false;
  std::vector<char*> images;  // with --record: the images named
};

bool ParseChip(const char* text, std::int32_t* chip) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < INT32_MIN || value > INT32_MAX) return false;
  *chip = static_cast<std::int32_t>(value);
  return true;
}

// The options, each at most once; 0 is no option (an image's path).
enum OptionBit : unsigned {
  kNotAnOption = 0,
  kChipOption, kKeysOption, kModeOption, kInputOption, kExpectKeyOption, kJsonOption,
  kAssumeZeroOption, kRecordOption, kAesKeyOption, kSealKeyOption, kManifestOption,
  kKeyringOption,
};

// The bit of an option among those given.
constexpr unsigned Given(unsigned option) { return 1u << option; }

struct OptionWord {
  const char* word;
  OptionBit bit;
};

constexpr OptionWord kOptionWords[] = {
    {"--chip", kChipOption},   {"--keys", kKeysOption},
    {"--mode", kModeOption},   {"--input", kInputOption},
    {"--expect-key", kExpectKeyOption}, {"--json", kJsonOption},
    {"--assume-zero", kAssumeZeroOption}, {"--record", kRecordOption},
    {"--aes-key", kAesKeyOption},   {"--seal-key", kSealKeyOption},
    {"--manifest", kManifestOption}, {"--keyring", kKeyringOption},
};

unsigned OptionBitOf(const char* arg) {
  for (const OptionWord& option : kOptionWords) {
    if (std::strcmp(arg, option.word) == 0) return option.bit;
  }
  return kNotAnOption;
}

// Takes one option and its value. Returns null, or why the value is bad.
const char* TakeOption(unsigned bit, const char* value, Arguments* args) {
  switch (bit) {
    case kJsonOption: args->json = true; return nullptr;
    case kAssumeZeroOption: args->options.assumeZero = true; return nullptr;
    default: break;
  }
  if (value == nullptr) return "it needs a value";
  switch (bit) {
    case kChipOption:
      args->options.chipGiven = true;
      return ParseChip(value, &args->options.chip) ? nullptr : "the chip id is a decimal number";
    case kKeysOption:
      // A folder whose key paths would not fit is refused, never cut short.
      args->options.keyDir = value;
      args->keyDirGiven = true;
      return std::strlen(value) + 1 + kLongestKeyFileName <= sealtool::kMaxPathSize
                 ? nullptr
                 : "the folder's path leaves no room for its key files' names";
    case kExpectKeyOption: args->expectedKey = value; return nullptr;
    case kInputOption: args->inputPath = value; return nullptr;
    case kRecordOption: args->recordPath = value; return nullptr;
    case kManifestOption: args->manifestPath = value; return nullptr;
    case kKeyringOption: args->keyringPath = value; return nullptr;
    case kAesKeyOption: args->options.aesKeyPath = value; return nullptr;
    case kSealKeyOption: args->options.sealKeyPath = value; return nullptr;
    default:
      args->options.modeGiven = true;
      return sealtool::ParseRunModeName(value, &args->options.mode)
                 ? nullptr
                 : "the mode is plain, key-record, aes-seal or rsa";
  }
}

bool TakesValue(unsigned bit) { return bit != kJsonOption && bit != kAssumeZeroOption; }

// 0: go on; 1: help or version printed; 2: bad usage (already reported).
int ParseArguments(int argc, char** argv, Arguments* args) {
  unsigned given = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (std::strcmp(arg, "--help") == 0) {
      std::fputs(kUsage, stdout);
      return 1;
    }
    if (std::strcmp(arg, "--version") == 0) {
      std::printf("sealinfo %s\n", SEALTOOL_VERSION);
      return 1;
    }
    const unsigned bit = OptionBitOf(arg);
    const char* problem = nullptr;
    if (bit == kNotAnOption) {
      // A lone "-" is a file name like any other; one image only, but a
      // record's images may be many.
      if (arg[0] == '-' && arg[1] != '\0') problem = "no such option";
      args->images.push_back(argv[i]);
      args->imagePath = arg;
    } else if ((given & Given(bit)) != 0) {
      // A second value would silently win over the first, which a release
      // gate may be relying on.
      std::fprintf(stderr, "sealinfo: %s given twice\n%s", arg, kUsage);
      return 2;
    } else {
      given |= Given(bit);
      const char* value = TakesValue(bit) && i + 1 < argc ? argv[i + 1] : nullptr;
      problem = TakeOption(bit, value, args);
      if (TakesValue(bit)) ++i;
    }
    if (problem != nullptr) {
      std::fprintf(stderr, "sealinfo: bad argument '%s': %s\n%s", arg, problem, kUsage);
      return 2;
    }
  }
  // A record names each image's input and key files.
  constexpr unsigned kNotWithRecord =
      Given(kInputOption) | Given(kJsonOption) | Given(kAesKeyOption) | Given(kSealKeyOption);
  if ((given & Given(kRecordOption)) != 0 && (given & kNotWithRecord) != 0) {
    std::fprintf(stderr, "sealinfo: --record takes each image's input and key files from the record: "
                         "--input, --aes-key, --seal-key and --json do not go with it\n%s", kUsage);
    return 2;
  }
  if ((given & Given(kManifestOption)) != 0 && (given & Given(kRecordOption)) == 0) {
    std::fprintf(stderr, "sealinfo: --manifest goes with --record\n%s", kUsage);
    return 2;
  }
  // Options may come in any order: the count of images is known only now.
  if ((given & Given(kRecordOption)) == 0 && args->images.size() > 1) {
    std::fprintf(stderr, "sealinfo: bad argument '%s': one image only\n%s", args->images[1], kUsage);
    return 2;
  }
  if (args->imagePath == nullptr && (given & Given(kRecordOption)) == 0) {
    std::fprintf(stderr, "sealinfo: no image given\n%s", kUsage);
    return 2;
  }
  return 0;
}

// Key files are read from the folder: one that cannot be opened would make
// every key the built-in default and a good image look damaged.
bool KeyFolderOpens(const char* folder) {
  if (sealtool::FolderCanBeListed(folder)) return true;
  std::fprintf(stderr, "sealinfo: cannot open the key folder '%s': %s\n", folder, std::strerror(errno));
  return false;
}

// Reads path into image, zero-filled: exactly one image, or with
// wholeImage false (an input) at most one.
bool ReadImage(const char* path, std::uint8_t* image, bool wholeImage) {
  std::memset(image, 0, sealtool::kImageSize);
  std::size_t size = 0;
  const sealtool::ImageRead outcome = sealtool::ReadAtMostOneImage(path, image, &size);
  if (outcome == sealtool::ImageRead::kNotOpened) {
    std::fprintf(stderr, "sealinfo: cannot open '%s'\n", path);
    return false;
  }
  if (outcome != sealtool::ImageRead::kRead || (wholeImage && size != sealtool::kImageSize)) {
    std::fprintf(stderr, "sealinfo: '%s' is not %s %zu-byte image\n", path,
                 wholeImage ? "a" : "at most a", sealtool::kImageSize);
    return false;
  }
  return true;
}

// A key id as given, or the header key id of a public key file.
bool ExpectedKeyId(const char* text, const std::vector<char*>& images, std::uint8_t* id) {
  if (sealtool::ParseKeyId(text, id)) return true;
  for (const char* image : images) {
    if (!sealtool::SameFile(text, image)) continue;
    std::fprintf(stderr, "sealinfo: --expect-key names the image itself: an image cannot vouch "
                         "for its own key\n");
    return false;
  }
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  sealtool::KeyIds ids{};
  const bool loaded = sealtool::LoadPublicKey(text, &n, &e, &kind) &&
                      sealtool::ComputeKeyIds(&n, &e, &ids);
  sealtool::CloseKeys();
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  if (!loaded) {
    std::fprintf(stderr, "sealinfo: --expect-key takes a key id of 64 hex digits or a public key "
                         "file, not '%s'\n", sealtool::KeyRefForDisplay(text).text);
    return false;
  }
  std::memcpy(id, ids.header, sizeof ids.header);
  return true;
}

// Whether a check that only the right key, chip and bytes pass (the digest,
// the seal, the signature, the wrapped key) passed.
bool ASealPasses(const sealtool::inspect::Report& report) {
  using sealtool::inspect::CheckId;
  for (const CheckId id : {CheckId::kImageDigest, CheckId::kDigestSeal, CheckId::kRsaSignature, CheckId::kWrappedKey}) {
    if (sealtool::inspect::CheckPassed(report, id)) return true;
  }
  return false;
}

// A wrong --chip fails every check of a sealed image: when the image's seal
// passes as the chip its marker points to, the report says so.
void NameLikelyChip(const std::uint8_t* image, const InspectOptions& options, sealtool::inspect::Report* report) {
  using sealtool::inspect::Outcome;
  if (!options.chipGiven || sealtool::inspect::ReportOutcome(*report) != Outcome::kFailed || ASealPasses(*report)) {
    return;
  }
  InspectOptions detected = options;
  detected.chipGiven = false;
  static sealtool::inspect::Report asMarked;
  if (!sealtool::inspect::InspectImage(image, detected, &asMarked) || asMarked.chip == report->chip ||
      sealtool::inspect::ReportOutcome(asMarked) == Outcome::kFailed || !ASealPasses(asMarked)) {
    return;
  }
  sealtool::inspect::AddCheck(report, sealtool::inspect::CheckId::kChip, sealtool::inspect::Verdict::kFailed,
                              "the checks fail as chip %d but not as chip %d, which the marker points to: is "
                              "--chip right?",
                              static_cast<int>(report->chip), static_cast<int>(asMarked.chip));
}

int CheckRecord(const Arguments& args, const sealtool::Keyring* keyring) {
  sealtool::inspect::GateAnchors anchors;
  anchors.keyring.keyring = keyring;
  anchors.keyring.path = args.keyringPath != nullptr ? args.keyringPath : "";
  anchors.expectedKeyId = args.options.expectedKeyId;
  anchors.modeGiven = args.options.modeGiven;
  anchors.mode = args.options.mode;
  anchors.chipGiven = args.options.chipGiven;
  anchors.chip = args.options.chip;
  anchors.manifestPath = args.manifestPath;
  anchors.keyDirGiven = args.keyDirGiven;
  return sealtool::inspect::CheckAgainstRecord(args.recordPath, args.images.data(),
                                               static_cast<int>(args.images.size()), args.options, anchors);
}

}  // namespace

int main(int argc, char** argv) {
  if (!sealtool::GuardProcess()) return 2;
  Arguments args;
  const int parsed = ParseArguments(argc, argv, &args);
  if (parsed != 0) return parsed == 1 ? 0 : 2;
  if (!KeyFolderOpens(args.options.keyDir)) return 2;
  static std::uint8_t expectedId[sealtool::kKeyIdSize];
  if (args.expectedKey != nullptr) {
    if (!ExpectedKeyId(args.expectedKey, args.images, expectedId)) return 2;
    args.options.expectedKeyId = expectedId;
  }
  static sealtool::Keyring keyring;
  if (args.keyringPath != nullptr && !sealtool::inspect::LoadGateKeyring(args.keyringPath, &keyring)) return 2;
  const sealtool::Keyring* givenKeyring = args.keyringPath != nullptr ? &keyring : nullptr;
  if (args.recordPath != nullptr) return CheckRecord(args, givenKeyring);

  static std::uint8_t image[sealtool::kImageSize];
  if (!ReadImage(args.imagePath, image, true)) return 2;
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
  NameLikelyChip(image, args.options, &report);
  sealtool::inspect::KeyringGate gate;
  gate.keyring = givenKeyring;
  gate.path = args.keyringPath != nullptr ? args.keyringPath : "";
  sealtool::inspect::NameImageKeys(image, args.options, gate, &report);
  if (args.json) {
    sealtool::inspect::PrintJsonReport(args.imagePath, image, report);
  } else {
    sealtool::inspect::PrintTextReport(args.imagePath, image, report);
  }
  return sealtool::inspect::ReportExitStatus(report);
}
