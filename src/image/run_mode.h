// The four run modes, the one type that the driver, the sealing step, the
// clearing rule and sealinfo share, with the names they are printed and
// parsed by.
#pragma once

namespace sealtool {

// RSA and AES-seal are the secure modes: they seal the image. Key-record
// mode wraps the user key instead; plain mode only checks and checksums.
enum class RunMode { kPlain, kKeyRecord, kRsa, kAesSeal };

bool IsSecureMode(RunMode mode);

// "plain", "key-record", "rsa" or "aes-seal".
const char* RunModeName(RunMode mode);

// The mode of a name RunModeName gives; false for any other text.
bool ParseRunModeName(const char* name, RunMode* mode);

}  // namespace sealtool
