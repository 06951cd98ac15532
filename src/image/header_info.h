// Checks that an input is a boot image of the expected kind, and the two
// displays of what its header carries.
#pragma once

#include <cstdint>

namespace sealtool {

// 0 when the boot header starts with the marker 0xAA55, -1 otherwise.
int CheckBootCode(const std::uint8_t* bootHeader);

// 0 when the key record starts with its magic 0x041A0B15, -1 otherwise.
int CheckWrKeyCode(const std::uint8_t* keyRecord);

// Prints "VersionNumber: .." with the four version bytes as the input holds
// them (the first two share their place with the DRAM count field).
void ShowVersionNumber(const std::uint8_t* bootHeader);

// The date stamp and numbers of a key record, decoded from its two words.
struct KeyRecordStamp {
  unsigned year;
  unsigned month;
  unsigned day;
  std::uint32_t serial;
  unsigned firstNumber;
  unsigned secondNumber;
  unsigned thirdNumber;
};

KeyRecordStamp DecodeKeyRecordStamp(const std::uint8_t* keyRecord);

// Prints the two key-record lines when the magic is present, else nothing.
void ShowSecureProgramKey(const std::uint8_t* keyRecord);

}  // namespace sealtool
