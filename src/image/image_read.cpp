#include "image/image_read.h"

#include <algorithm>
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

ImageRead ReadImageHead(const char* path, std::uint8_t* buffer, std::size_t headSize, std::size_t* size) {
  *size = 0;
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return ImageRead::kNotOpened;
  const long length = GetFileLength(stream);
  ImageRead outcome = ImageRead::kRead;
  if (length < 0) {
    outcome = ReadOpenStream(stream, buffer, size);  // a pipe tells its length only when read
  } else if (length > static_cast<long>(kImageSize)) {
    outcome = ImageRead::kTooLong;
  } else {
    const std::size_t wanted = std::min(headSize, static_cast<std::size_t>(length));
    if (std::fread(buffer, 1, wanted, stream) != wanted) outcome = ImageRead::kReadError;
    *size = static_cast<std::size_t>(length);
  }
  std::fclose(stream);
  return outcome;
}

ImageRead ReadAtMostOneImage(const char* path, std::uint8_t* buffer, std::size_t* size) {
  *size = 0;
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return ImageRead::kNotOpened;
  const ImageRead outcome = ReadOpenStream(stream, buffer, size);
  std::fclose(stream);
  return outcome;
}

}  // namespace sealtool
