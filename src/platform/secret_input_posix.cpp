#include "platform/secret_input.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <signal.h>
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

constexpr int kPromptSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGALRM, SIGUSR1, SIGUSR2};
constexpr std::size_t kPromptSignalCount = sizeof kPromptSignals / sizeof kPromptSignals[0];

// The terminal as it was before the prompt, for the signal handler.
termios gSavedTerminal;
struct sigaction gPreviousActions[kPromptSignalCount];

// Async-signal-safe: tcsetattr, sigaction and raise only. The signal's
// previous action (the process guard's, or the default) then runs as soon
// as this handler returns.
extern "C" void RestoreTerminalAndResignal(int signal) {
  const int savedErrno = errno;
  tcsetattr(STDIN_FILENO, TCSANOW, &gSavedTerminal);
  for (std::size_t i = 0; i < kPromptSignalCount; ++i) {
    if (kPromptSignals[i] == signal) sigaction(signal, &gPreviousActions[i], nullptr);
  }
  raise(signal);
  errno = savedErrno;
}

void GuardTerminal() {
  for (std::size_t i = 0; i < kPromptSignalCount; ++i) {
    struct sigaction action {};
    action.sa_handler = RestoreTerminalAndResignal;
    sigfillset(&action.sa_mask);
    sigaction(kPromptSignals[i], nullptr, &gPreviousActions[i]);
    if (gPreviousActions[i].sa_handler == SIG_IGN) continue;
    sigaction(kPromptSignals[i], &action, nullptr);
  }
}

void UnguardTerminal() {
  for (std::size_t i = 0; i < kPromptSignalCount; ++i) {
    sigaction(kPromptSignals[i], &gPreviousActions[i], nullptr);
  }
}

// Echo off, and checked: a terminal that keeps echoing would show the secret.
bool SilenceTerminal(const termios& saved) {
  termios quiet = saved;
  quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
  termios now{};
  return tcsetattr(STDIN_FILENO, TCSAFLUSH, &quiet) == 0 && tcgetattr(STDIN_FILENO, &now) == 0 &&
         (now.c_lflag & ECHO) == 0;
}

// Reads the rest of a line that did not fit, so that it is not taken as
// the next command's input, and wipes it.
void DrainLine() {
  char rest[64];
  for (;;) {
    const ssize_t count = ReadOnce(STDIN_FILENO, rest, sizeof rest);
    const bool ended = count <= 0 || std::memchr(rest, '\n', static_cast<std::size_t>(count)) != nullptr;
    mbedtls_platform_zeroize(rest, sizeof rest);
    if (ended) return;
  }
}

}  // namespace

SecretRead PromptForSecret(const char* prompt, char* line, std::size_t size, std::size_t* length) {
  *length = 0;
  line[0] = '\0';
  termios saved{};
  if (isatty(STDIN_FILENO) != 1 || tcgetattr(STDIN_FILENO, &saved) != 0) return SecretRead::kNoTerminal;
  gSavedTerminal = saved;
  GuardTerminal();
  if (!SilenceTerminal(saved)) {
    tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
    UnguardTerminal();
    return SecretRead::kNoQuietTerminal;
  }
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  const ssize_t count = ReadOnce(STDIN_FILENO, line, size - 1);
  const bool cutShort = count == static_cast<ssize_t>(size - 1) && line[count - 1] != '\n';
  if (cutShort) DrainLine();
  tcsetattr(STDIN_FILENO, TCSAFLUSH, &saved);
  UnguardTerminal();
  std::fputc('\n', stderr);
  if (count <= 0 || cutShort) {
    mbedtls_platform_zeroize(line, size);
    line[0] = '\0';
    return count <= 0 ? SecretRead::kUnreadable : SecretRead::kTooLong;
  }
  *length = WithoutLineEnd(line, static_cast<std::size_t>(count));
  line[*length] = '\0';
  return SecretRead::kRead;
}

void CloseSecretFile(SecretFile* file) {
  if (file->stream != nullptr) {
    std::fclose(file->stream);
    file->stream = nullptr;
  }
  mbedtls_platform_zeroize(file->buffer, sizeof file->buffer);
}

}  // namespace sealtool
