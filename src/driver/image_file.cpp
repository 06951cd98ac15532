#include "driver/image_file.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "console/console.h"
#include "platform/output_target.h"
#include "platform/staged_file.h"
#include "image/image_read.h"
#include "image/layout.h"

namespace sealtool {
namespace {

constexpr int kTooLongRepeats = 10;

void PrintCannotOpen(const char* path) { Say("Can't open '%s' !\n", path); }

void PrintTooLong(const char* path) {
  for (int i = 0; i < kTooLongRepeats; ++i) {
    Say("Serial error !! '%s' exceed 16K bytes...\n", path);
  }
}

// The writer's closing line: the error, or the size written. Returns the
// writer's result.
bool ReportWrite(bool written, std::uint32_t size) {
  if (!written) {
    Say("file writing error !\n");
    return false;
  }
  Say("write size = %d\n", static_cast<int>(size));
  return true;
}

// Writes over the file itself, as "wb" would: for devices and pipes, and for
// a file beside which no temporary file can be made or put in its place. A
// failure part way leaves the file cut short.
bool WriteInPlace(const OutputTarget& target, const char* path, const std::uint8_t* buffer,
                  std::uint32_t size, bool announced) {
  bool opened = false;
  const bool written = OverwriteTarget(target, buffer, size, &opened);
  if (!opened && !announced) {
    PrintCannotOpen(path);
    return false;
  }
  if (!announced) Say("Writing '%s'...\n", path);
  return ReportWrite(written, size);
}

// A new or regular output: written to a temporary file beside it, which
// replaces the output only once every byte is on disk. No fsync: the rename
// already keeps a half-written image from ever standing at the output path,
// and a sync (0.2 to 0.5 ms here) would be a third or more of a whole run.
bool WriteByReplacing(const OutputTarget& target, const char* path, const std::uint8_t* buffer,
                      std::uint32_t size) {
  StagedFile staged{};
  if (!StageFile(&staged, target.dirFd, target.name, CreationMode())) {
    if (target.kind == OutputKind::kRegularFile) {
      return WriteInPlace(target, path, buffer, size, false);
    }
    PrintCannotOpen(path);
    return false;
  }
  Say("Writing '%s'...\n", path);
  const bool complete = WriteAll(staged.fd, buffer, size) && CloseStagedFile(&staged);
  if (!complete) {
    DiscardStagedFile(&staged);
    return ReportWrite(false, size);
  }
  if (CommitStagedFiles(&staged, 1)) {
    return ReportWrite(true, size);
  }
  if (ReplacingWasRefused(errno) && target.kind == OutputKind::kRegularFile) {
    return WriteInPlace(target, path, buffer, size, true);
  }
  return ReportWrite(false, size);
}

}  // namespace

bool ReadImageFile(const char* path, std::uint8_t* buffer, std::uint32_t* sizeOut) {
  std::size_t size = 0;
  const ImageRead outcome = ReadAtMostOneImage(path, buffer, &size);
  if (outcome == ImageRead::kNotOpened) {
    PrintCannotOpen(path);
    return false;
  }
  Say("Reading '%s'...\n", path);
  if (outcome == ImageRead::kTooLong) {
    PrintTooLong(path);
    return false;
  }
  if (outcome == ImageRead::kReadError) {
    Say("file reading error !\n");
    return false;
  }
  *sizeOut = static_cast<std::uint32_t>(size);
  Say("file size = %d\n", static_cast<int>(*sizeOut));
  return true;
}

bool StageImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size,
                    StagedFile* staged) {
  OutputTarget target{};
  staged->dirFd = -1;
  staged->fd = -1;
  const bool resolved = ResolveOutputTarget(path, &target);
  staged->dirFd = target.dirFd;
  if (!resolved || target.kind == OutputKind::kSpecialFile) {
    if (errno == 0) errno = EINVAL;
    return false;
  }
  if (!StageFile(staged, target.dirFd, target.name, CreationMode())) return false;
  const bool complete = WriteAll(staged->fd, buffer, size) && CloseStagedFile(staged);
  if (!complete) {
    const int error = errno;
    DiscardStagedFile(staged);
    errno = error;
  }
  return complete;
}

bool WriteImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size) {
  OutputTarget target{};
  bool result = false;
  if (!ResolveOutputTarget(path, &target)) {
    PrintCannotOpen(path);
  } else if (target.kind == OutputKind::kSpecialFile) {
    result = WriteInPlace(target, path, buffer, size, false);
  } else {
    result = WriteByReplacing(target, path, buffer, size);
  }
  CloseFolder(target.dirFd);
  return result;
}

}  // namespace sealtool
