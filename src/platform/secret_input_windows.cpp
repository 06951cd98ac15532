#include "platform/secret_input.h"

#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <cerrno>
#include <cstring>

#include <mbedtls/platform_util.h>

#include "platform/windows_paths.h"

namespace sealtool {
namespace {

// The console's input mode before the prompt, for Ctrl+C during it.
HANDLE gConsoleInput = INVALID_HANDLE_VALUE;
DWORD gSavedMode = 0;

BOOL WINAPI RestoreConsoleMode(DWORD /*event*/) {
  SetConsoleMode(gConsoleInput, gSavedMode);
  return FALSE;  // the next handler (the process guard's) and the default one run
}

}  // namespace

// Opened in binary mode: the key readers take "\r\n" and "\n" alike. A file
// over the limit is refused before anything is read.
SecretFileStatus OpenSecretFile(SecretFile* file, const char* path) {
  file->stream = nullptr;
  file->fd = -1;
  file->remaining = kSecretFileMaxBytes;
  file->overLimit = false;
  const std::wstring wide = SystemPath(path);
  if (GetFileAttributesW(wide.c_str()) == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    return (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) ? SecretFileStatus::kAbsent
                                                                            : SecretFileStatus::kUnreadable;
  }
  file->stream = _wfopen(wide.c_str(), L"rb");
  if (file->stream == nullptr) return SecretFileStatus::kUnreadable;
  const __int64 size = _filelengthi64(_fileno(file->stream));
  file->overLimit = size > static_cast<__int64>(kSecretFileMaxBytes);
  std::setvbuf(file->stream, file->buffer, _IOFBF, sizeof file->buffer);
  return SecretFileStatus::kOpened;
}

bool SecretFileFailed(const SecretFile& file) {
  return file.overLimit || (file.stream != nullptr && std::ferror(file.stream) != 0);
}

void CloseSecretFile(SecretFile* file) {
  if (file->stream != nullptr) {
    std::fclose(file->stream);
    file->stream = nullptr;
  }
  mbedtls_platform_zeroize(file->buffer, sizeof file->buffer);
}

SecretRead PromptForSecret(const char* prompt, char* line, std::size_t size, std::size_t* length) {
  *length = 0;
  line[0] = '\0';
  gConsoleInput = GetStdHandle(STD_INPUT_HANDLE);
  DWORD saved = 0;
  if (gConsoleInput == INVALID_HANDLE_VALUE || GetConsoleMode(gConsoleInput, &saved) == 0) {
    return SecretRead::kNoTerminal;
  }
  gSavedMode = saved;
  SetConsoleCtrlHandler(RestoreConsoleMode, TRUE);
  DWORD now = 0;
  if (SetConsoleMode(gConsoleInput, saved & ~static_cast<DWORD>(ENABLE_ECHO_INPUT)) == 0 ||
      GetConsoleMode(gConsoleInput, &now) == 0 || (now & ENABLE_ECHO_INPUT) != 0) {
    SetConsoleMode(gConsoleInput, saved);
    SetConsoleCtrlHandler(RestoreConsoleMode, FALSE);
    return SecretRead::kNoQuietTerminal;
  }
  std::fprintf(stderr, "%s", prompt);
  std::fflush(stderr);
  DWORD count = 0;
  const BOOL read = ReadConsoleA(gConsoleInput, line, static_cast<DWORD>(size - 1), &count, nullptr);
  const bool cutShort = read != 0 && count == size - 1 && line[count - 1] != '\n';
  SetConsoleMode(gConsoleInput, saved);
  SetConsoleCtrlHandler(RestoreConsoleMode, FALSE);
  std::fputc('\n', stderr);
  if (read == 0 || count == 0 || cutShort) {
    mbedtls_platform_zeroize(line, size);
    line[0] = '\0';
    return cutShort ? SecretRead::kTooLong : SecretRead::kUnreadable;
  }
  *length = WithoutLineEnd(line, count);
  line[*length] = '\0';
  return SecretRead::kRead;
}

}  // namespace sealtool
