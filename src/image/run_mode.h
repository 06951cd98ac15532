// The four run modes and their table: one row per mode says what the mode
// reads and writes, and how it is named in messages, manifests and records.
// The driver, the manifest's and the record's checks and sealinfo read the
// rows; the steps each mode runs are the rows of seal/mode_steps.h.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

// RSA and AES-seal are the secure modes: they seal the image. Key-record
// mode wraps the user key instead; plain mode only checks and checksums.
enum class RunMode { kPlain, kKeyRecord, kRsa, kAesSeal };

// The mode chip and secure_boot select: 0 is plain; chip 742 with 2 is
// RSA; 3 on any other chip is key-record; every other value is AES-seal.
RunMode ChooseRunMode(std::int32_t chip, std::int32_t secureBoot);

// The regions of the header area a mode fills, one bit each.
enum ModeRegion : unsigned {
  kRegionWrappedKey = 1u << 0,
  kRegionModulus = 1u << 1,     // and the exponent: the public key
  kRegionRsaSignature = 1u << 2,
  kRegionDigestSeal = 1u << 3,
  kRegionImageDigest = 1u << 4,
  kRegionBody = 1u << 5,  // encrypted
};

// One mode: what it reads and writes. Every mode writes the boot-header
// marker and the checksum.
struct RunModeInfo {
  RunMode mode;
  const char* name;      // "plain", "key-record", "rsa" or "aes-seal"
  unsigned reads;        // the key options it reads (RunOption bits)
  unsigned writes;       // the regions it fills (ModeRegion bits)
  unsigned clears;       // the regions cleared before the checksum, on a chip that clears them
  bool checksBootHeader;  // else it checks the key record
};

const RunModeInfo& ModeInfoOf(RunMode mode);

// A secure mode seals: the image digest, the body encrypted, the header
// digest protected.
bool IsSecureMode(RunMode mode);

// RSA-signed: the mode stores a public key and a signature, which can be
// made elsewhere.
bool SignsWithRsa(RunMode mode);

// True when offset lies in one of regions (ModeRegion bits).
bool RegionsHold(unsigned regions, std::size_t offset);

// "plain", "key-record", "rsa" or "aes-seal".
const char* RunModeName(RunMode mode);

// The mode of a name RunModeName gives; false for any other text.
bool ParseRunModeName(const char* name, RunMode* mode);

// The key options of a run, one bit each: a mode reads some of them and
// refuses the rest, so that no option is dropped without a word.
enum RunOption : unsigned {
  kRunOptionRsaKey = 1u << 0,
  kRunOptionRsaPub = 1u << 1,
  kRunOptionAesKey = 1u << 2,
  kRunOptionSealKey = 1u << 3,
  kRunOptionSignLater = 1u << 4,
  kRunOptionSignature = 1u << 5,
};

// The options a run of mode reads.
unsigned RunOptionsOfMode(RunMode mode);

// Which run an option needs, for the message that refuses it elsewhere:
// "RSA mode: chip 742, secure_boot 2".
const char* RunOptionNeeds(RunOption option);

}  // namespace sealtool
