#include "driver/image_file.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>

#include "image/layout.h"

namespace sealtool {
namespace {

constexpr int kTooLongRepeats = 10;
constexpr char kTempSuffix[] = ".sealtool-XXXXXX";

void PrintCannotOpen(const char* path) { std::printf("Can't open '%s' !\n", path); }

void PrintTooLong(const char* path) {
  for (int i = 0; i < kTooLongRepeats; ++i) {
    std::printf("Serial error !! '%s' exceed 16K bytes...\n", path);
  }
}

// A stream that cannot tell its length (a pipe) is caught here instead: one
// more byte after a full image means the input is too long.
bool MoreBytesFollow(std::FILE* stream) { return std::fgetc(stream) != EOF; }

// The file the output path names: a symbolic link is written through, as
// opening the path directly would do.
bool ResolveOutputTarget(const char* path, char (&target)[PATH_MAX]) {
  if (path[0] == '\0') {
    return false;  // no file has an empty name
  }
  if (realpath(path, target) != nullptr) {
    return true;
  }
  const std::size_t length = std::strlen(path);
  if (length >= sizeof target) {
    return false;
  }
  std::memcpy(target, path, length + 1);
  return true;
}

enum class OutputKind { kNew, kRegularFile, kSpecialFile, kUnwritable };

// What the output path names now. A device or a pipe (/dev/null, a FIFO) is
// written in place: replacing it with a regular file would destroy it.
OutputKind ClassifyOutput(const char* target) {
  struct stat info {};
  if (stat(target, &info) != 0) {
    return OutputKind::kNew;  // creating the temporary file decides
  }
  if (S_ISDIR(info.st_mode) || access(target, W_OK) != 0) {
    return OutputKind::kUnwritable;
  }
  return S_ISREG(info.st_mode) ? OutputKind::kRegularFile : OutputKind::kSpecialFile;
}

// "<dir>/.<name>.sealtool-XXXXXX", in the output's own directory so that the
// final rename never crosses a file system.
bool BuildTempTemplate(const char* target, char (&temp)[PATH_MAX]) {
  const char* slash = std::strrchr(target, '/');
  const std::size_t dirLength = slash ? static_cast<std::size_t>(slash - target) + 1 : 0;
  const char* name = target + dirLength;
  const int written = std::snprintf(temp, sizeof temp, "%.*s.%s%s",
                                    static_cast<int>(dirLength), target, name,
                                    kTempSuffix);
  return written > 0 && static_cast<std::size_t>(written) < sizeof temp;
}

mode_t CreationMode() {
  const mode_t mask = umask(0);
  umask(mask);
  return static_cast<mode_t>(0666 & ~mask);
}

// Writes, flushes and closes; every step's error counts, so a full disk or a
// file-size limit shows here and the temporary file is never renamed. No
// fsync: the rename already keeps a half-written image from ever standing at
// the output path, and a sync (0.2 to 0.5 ms here) would be a third or more
// of a whole run.
bool WriteAndCloseStream(std::FILE* stream, const std::uint8_t* buffer,
                         std::uint32_t size) {
  bool ok = std::fwrite(buffer, 1, size, stream) == size;
  ok = (std::fflush(stream) == 0) && ok;
  ok = (std::fclose(stream) == 0) && ok;
  return ok;
}

// The writer's closing line: the error, or the size written. Returns the
// writer's result.
int ReportWrite(bool written, std::uint32_t size) {
  if (!written) {
    std::printf("file writing error !\n");
    return 1;
  }
  std::printf("write size = %d\n", static_cast<int>(size));
  return 0;
}

int WriteSpecialFile(const char* path, const std::uint8_t* buffer, std::uint32_t size) {
  std::FILE* stream = std::fopen(path, "wb");
  if (stream == nullptr) {
    PrintCannotOpen(path);
    return 1;
  }
  std::printf("Writing '%s'...\n", path);
  return ReportWrite(WriteAndCloseStream(stream, buffer, size), size);
}

}  // namespace

long GetFileLength(std::FILE* stream) {
  if (std::fseek(stream, 0, SEEK_END) != 0) {
    return -1;
  }
  const long length = std::ftell(stream);
  if (std::fseek(stream, 0, SEEK_SET) != 0) {
    return -1;
  }
  return length;
}

int ReadImageFile(const char* path, std::uint8_t* buffer,
                  std::uint32_t* sizeOut) {
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) {
    PrintCannotOpen(path);
    return 1;
  }
  std::printf("Reading '%s'...\n", path);
  if (GetFileLength(stream) > static_cast<long>(kImageSize)) {
    PrintTooLong(path);
    std::fclose(stream);
    return 1;
  }
  *sizeOut = 0;
  *sizeOut += static_cast<std::uint32_t>(std::fread(buffer, 1, kImageSize, stream));
  const bool tooLong = (*sizeOut == kImageSize) && MoreBytesFollow(stream);
  if (std::ferror(stream)) {
    std::fclose(stream);
    std::printf("file reading error !\n");
    return 1;
  }
  std::fclose(stream);
  if (tooLong) {
    PrintTooLong(path);
    return 1;
  }
  std::printf("file size = %d\n", static_cast<int>(*sizeOut));
  return 0;
}

int WriteImageFile(const char* path, const std::uint8_t* buffer,
                   std::uint32_t size) {
  char target[PATH_MAX];
  char temp[PATH_MAX];
  const bool resolved = ResolveOutputTarget(path, target);
  const OutputKind kind = resolved ? ClassifyOutput(target) : OutputKind::kUnwritable;
  if (kind == OutputKind::kSpecialFile) {
    return WriteSpecialFile(path, buffer, size);
  }
  if (kind == OutputKind::kUnwritable || !BuildTempTemplate(target, temp)) {
    PrintCannotOpen(path);
    return 1;
  }
  const int fd = mkstemp(temp);
  if (fd < 0) {
    PrintCannotOpen(path);
    return 1;
  }
  std::FILE* stream = (fchmod(fd, CreationMode()) == 0) ? fdopen(fd, "wb") : nullptr;
  if (stream == nullptr) {
    close(fd);
    unlink(temp);
    PrintCannotOpen(path);
    return 1;
  }
  std::printf("Writing '%s'...\n", path);
  const bool written =
      WriteAndCloseStream(stream, buffer, size) && std::rename(temp, target) == 0;
  if (!written) {
    unlink(temp);
  }
  return ReportWrite(written, size);
}

}  // namespace sealtool
