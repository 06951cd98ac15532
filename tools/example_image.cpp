#include "example_image.h"

#include <cstring>

#include "image/byte_order.h"
#include "image/layout.h"

namespace sealtool {
namespace {

// Example key record: 2019-07-12, serial 0x01234, numbers 05.01.04.
constexpr std::uint32_t kExampleNumberWord = 0x14050000u;
constexpr std::uint32_t kExampleDateWord =
    6u | (7u << 3) | (12u << 7) | (0x01234u << 12);

// Version bytes; the first two are also the DRAM count field, whose high
// nibble (0x1 here) the tool keeps.
constexpr std::uint8_t kExampleVersion[kVersionBytesSize] = {0x00, 0x10, 0x19, 0x07};

// xorshift32: deterministic filler that does not look like a pattern.
std::uint32_t NextFiller(std::uint32_t* state) {
  std::uint32_t x = *state;
  x ^= x << 13;
  x ^= x >> 17;
  x ^= x << 5;
  *state = x;
  return x;
}

void FillBytes(std::uint8_t* bytes, std::size_t count, std::uint32_t* state) {
  for (std::size_t i = 0; i < count; ++i) {
    bytes[i] = static_cast<std::uint8_t>(NextFiller(state) >> 24);
  }
}

std::size_t PutWords(std::uint8_t* table, const std::uint32_t* words, std::size_t count) {
  for (std::size_t i = 0; i < count; ++i) {
    StoreU32LE(table + 4 * i, words[i]);
  }
  return 4 * count;
}

// Group A: two-word entries (one with a zero data word), a one-word entry,
// the three informational entries and an uncounted opcode 15: 6 counted.
std::size_t PutGroupATable(std::uint8_t* table) {
  const std::uint32_t words[] = {
      0x00000010u, 0x12345678u,  // opcode 0, data word
      0x02000040u,               // opcode 2
      0x08000025u,               // efuse half-word 5
      0xE9001234u,               // drive compensation: Dummy, NLEG, 0x12, 0x34
      0x0A000001u,               // duty averaging enabled
      0x0F000000u,               // opcode 15: skipped, not counted
      0x05000001u, 0x00000000u,  // opcode 5 with a zero data word
      0x00000000u,               // end of table
  };
  return PutWords(table, words, sizeof words / sizeof words[0]);
}

// Group B: opcodes 0 to 3; chip 731 reads opcode 3 as two words, so it gets
// a data word there. 4 counted.
std::size_t PutGroupBTable(std::uint8_t* table, std::int32_t chip) {
  const bool twoWordOpcode3 = (chip == 731);
  const std::uint32_t words[] = {
      0x80000010u, 0x5EA1ED00u,  // opcode 0, payload bit 31 set
      0x40000000u,               // opcode 2, zero payload
      0x20000001u, 0x00000000u,  // opcode 1 with a zero data word
      0x60000003u,               // opcode 3
      0x00C0FFEEu,               // its data word on chip 731
      0x00000000u,               // end of table
  };
  if (twoWordOpcode3) {
    return PutWords(table, words, sizeof words / sizeof words[0]);
  }
  PutWords(table, words, 6);
  StoreU32LE(table + 24, 0);
  return 28;
}

}  // namespace

bool BuildExampleImage(std::int32_t chip, std::uint32_t seed, std::uint8_t* image,
                       std::size_t size) {
  if (size < kHeaderAreaSize || size > kImageSize) {
    return false;
  }
  std::uint32_t state = seed * 2654435761u + 0x9E3779B9u;
  if (state == 0) {
    state = 1;
  }
  FillBytes(image, size, &state);

  const ChipLayout layout = SelectChipLayout(chip);
  std::uint8_t* bootHeader = image + layout.bootHeader;
  StoreU16LE(bootHeader + kMarkerField, kBootHeaderMarker);
  std::memcpy(bootHeader + kVersionBytesField, kExampleVersion, sizeof kExampleVersion);
  std::uint8_t* table = image + layout.dramTable;
  if (layout.group == ChipGroup::kA) {
    PutGroupATable(table);
  } else {
    PutGroupBTable(table, chip);
  }
  std::uint8_t* keyRecord = image + kKeyRecordOffset;
  StoreU32LE(keyRecord, kKeyRecordMagic);
  StoreU32LE(keyRecord + 4, kExampleNumberWord);
  StoreU32LE(keyRecord + 8, kExampleDateWord);
  return true;
}

}  // namespace sealtool
