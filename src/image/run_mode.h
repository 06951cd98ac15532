// The four run modes, the one type that the driver, the sealing step, the
// clearing rule and sealinfo share, with the names they are printed and
// parsed by.
#pragma once

#include <cstdint>

namespace sealtool {

// RSA and AES-seal are the secure modes: they seal the image. Key-record
// mode wraps the user key instead; plain mode only checks and checksums.
enum class RunMode { kPlain, kKeyRecord, kRsa, kAesSeal };

// The mode chip and secure_boot select: 0 is plain; chip 742 with 2 is
// RSA; 3 on any other chip is key-record; every other value is AES-seal.
RunMode ChooseRunMode(std::int32_t chip, std::int32_t secureBoot);

bool IsSecureMode(RunMode mode);

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
