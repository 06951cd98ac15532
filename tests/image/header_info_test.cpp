#include "image/header_info.h"

#include <gtest/gtest.h>

#include "image/layout.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;

TEST(HeaderChecksTest, BootMarkerIsTheFirstTwoBytesOnly) {
  const std::uint8_t good[4] = {0x55, 0xAA, 0x12, 0x34};
  const std::uint8_t swapped[4] = {0xAA, 0x55, 0x00, 0x00};
  const std::uint8_t zero[4] = {};
  EXPECT_EQ(CheckBootCode(good), 0);
  EXPECT_EQ(CheckBootCode(swapped), -1);
  EXPECT_EQ(CheckBootCode(zero), -1);
}

TEST(HeaderChecksTest, KeyRecordMagicIsLittleEndian) {
  const std::uint8_t good[12] = {0x15, 0x0B, 0x1A, 0x04};
  const std::uint8_t reversed[12] = {0x04, 0x1A, 0x0B, 0x15};
  const std::uint8_t almost[12] = {0x15, 0x0B, 0x1A, 0x05};
  EXPECT_EQ(CheckWrKeyCode(good), 0);
  EXPECT_EQ(CheckWrKeyCode(reversed), -1);
  EXPECT_EQ(CheckWrKeyCode(almost), -1);
}

TEST(HeaderDisplayTest, VersionBytesInTwoUpperCaseDigits) {
  std::uint8_t bootHeader[16] = {0x55, 0xAA};
  bootHeader[8] = 0x01;
  bootHeader[9] = 0x00;
  bootHeader[10] = 0x9A;
  bootHeader[11] = 0xFF;
  CaptureStdout();
  ShowVersionNumber(bootHeader);
  EXPECT_EQ(GetCapturedStdout(), "VersionNumber: 01,00,9A,FF\n");
}

struct StampCase {
  std::uint8_t record[12];
  const char* lines;
};

TEST(HeaderDisplayTest, KeyRecordLines) {
  const StampCase cases[] = {
      {{0x15, 0x0B, 0x1A, 0x04, 0x00, 0x00, 0x0A, 0x23, 0x9D, 0xC4, 0xAB, 0x00},
       "=>Secure program key\n=>[2018-03-09-00abc-10.02.03]\n"},
      {{0x15, 0x0B, 0x1A, 0x04}, "=>Secure program key\n=>[2013-00-00-00000-00.00.00]\n"},
      // Bit 11 of the date word has no effect; month 15, day 15, year 2020.
      {{0x15, 0x0B, 0x1A, 0x04, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x0F, 0x00, 0x00},
       "=>Secure program key\n=>[2020-15-15-00000-255.15.15]\n"},
      // The full 20-bit serial.
      {{0x15, 0x0B, 0x1A, 0x04, 0, 0, 0, 0, 0x00, 0xF0, 0xFF, 0xFF},
       "=>Secure program key\n=>[2013-00-00-fffff-00.00.00]\n"},
      // No magic: nothing at all.
      {{0x04, 0x1A, 0x0B, 0x15, 0, 0, 0x0A, 0x23, 0x9D, 0xC4, 0xAB, 0x00}, ""},
  };
  for (const StampCase& c : cases) {
    CaptureStdout();
    ShowSecureProgramKey(c.record);
    EXPECT_EQ(GetCapturedStdout(), c.lines);
  }
}

TEST(HeaderDisplayTest, DayHasFourBitsAndBit11IsIgnored) {
  std::uint8_t record[12] = {0x15, 0x0B, 0x1A, 0x04};
  record[8] = 0x80;  // day bit 0 (bit 7)
  record[9] = 0x08;  // bit 11
  const KeyRecordStamp stamp = DecodeKeyRecordStamp(record);
  EXPECT_EQ(stamp.day, 1u);
  EXPECT_EQ(stamp.month, 0u);
  EXPECT_EQ(stamp.serial, 0u);
}

}  // namespace
}  // namespace sealtool
