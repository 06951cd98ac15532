// The AES key file "aes.txt" and the built-in default keys.
//
// The token form holds the user key (key-record mode) or the body key
// (secure modes) as one 32-character token, with '#' tokens as comments. The
// byte-list form holds the seal key as sixteen "0x.." values. When the file
// is absent, the chip's default key takes its place.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

inline constexpr std::size_t kAesKeySize = 16;
inline constexpr std::size_t kKeyBufferSize = 32;
inline constexpr std::size_t kKeyTokenBufferSize = 1024;
inline constexpr char kAesKeyFileName[] = "aes.txt";

// How the token reader echoes key bytes: key-record mode prints the digits
// run together ("%02x"), the secure modes one blank after each ("%02x ").
// kNone reads the key without a word (a check value shows no key byte);
// failures are still said.
enum class KeyEchoStyle { kCompact, kSpaced, kNone };

// The 16-byte default key of a chip: chip 742 has its own, every other chip
// shares one.
void GetDefaultAesKey(std::int32_t chip, std::uint8_t* key);

// The tool's reader of the token form: opens path (null: aes.txt in the
// working directory), prints and reads its key token. For aes.txt the chip's
// default key takes the place of a file that does not exist at all; a path
// given explicitly must exist. False after printing the malformed-key
// message: also for a file that exists but cannot be read.
bool ReadAesKeyToken(const char* path, std::int32_t chip, KeyEchoStyle style, std::uint8_t* key);

// The tool's reader of the byte-list form: the byte list of path (null:
// aes.txt, or the chip's default key when nothing stands at that name),
// silently. The caller clears the key buffer first. A file given explicitly
// must exist and hold all sixteen values. False after printing the
// malformed-key message.
bool ReadAesKeyBytes(const char* path, std::int32_t chip, std::uint8_t* key);

// Where a key that sealinfo looked for came from.
enum class KeyOrigin { kFile, kDefault, kMalformed };

// The token form of the key file at path, or the chip's default key when
// nothing stands at path; prints nothing. A file that cannot be read is
// kMalformed. allHexDigits, when not null, tells whether the token held hex
// digits only.
KeyOrigin FindAesKeyToken(const char* path, std::int32_t chip, std::uint8_t* key,
                          bool* allHexDigits = nullptr);

// The byte-list form of the key file at path, or the chip's default key when
// nothing stands at path; kMalformed when it cannot be read. The caller
// clears key first. allSixteen, when not null, tells whether the list held
// all sixteen values.
KeyOrigin FindAesKeyBytes(const char* path, std::int32_t chip, std::uint8_t* key, bool* allSixteen = nullptr);

}  // namespace sealtool
