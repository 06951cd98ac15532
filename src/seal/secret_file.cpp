#include "seal/secret_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <termios.h>

#include <cerrno>
#include <cstring>

#include <mbedtls/platform_util.h>

namespace sealtool {
namespace {

ssize_t ReadOnce(int fd, char* buffer, std::size_t size) {
  ssize_t count = 0;
  do {
    count = read(fd, buffer, size);
  } while (count < 0 && errno == EINTR);
  return count;
}

// The stream's read function: at most kSecretFileMaxBytes in all; past
// that, one byte more means the file is too long, which is an error.
ssize_t ReadBounded(void* cookie, char* buffer, std::size_t size) {
  auto* file = static_cast<SecretFile*>(cookie);
  if (file->remaining == 0) {
    char probe = 0;
    const ssize_t more = ReadOnce(file->fd, &probe, 1);
    mbedtls_platform_zeroize(&probe, sizeof probe);
    if (more == 0) return 0;
    file->overLimit = true;
    return -1;
  }
  const ssize_t count = ReadOnce(file->fd, buffer, size < file->remaining ? size : file->remaining);
  if (count > 0) file->remaining -= static_cast<std::size_t>(count);
  return count;
}

int CloseDescriptor(void* cookie) {
  auto* file = static_cast<SecretFile*>(cookie);
  const int result = close(file->fd);
  file->fd = -1;
  return result;
}

bool NothingAt(const char* path) {
  struct stat info {};
  return lstat(path, &info) != 0 && errno == ENOENT;
}

}  // namespace

SecretFileStatus OpenSecretFile(SecretFile* file, const char* path) {
  file->stream = nullptr;
  file->remaining = kSecretFileMaxBytes;
  file->overLimit = false;
  file->fd = open(path, O_RDONLY | O_CLOEXEC);
  if (file->fd < 0) {
    return (errno == ENOENT && NothingAt(path)) ? SecretFileStatus::kAbsent
                                                : SecretFileStatus::kUnreadable;
  }
  const cookie_io_functions_t functions{ReadBounded, nullptr, nullptr, CloseDescriptor};
  file->stream = fopencookie(file, "r", functions);
  if (file->stream == nullptr) {
    close(file->fd);
    file->fd = -1;
    return SecretFileStatus::kUnreadable;
  }
  std::setvbuf(file->stream, file->buffer, _IOFBF, sizeof file->buffer);
  return SecretFileStatus::kOpened;
}

bool SecretFileFailed(const SecretFile& file) {
  return file.overLimit || (file.stream != nullptr && std::ferror(file.stream) != 0);
}

namespace {

std::size_t WithoutLineEnd(const char* text, std::size_t length) {
  while (length > 0 && (text[length - 1] == '\n' || text[length - 1] == '\r')) --length;
  return length;
}

}  // namespace

int ReadSecretLine(const char* path, char* line, std::size_t size) {
  SecretFile file{};
  if (OpenSecretFile(&file, path) != SecretFileStatus::kOpened) return kSecretLineUnreadable;
  const bool read = std::fgets(line, static_cast<int>(size), file.stream) != nullptr;
  const bool failed = SecretFileFailed(file);
  CloseSecretFile(&file);
  if (failed) return kSecretLineUnreadable;
  if (!read) return kSecretLineEmpty;
  const std::size_t raw = std::strlen(line);
  if (raw + 1 == size && line[raw - 1] != '\n') return kSecretLineUnreadable;  // cut short
  const std::size_t length = WithoutLineEnd(line, raw);
  line[length] = '\0';
  return length == 0 ? kSecretLineEmpty : static_cast<int>(length);
}

int PromptForSecret(const char* prompt, char* line, std::size_t size) {
  termios saved{};
  if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved) != 0) return -1;
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet);
  const ssize_t count = read(STDIN_FILENO, line, size - 1);
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  std::fputc('\n', stderr);
  if (count <= 0) return -1;
  const std::size_t length = WithoutLineEnd(line, static_cast<std::size_t>(count));
  line[length] = '\0';
  return static_cast<int>(length);
}

void CloseSecretFile(SecretFile* file) {
  if (file->stream != nullptr) {
    std::fclose(file->stream);
    file->stream = nullptr;
  }
  mbedtls_platform_zeroize(file->buffer, sizeof file->buffer);
}

}  // namespace sealtool
