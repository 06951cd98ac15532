#include "driver/record_file.h"

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "driver/image_file.h"

namespace sealtool {

bool StageRecordFile(const std::string& path, const std::string& text, StagedFile* staged) {
  errno = 0;
  if (StageImageFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                     static_cast<std::uint32_t>(text.size()), staged)) {
    return true;
  }
  std::printf("the record %s cannot be written: %s\n", path.c_str(),
              errno == EINVAL ? "not a regular file or a new name" : std::strerror(errno));
  return false;
}

}  // namespace sealtool
