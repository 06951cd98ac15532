#include "image/image_read.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <iterator>

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

// The head alone: the first bytes and the whole length, with the same
// refusal of a file longer than one image.
TEST(ImageReadTest, TheHeadOfAFileTellsItsLengthAndFirstBytes) {
  struct Case {
    std::size_t fileSize;
    ImageRead outcome;
    std::size_t size;
    std::size_t headRead;
  };
  const Case cases[] = {
      {0, ImageRead::kRead, 0, 0},
      {100, ImageRead::kRead, 100, 100},
      {kImageSize, ImageRead::kRead, kImageSize, kHeaderAreaSize},
      {kImageSize + 1, ImageRead::kTooLong, 0, 0},
  };
  test::TempDir dir;
  static std::uint8_t buffer[kImageSize];
  for (const Case& c : cases) {
    test::Bytes bytes(c.fileSize);
    for (std::size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<std::uint8_t>(i * 7 + 1);
    test::WriteBytes(dir.File("in.bin"), bytes);
    std::fill(std::begin(buffer), std::end(buffer), 0);
    std::size_t size = 12345;
    EXPECT_EQ(ReadImageHead(dir.File("in.bin").c_str(), buffer, kHeaderAreaSize, &size), c.outcome) << c.fileSize;
    EXPECT_EQ(size, c.size) << c.fileSize;
    EXPECT_EQ(test::Bytes(buffer, buffer + c.headRead), test::Bytes(bytes.begin(), bytes.begin() + c.headRead));
    EXPECT_EQ(buffer[c.headRead], 0) << "read past the head: " << c.fileSize;
  }
  std::size_t size = 0;
  EXPECT_EQ(ReadImageHead(dir.File("missing").c_str(), buffer, kHeaderAreaSize, &size), ImageRead::kNotOpened);
}

}  // namespace
}  // namespace sealtool
