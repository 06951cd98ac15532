// The DRAM parameter table: a run of 32-bit little-endian entry words, some
// followed by one data word, ended by an entry word of zero. The tool only
// walks it to count the entries and to echo the informational ones.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

// Opcodes whose entries print a line (group A only).
inline constexpr unsigned kDramOpEfuseLoad = 8;
inline constexpr unsigned kDramOpDriveCompensation = 9;
inline constexpr unsigned kDramOpDutyAverage = 10;

struct DramEntry {
  std::size_t position;  // byte offset of the entry word within the table
  std::uint32_t word;
  unsigned opcode;
  std::uint32_t payload;
  unsigned words;  // 1, or 2 when a data word follows
  bool counted;
};

// Splits an entry word by the coding of the chip's group and looks up how
// long the entry is and whether it counts.
DramEntry DecodeDramEntry(std::uint32_t word, std::int32_t chip);

// Reads the entry at *position (a byte offset into the table) and moves
// *position past it. Returns false at the terminator, or when no whole entry
// word is left before tableBytes: the walk never reads past the image.
bool NextDramEntry(const std::uint8_t* table, std::size_t tableBytes,
                   std::int32_t chip, std::size_t* position, DramEntry* entry);

// True for the entries that print a line during the walk.
bool DramEntryPrints(const DramEntry& entry, std::int32_t chip);

// The informational line of an efuse, drive or duty entry, without its line
// end, into text; an empty text for other entries. Returns snprintf's count.
int FormatDramEntryLine(const DramEntry& entry, char* text, std::size_t size);

// The count a plain run stores, without printing anything.
unsigned CountCountedDramEntries(const std::uint8_t* table, std::size_t tableBytes,
                                 std::int32_t chip);

// Walks the table, prints the informational entries and returns the count.
// tableBytes bounds the walk to the image; see NextDramEntry.
int CountDramParams(const std::uint8_t* table, std::size_t tableBytes,
                    std::int32_t chip);

// Writes the count's low 12 bits into the DRAM count field, keeping the high
// nibble of its second byte as the input had it.
void StoreDramParamNumber(std::uint8_t* field, std::uint16_t count);

// The 12-bit count as the field holds it.
unsigned LoadDramParamNumber(const std::uint8_t* field);

}  // namespace sealtool
