#include "image/image_read.h"

#include <gtest/gtest.h>

#include "files.h"
#include "image/layout.h"

namespace sealtool {
namespace {

TEST(ImageReadTest, EachKindOfInputHasItsOutcome) {
  struct Case {
    const char* name;
    std::size_t fileSize;
    ImageRead outcome;
    std::size_t size;
  };
  const Case cases[] = {
      {"empty", 0, ImageRead::kRead, 0},
      {"short", 100, ImageRead::kRead, 100},
      {"one image", kImageSize, ImageRead::kRead, kImageSize},
      {"one byte more", kImageSize + 1, ImageRead::kTooLong, 0},
  };
  test::TempDir dir;
  static std::uint8_t buffer[kImageSize];
  for (const Case& c : cases) {
    test::Bytes bytes(c.fileSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7);
    test::WriteBytes(dir.File("in.bin"), bytes);
    std::size_t size = 12345;
    EXPECT_EQ(ReadAtMostOneImage(dir.File("in.bin").c_str(), buffer, &size), c.outcome) << c.name;
    EXPECT_EQ(size, c.size) << c.name;
    if (c.outcome == ImageRead::kRead) {
      EXPECT_EQ(test::Bytes(buffer, buffer + size), bytes) << c.name;
    }
  }
  std::size_t size = 0;
  EXPECT_EQ(ReadAtMostOneImage(dir.File("missing").c_str(), buffer, &size), ImageRead::kNotOpened);
  // A folder opens, but gives no image: whichever way it fails, it is no read.
  EXPECT_NE(ReadAtMostOneImage(dir.path().c_str(), buffer, &size), ImageRead::kRead);
}

}  // namespace
}  // namespace sealtool
