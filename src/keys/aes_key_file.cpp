#include "keys/aes_key_file.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "console/console.h"
#include "image/layout.h"
#include "keys/aes_key_parse.h"
#include "secret/secret_file.h"

namespace sealtool {
namespace {

constexpr std::size_t kKeyTokenLength = 2 * kAesKeySize;

constexpr std::uint8_t kDefaultKeyChip742[kAesKeySize] = {
    0xd9, 0x18, 0x15, 0x63, 0xfd, 0xfe, 0x66, 0x94,
    0x05, 0xe2, 0xbd, 0xb0, 0x18, 0xb5, 0xf5, 0x51};
constexpr std::uint8_t kDefaultKeyShared[kAesKeySize] = {
    0x8b, 0x63, 0xd9, 0xa2, 0xff, 0x35, 0xf9, 0xe6,
    0x8c, 0x3c, 0x4e, 0x6f, 0xa7, 0xeb, 0x22, 0xa2};

bool IsTokenSpace(int c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

// Reads one blank-separated token into token (at most its size less one
// characters, NUL-terminated) and returns its length. A token that does not
// fit gives the buffer's size, and reading stops there: such a token is
// refused whatever follows, and an endless one must not hold the run.
// 0 at end of file.
std::size_t ReadKeyToken(std::FILE* stream, char (&token)[kKeyTokenBufferSize]) {
  std::memset(token, 0, sizeof token);
  int c = std::fgetc(stream);
  while (c != EOF && IsTokenSpace(c)) {
    c = std::fgetc(stream);
  }
  std::size_t length = 0;
  while (c != EOF && !IsTokenSpace(c)) {
    if (length == sizeof token - 1) {
      return sizeof token;
    }
    token[length++] = static_cast<char>(c);
    c = std::fgetc(stream);
  }
  return length;
}

// Pair i of the token, converted on its own like strtol with base 16.
std::uint8_t ConvertKeyPair(const char* pair) {
  const char text[3] = {pair[0], pair[1], '\0'};
  return static_cast<std::uint8_t>(std::strtol(text, nullptr, 16));
}

void EchoKeyByte(std::uint8_t byte, KeyEchoStyle style) {
  if (style == KeyEchoStyle::kCompact) {
    SaySecret("%02x", byte);
  } else {
    SaySecret("%02x ", byte);
  }
}

}  // namespace

void GetDefaultAesKey(std::int32_t chip, std::uint8_t* key) {
  const std::uint8_t* source = (chip == kRsaChip) ? kDefaultKeyChip742 : kDefaultKeyShared;
  for (std::size_t i = 0; i < kAesKeySize; ++i) {
    key[i] = source[i];
  }
}

int ParseKeyToken(std::FILE* stream, std::uint8_t* key, bool* allHexDigits) {
  char token[kKeyTokenBufferSize];
  std::size_t length = 0;
  do {
    length = ReadKeyToken(stream, token);
    // The token is a C string: a NUL byte read into it ends it there.
    if (length < sizeof token) {
      length = std::strlen(token);
    }
  } while (length > 0 && length < sizeof token && token[0] == '#');
  const bool wellFormed = length == kKeyTokenLength && std::ferror(stream) == 0;
  if (wellFormed) {
    for (std::size_t i = 0; i < kAesKeySize; ++i) {
      key[i] = ConvertKeyPair(token + 2 * i);
    }
    if (allHexDigits != nullptr) {
      *allHexDigits = std::strspn(token, "0123456789abcdefABCDEF") == kKeyTokenLength;
    }
  }
  mbedtls_platform_zeroize(token, sizeof token);
  return wellFormed ? 0 : -1;
}

int ParseKeyByteList(std::FILE* stream, std::uint8_t* key) {
  int matched = 0;
  for (std::size_t i = 0; i < kAesKeySize; ++i) {
    unsigned int value = 0;
    if (std::fscanf(stream, "0x%x\r\n", &value) == 1) {
      key[i] = static_cast<std::uint8_t>(value & 0xFFu);
      ++matched;
    }
  }
  return matched;
}

namespace {

void PrintMalformedKey(const char* path) {
  SayFailed("  ! Please check %s\n Key must AES-128bits\n\n", path);
}

// A key file named explicitly has no default to fall back to.
void PrintMissingKeyFile(const char* path) {
  SayFailed("  ! Could not open %s\n\n", path);
}

// Reads the token form of an opened key file; the file is closed after.
int ReadTokenFrom(SecretFile* file, std::uint8_t* key, bool* allHexDigits) {
  const int result = ParseKeyToken(file->stream, key, allHexDigits);
  const bool failed = SecretFileFailed(*file);
  CloseSecretFile(file);
  return (result == 0 && !failed) ? 0 : -1;
}

// Reads the byte-list form of an opened key file; the file is closed after.
// wholeList asks for all sixteen values.
int ReadByteListFrom(SecretFile* file, std::uint8_t* key, bool wholeList, bool* allSixteen = nullptr) {
  const int matched = ParseKeyByteList(file->stream, key);
  if (allSixteen != nullptr) *allSixteen = matched == static_cast<int>(kAesKeySize);
  const bool failed = SecretFileFailed(*file) ||
                      (wholeList && matched != static_cast<int>(kAesKeySize));
  CloseSecretFile(file);
  return failed ? -1 : 0;
}

}  // namespace

bool ReadAesKeyToken(const char* path, std::int32_t chip, KeyEchoStyle style, std::uint8_t* key) {
  const char* name = path != nullptr ? path : kAesKeyFileName;
  SecretFile file{};
  const SecretFileStatus status = OpenSecretFile(&file, name);
  const bool echo = style != KeyEchoStyle::kNone;
  if (status == SecretFileStatus::kAbsent && path == nullptr) {
    if (echo) Say("No AES128 key file! Using default setting\n");
    GetDefaultAesKey(chip, key);
    return true;
  }
  if (echo) Say("AES-Key:\r\n");
  if (status == SecretFileStatus::kAbsent) {
    PrintMissingKeyFile(name);
    return false;
  }
  // A key file that exists but cannot be read is as bad as a malformed one:
  // the default key would quietly replace the user's.
  if (status != SecretFileStatus::kOpened || ReadTokenFrom(&file, key, nullptr) != 0) {
    PrintMalformedKey(name);
    return false;
  }
  if (!echo) return true;
  for (std::size_t i = 0; i < kAesKeySize; ++i) {
    EchoKeyByte(key[i], style);
  }
  Say("\r\n");
  return true;
}

bool ReadAesKeyBytes(const char* path, std::int32_t chip, std::uint8_t* key) {
  const char* name = path != nullptr ? path : kAesKeyFileName;
  SecretFile file{};
  const SecretFileStatus status = OpenSecretFile(&file, name);
  if (status == SecretFileStatus::kAbsent && path == nullptr) {
    GetDefaultAesKey(chip, key);
    return true;
  }
  if (status == SecretFileStatus::kAbsent) {
    PrintMissingKeyFile(name);
    return false;
  }
  if (status != SecretFileStatus::kOpened || ReadByteListFrom(&file, key, path != nullptr) != 0) {
    PrintMalformedKey(name);
    return false;
  }
  return true;
}

KeyOrigin FindAesKeyToken(const char* path, std::int32_t chip, std::uint8_t* key,
                          bool* allHexDigits) {
  SecretFile file{};
  const SecretFileStatus status = OpenSecretFile(&file, path);
  if (status == SecretFileStatus::kAbsent) {
    GetDefaultAesKey(chip, key);
    return KeyOrigin::kDefault;
  }
  const bool read = status == SecretFileStatus::kOpened && ReadTokenFrom(&file, key, allHexDigits) == 0;
  return read ? KeyOrigin::kFile : KeyOrigin::kMalformed;
}

KeyOrigin FindAesKeyBytes(const char* path, std::int32_t chip, std::uint8_t* key, bool* allSixteen) {
  SecretFile file{};
  const SecretFileStatus status = OpenSecretFile(&file, path);
  if (status == SecretFileStatus::kAbsent) {
    GetDefaultAesKey(chip, key);
    return KeyOrigin::kDefault;
  }
  const bool read = status == SecretFileStatus::kOpened && ReadByteListFrom(&file, key, false, allSixteen) == 0;
  return read ? KeyOrigin::kFile : KeyOrigin::kMalformed;
}

}  // namespace sealtool
