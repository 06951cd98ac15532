#include "image/dram_table.h"

#include <cstdio>

#include "console/console.h"
#include "image/byte_order.h"
#include "image/layout.h"

namespace sealtool {
namespace {

constexpr std::size_t kWordSize = 4;
constexpr unsigned kFirstUncountedOpcode = 11;
constexpr std::int32_t kChipWithTwoWordOpcode3 = 731;

struct OpcodeShape {
  unsigned words;
  bool counted;
};

// Opcodes 0 to 10 in table order; 11 to 15 are one uncounted word.
constexpr OpcodeShape kOpcodeShapes[kFirstUncountedOpcode] = {
    {2, true}, {2, true}, {1, true}, {1, true}, {1, true}, {2, true},
    {2, true}, {2, true}, {1, true}, {1, true}, {1, true},
};

OpcodeShape ShapeOf(unsigned opcode, std::int32_t chip) {
  if (opcode >= kFirstUncountedOpcode) {
    return OpcodeShape{1, false};
  }
  if (opcode == 3 && chip == kChipWithTwoWordOpcode3) {
    return OpcodeShape{2, true};
  }
  return kOpcodeShapes[opcode];
}

const char* DrivePatternName(std::uint32_t payload) {
  static const char* const kNames[4] = {"Odd/even", "Odd only", "Even only",
                                        "Dummy"};
  return kNames[(payload >> 30) & 3u];
}

// Prints the informational line of an efuse, drive or duty entry.
void PrintDramEntryLine(const DramEntry& entry) {
  char line[96];
  if (FormatDramEntryLine(entry, line, sizeof line) > 0) {
    Say("%s\r\n", line);
  }
}

}  // namespace

DramEntry DecodeDramEntry(std::uint32_t word, std::int32_t chip) {
  DramEntry entry{};
  entry.word = word;
  if (ChipGroupOf(chip) == ChipGroup::kA) {
    entry.opcode = (word >> 24) & 0xFu;
    entry.payload = word & 0xF0FFFFFFu;
  } else {
    entry.opcode = (word >> 29) & 0x3u;
    entry.payload = word & 0x9FFFFFFFu;
  }
  const OpcodeShape shape = ShapeOf(entry.opcode, chip);
  entry.words = shape.words;
  entry.counted = shape.counted;
  return entry;
}

bool NextDramEntry(const std::uint8_t* table, std::size_t tableBytes,
                   std::int32_t chip, std::size_t* position, DramEntry* entry) {
  // The end of the image acts as a terminator. An entry whose data word would
  // lie past the end still counts: that word is never read anyway.
  if (*position > tableBytes || tableBytes - *position < kWordSize) {
    return false;
  }
  const std::uint32_t word = LoadU32LE(table + *position);
  if (word == 0) {
    return false;
  }
  *entry = DecodeDramEntry(word, chip);
  entry->position = *position;
  *position += entry->words * kWordSize;
  return true;
}

bool DramEntryPrints(const DramEntry& entry, std::int32_t chip) {
  return ChipGroupOf(chip) == ChipGroup::kA &&
         entry.opcode >= kDramOpEfuseLoad && entry.opcode <= kDramOpDutyAverage;
}

int FormatDramEntryLine(const DramEntry& entry, char* text, std::size_t size) {
  const std::uint32_t payload = entry.payload;
  switch (entry.opcode) {
    case kDramOpEfuseLoad:
      return std::snprintf(text, size, "Load efuse halfword 0x%lx",
                           static_cast<unsigned long>(payload & 0x1Fu));
    case kDramOpDriveCompensation:
      return std::snprintf(text, size, "Compensate driving: %s, %s, range 0x%lx, base 0x%lx",
                           DrivePatternName(payload), ((payload >> 29) & 1u) ? "NLEG" : "PLEG",
                           static_cast<unsigned long>((payload >> 8) & 0xFFu),
                           static_cast<unsigned long>(payload & 0xFFu));
    case kDramOpDutyAverage:
      return std::snprintf(text, size, "Duty average is %s",
                           (payload & 1u) ? "ENABLED" : "DISABLED");
    default:
      if (size > 0) text[0] = '\0';
      return 0;
  }
}

namespace {

// Counts the entries that count, printing those that print when asked to.
int WalkDramEntries(const std::uint8_t* table, std::size_t tableBytes, std::int32_t chip, bool print) {
  int count = 0;
  std::size_t position = 0;
  DramEntry entry{};
  while (NextDramEntry(table, tableBytes, chip, &position, &entry)) {
    if (entry.counted) ++count;
    if (print && DramEntryPrints(entry, chip)) PrintDramEntryLine(entry);
  }
  return count;
}

}  // namespace

unsigned CountCountedDramEntries(const std::uint8_t* table, std::size_t tableBytes, std::int32_t chip) {
  return static_cast<unsigned>(WalkDramEntries(table, tableBytes, chip, false));
}

int CountDramParams(const std::uint8_t* table, std::size_t tableBytes, std::int32_t chip) {
  return WalkDramEntries(table, tableBytes, chip, true);
}

void StoreDramParamNumber(std::uint8_t* field, std::uint16_t count) {
  field[0] = static_cast<std::uint8_t>(count & 0xFFu);
  field[1] = static_cast<std::uint8_t>((field[1] & 0xF0u) | ((count >> 8) & 0x0Fu));
}

unsigned LoadDramParamNumber(const std::uint8_t* field) {
  return LoadU16LE(field) & 0x0FFFu;
}

}  // namespace sealtool
