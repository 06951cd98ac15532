// Reading at most one image from a file, quietly: each program says what
// went wrong in its own words.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

enum class ImageRead {
  kRead,
  kNotOpened,
  kTooLong,  // more than one image: refused rather than cut short
  kReadError,
};

// At most kImageSize bytes of the file at path into buffer; *size gets how
// many. A longer input is kTooLong whether or not it can tell its length (a
// pipe cannot): one byte more after a full image is enough.
ImageRead ReadAtMostOneImage(const char* path, std::uint8_t* buffer, std::size_t* size);

// The first headSize bytes of the file at path, and its length in *size,
// refusing a file longer than one image as ReadAtMostOneImage does: for a
// check of the header that does not read the whole file. A file that cannot
// tell its length (a pipe) is read whole.
ImageRead ReadImageHead(const char* path, std::uint8_t* buffer, std::size_t headSize, std::size_t* size);

}  // namespace sealtool
