// Moving an image between a file and the image buffer, with the progress and
// error lines the tool prints.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/output_target.h"
#include "platform/staged_file.h"

namespace sealtool {

// Reads at most one image (32768 bytes) into buffer and reports the count.
// A longer input, seekable or not, is refused rather than cut short. False
// after printing why.
bool ReadImageFile(const char* path, std::uint8_t* buffer, std::uint32_t* sizeOut);

// Replaces the file at path with size bytes of buffer; every path that
// fopen(path, "wb") could open works. A symbolic link is written through,
// also a dangling one, whose target is created. The bytes go to a temporary
// file beside the target that replaces it only once complete, so a failed
// write never leaves a truncated image behind. Devices and pipes, and a
// writable file beside which no temporary file can be made or moved into
// place (a read-only folder, another user's file in a sticky folder), are
// written in place instead, where a failure part way cuts the file short.
// False after printing why.
bool WriteImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size);

// An image written under a temporary name beside the file its path names
// (links followed as WriteImageFile follows them), to be moved into place
// with others by CommitStagedFiles. Only a new or regular file can be
// staged: a device or a pipe cannot be replaced. False, with errno set,
// when the file cannot be made or written; the caller closes dirFd either
// way (-1 when none was opened).
bool StageImageFile(const char* path, const std::uint8_t* buffer, std::uint32_t size,
                    StagedFile* staged);

}  // namespace sealtool
