// The operating system's part in reading secrets. Key files are read
// through a stream whose buffer is ours, so that the key text the stream
// buffered can be wiped once the file is closed, and whose length is
// bounded, so that an endless source (a link to /dev/zero, a pipe that
// never ends) cannot hold a run forever. A secret asked for on the terminal
// is read without echo.
#pragma once

#include <cstddef>
#include <cstdio>

namespace sealtool {

// No key file of the system comes near this; more is an error.
inline constexpr std::size_t kSecretFileMaxBytes = 1 << 20;

struct SecretFile {
  std::FILE* stream;
  int fd;
  std::size_t remaining;  // bytes the stream may still read
  bool overLimit;         // the file went on past kSecretFileMaxBytes
  char buffer[BUFSIZ];
};

// kAbsent only when nothing at all stands at the name (not even a dangling
// link): the one case where a default key may take the file's place.
enum class SecretFileStatus { kOpened, kAbsent, kUnreadable };

// Opens path for reading. The stream reports an error once the file runs
// past kSecretFileMaxBytes.
SecretFileStatus OpenSecretFile(SecretFile* file, const char* path);

// True when a read failed or the file was too long.
bool SecretFileFailed(const SecretFile& file);

// Closes the stream and wipes what it buffered.
void CloseSecretFile(SecretFile* file);

// What became of reading a secret line. Every outcome but kRead leaves
// line empty.
enum class SecretRead {
  kRead,
  kUnreadable,       // the file cannot be opened or read
  kEmpty,
  kTooLong,          // the line does not fit
  kHoldsNul,         // a NUL byte would cut it short unseen
  kNoTerminal,       // standard input is no terminal: nobody can be asked
  kNoQuietTerminal,  // echo cannot be turned off: nothing is asked
};

// length without the line end ("\n", "\r\n") that text[0..length) ends in.
inline std::size_t WithoutLineEnd(const char* text, std::size_t length) {
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  return length;
}

// Asks for a secret on the terminal of standard input, without echo; the
// prompt goes to standard error. A termination signal during the prompt
// restores the terminal before the process ends. The line read goes into
// line as above; an empty answer is kRead with *length 0.
SecretRead PromptForSecret(const char* prompt, char* line, std::size_t size, std::size_t* length);

}  // namespace sealtool
