#include "image/checksum.h"

#include <gtest/gtest.h>

#include <vector>

#include "image/byte_order.h"
#include "image/layout.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

std::vector<std::uint8_t> EmptyImage() { return std::vector<std::uint8_t>(kImageSize, 0); }

// The whole checksum step as the run flow performs it.
std::string RunChecksumStep(std::vector<std::uint8_t>& image, const ChipLayout& layout) {
  CaptureStdout();
  WriteMarkerAndClearChecksum(image.data(), layout);
  StoreImageChecksum(image.data(), layout);
  return GetCapturedStdout();
}

TEST(ChecksumTest, MarkerOnlyImageGivesKnownSumInBothGroups) {
  // Indices alone sum to 0x07FFE000; the marker adds 0xAA55.
  for (const ChipGroup group : {ChipGroup::kA, ChipGroup::kB}) {
    const ChipLayout layout = ChipLayoutOfGroup(group);
    auto image = EmptyImage();
    EXPECT_EQ(RunChecksumStep(image, layout),
              "##ui32BinDataSumValue: 0x08008A55\nCheckSum: 0x75AB\n\n");
    EXPECT_EQ(image[layout.bootHeader + 0], 0x55);
    EXPECT_EQ(image[layout.bootHeader + 1], 0xAA);
    EXPECT_EQ(image[layout.bootHeader + 2], 0xAB);
    EXPECT_EQ(image[layout.bootHeader + 3], 0x75);
    EXPECT_TRUE(ImageChecksumHolds(image.data()));
  }
}

TEST(ChecksumTest, EarlierChecksumFieldAndMarkerDoNotMatter) {
  const ChipLayout layout = SelectChipLayout(753);
  auto image = EmptyImage();
  image[layout.bootHeader + 0] = 0x12;
  image[layout.bootHeader + 1] = 0x34;
  image[layout.bootHeader + 2] = 0xFF;
  image[layout.bootHeader + 3] = 0xEE;
  EXPECT_EQ(RunChecksumStep(image, layout),
            "##ui32BinDataSumValue: 0x08008A55\nCheckSum: 0x75AB\n\n");
}

TEST(ChecksumTest, SmallChecksumKeepsLeadingZeros) {
  // Index sum low half 0xE000; w0 = 0x1F01 makes it 0xFF01, so 0x00FF.
  auto image = EmptyImage();
  StoreU16LE(image.data(), 0x1F01);
  CaptureStdout();
  const std::uint16_t checksum = ComputeBinCheckSum(image.data(), kImageSize);
  EXPECT_EQ(GetCapturedStdout(), "##ui32BinDataSumValue: 0x07FFFF01\n");
  EXPECT_EQ(checksum, 0x00FF);
}

TEST(ChecksumTest, HalfWordsAreUnsigned) {
  auto image = EmptyImage();
  StoreU16LE(image.data() + 100, 0xFFFF);
  EXPECT_EQ(SumHalfWordsWithIndex(image.data(), kImageSize), 0x07FFE000u + 0xFFFFu);
}

TEST(ChecksumTest, OddLengthIgnoresLastByteAndZeroLengthSumsNothing) {
  const std::uint8_t bytes[5] = {0x01, 0x02, 0x03, 0x04, 0x05};
  // (0x0201 + 0) + (0x0403 + 1)
  EXPECT_EQ(SumHalfWordsWithIndex(bytes, 5), 0x0605u);
  CaptureStdout();
  EXPECT_EQ(ComputeBinCheckSum(bytes, 0), 0);
  EXPECT_EQ(GetCapturedStdout(), "##ui32BinDataSumValue: 0x00000000\n");
}

TEST(ChecksumTest, InvariantHoldsForArbitraryContent) {
  auto image = EmptyImage();
  std::uint32_t x = 12345;
  for (auto& byte : image) {
    x = x * 1103515245u + 12345u;
    byte = static_cast<std::uint8_t>(x >> 16);
  }
  RunChecksumStep(image, SelectChipLayout(0));
  EXPECT_TRUE(ImageChecksumHolds(image.data()));
  image[9000] ^= 1;
  EXPECT_FALSE(ImageChecksumHolds(image.data()));
}

TEST(ChecksumTest, ClearSealRegionsTouchesOnlyItsRegions) {
  for (const RunMode mode : {RunMode::kAesSeal, RunMode::kRsa}) {
    const bool rsaMode = mode == RunMode::kRsa;
    std::vector<std::uint8_t> image(kImageSize, 0xEE);
    ClearSealRegions(image.data(), mode);
    for (std::size_t i = 0; i < kImageSize; ++i) {
      const bool signatureOrDigest = i >= 352 && i < 512;
      const bool modulusOrExponent = i >= 192 && i < 352;
      const bool cleared = signatureOrDigest || (rsaMode && modulusOrExponent);
      ASSERT_EQ(image[i], cleared ? 0 : 0xEE) << "offset " << i << " rsa " << rsaMode;
    }
  }
}

}  // namespace
}  // namespace sealtool
