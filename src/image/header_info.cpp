#include "image/header_info.h"

#include <cstdio>

#include "console/console.h"
#include "image/byte_order.h"
#include "image/layout.h"

namespace sealtool {
namespace {

constexpr std::size_t kNumberWordField = 4;
constexpr std::size_t kDateWordField = 8;
constexpr unsigned kFirstStampYear = 2013;

}  // namespace

int CheckBootCode(const std::uint8_t* bootHeader) {
  return LoadU16LE(bootHeader + kMarkerField) == kBootHeaderMarker ? 0 : -1;
}

int CheckWrKeyCode(const std::uint8_t* keyRecord) {
  return LoadU32LE(keyRecord) == kKeyRecordMagic ? 0 : -1;
}

void ShowVersionNumber(const std::uint8_t* bootHeader) {
  const std::uint8_t* version = bootHeader + kVersionBytesField;
  Say("VersionNumber: %02X,%02X,%02X,%02X\n", version[0], version[1],
              version[2], version[3]);
}

KeyRecordStamp DecodeKeyRecordStamp(const std::uint8_t* keyRecord) {
  const std::uint32_t number = LoadU32LE(keyRecord + kNumberWordField);
  const std::uint32_t date = LoadU32LE(keyRecord + kDateWordField);
  KeyRecordStamp stamp{};
  stamp.year = (date & 7u) + kFirstStampYear;
  stamp.month = (date >> 3) & 0xFu;
  stamp.day = (date >> 7) & 0xFu;  // four bits: days 16 to 31 cannot show
  stamp.serial = date >> 12;
  stamp.firstNumber = (number >> 16) & 0xFFu;
  stamp.secondNumber = (number >> 28) & 0xFu;
  stamp.thirdNumber = (number >> 24) & 0xFu;
  return stamp;
}

void ShowSecureProgramKey(const std::uint8_t* keyRecord) {
  if (CheckWrKeyCode(keyRecord) != 0) {
    return;
  }
  const KeyRecordStamp stamp = DecodeKeyRecordStamp(keyRecord);
  Say("=>Secure program key\n");
  Say("=>[%04u-%02u-%02u-%05x-%02u.%02u.%02u]\n", stamp.year,
              stamp.month, stamp.day, static_cast<unsigned>(stamp.serial),
              stamp.firstNumber, stamp.secondNumber, stamp.thirdNumber);
}

}  // namespace sealtool
