// What sealinfo finds in an image: its layout, the records of its header
// area, and the verdict of every check that the image's mode allows.
#pragma once

#include <cstddef>
#include <cstdint>

#include "image/dram_table.h"
#include "image/header_info.h"
#include "image/layout.h"
#include "image/run_mode.h"
#include "keys/key_id.h"
#include "release/keyring.h"

namespace sealtool::inspect {

enum class Verdict { kOk, kFailed, kNotVerifiable };

// Every check sealinfo knows, in the order a report lists them.
enum class CheckId {
  kBodyKey,
  kImageDigest,
  kDigestSeal,
  kClearedBytes,
  kRsaSignature,
  kPublicKey,
  kChecksum,
  kDramCount,
  kWrappedKey,
  kInput,
  kExpectedKey,
  kMode,
  kChip,
  kKeyring,
};

// What a report says as a whole: ok only when every check that establishes
// the image's integrity ran and passed.
enum class Outcome { kOk, kFailed, kUnverified };

struct InspectOptions {
  bool chipGiven = false;
  std::int32_t chip = 0;
  bool modeGiven = false;  // false: detect the mode
  RunMode mode = RunMode::kPlain;
  const char* keyDir = ".";
  bool assumeZero = false;               // overwritten input bytes were zero
  const std::uint8_t* input = nullptr;   // the input the image was made from, padded
  const std::uint8_t* expectedKeyId = nullptr;  // --expect-key: either id of the key
  const char* aesKeyPath = nullptr;   // --aes-key: the body or user key, in place of keyDir's aes.txt
  const char* sealKeyPath = nullptr;  // --seal-key: the digest seal key, in place of keyDir's aes.txt
  const char* rsaPubPath = nullptr;   // the public key file, in place of keyDir's rsa_pub.txt
};

// A key path at which nothing stands: the chip's built-in default key, as a
// run reads it when its key file is absent.
inline constexpr char kBuiltInKeyPath[] = "";

struct Check {
  CheckId id;
  Verdict verdict;
  char detail[200];
};

// A key of the image as a keyring named it (sealinfo --keyring).
inline constexpr std::size_t kNamedKeyIdSize = 65;
struct NamedKey {
  const char* role;                // rsa_key, aes_key or seal_key
  char id[kNamedKeyIdSize];        // the SubjectPublicKeyInfo key id, or the check value
  char otherId[kNamedKeyIdSize];   // an RSA key's header key id
  const KeyringEntry* entry;       // null: the keyring does not hold it
  bool development;                // by the keyring, or a built-in or example key
};

inline constexpr std::size_t kMaxShownDramEntries = 64;
inline constexpr std::size_t kMaxNamedKeys = 2;
inline constexpr std::size_t kMaxChecks = 13 + kMaxNamedKeys;
inline constexpr std::size_t kMaxWarnings = 6;

struct Report {
  std::int32_t chip;
  bool chipDetected;      // taken from the marker, not from --chip
  ChipLayout layout;
  RunMode mode;
  bool modeDetected;
  std::uint16_t marker;
  std::uint16_t checksumField;
  std::uint8_t version[kVersionBytesSize];
  unsigned dramCountField;
  unsigned dramWalkCount;
  DramEntry dramEntries[kMaxShownDramEntries];
  std::size_t dramShown;
  bool keyRecordValid;
  KeyRecordStamp stamp;
  std::uint8_t wrappedKey[kWrappedKeySize];
  bool hasKeyIds;  // an RSA image: the ids of the key it carries
  KeyIds keyIds;
  Check checks[kMaxChecks];
  std::size_t checkCount;
  bool keysNamed;  // a keyring, or a production release's rule, was applied
  NamedKey namedKeys[kMaxNamedKeys];
  std::size_t namedKeyCount;
  char warnings[kMaxWarnings][200];
  std::size_t warningCount;
};

// Fills report for a whole image (32768 bytes). Key files are read from
// options.keyDir. Returns false when the chip cannot be told.
bool InspectImage(const std::uint8_t* image, const InspectOptions& options, Report* report);

Outcome ReportOutcome(const Report& report);

// 0 ok, 1 a check failed, 3 unverified (2 is bad usage, told by main).
int ReportExitStatus(const Report& report);

const char* CheckName(CheckId id);
const char* VerdictName(Verdict verdict);
const char* OutcomeName(Outcome outcome);

}  // namespace sealtool::inspect
