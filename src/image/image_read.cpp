#include "image/image_read.h"

#include <cstdio>

#include "image/layout.h"

namespace sealtool {
namespace {

// Length of a seekable stream, rewound to its start; -1 when it cannot seek.
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

ImageRead ReadOpenStream(std::FILE* stream, std::uint8_t* buffer, std::size_t* size) {
  // A seekable file that is too long is refused before a byte is read.
  if (GetFileLength(stream) > static_cast<long>(kImageSize)) return ImageRead::kTooLong;
  *size = std::fread(buffer, 1, kImageSize, stream);
  const bool moreFollows = *size == kImageSize && std::fgetc(stream) != EOF;
  if (std::ferror(stream) != 0) return ImageRead::kReadError;
  return moreFollows ? ImageRead::kTooLong : ImageRead::kRead;
}

}  // namespace

ImageRead ReadAtMostOneImage(const char* path, std::uint8_t* buffer, std::size_t* size) {
  *size = 0;
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return ImageRead::kNotOpened;
  const ImageRead outcome = ReadOpenStream(stream, buffer, size);
  std::fclose(stream);
  return outcome;
}

}  // namespace sealtool
