#include "report_output.h"

#include <cstdio>

#include "image/layout.h"

namespace sealtool::inspect {
namespace {

struct Region {
  const char* name;
  std::size_t offset;
  std::size_t length;
};

constexpr std::size_t kRegionCount = 13;
constexpr std::size_t kPreviewBytes = 8;

// The header area's regions for the report's layout, in image order.
void ListRegions(const Report& report, Region (&regions)[kRegionCount]) {
  const std::size_t bootHeader = report.layout.bootHeader;
  const std::size_t tableLength =
      report.dramShown > 0
          ? report.dramEntries[report.dramShown - 1].position +
                std::size_t{4} * report.dramEntries[report.dramShown - 1].words + 4
          : 4;
  regions[0] = {"header area", kHeaderAreaOffset, kHeaderAreaSize};
  regions[1] = {"boot-header marker", bootHeader + kMarkerField, 2};
  regions[2] = {"checksum field", bootHeader + kChecksumField, 2};
  regions[3] = {"version bytes / DRAM count", bootHeader + kVersionBytesField, kVersionBytesSize};
  regions[4] = {"DRAM table (to its end word)", report.layout.dramTable, tableLength};
  regions[5] = {"key record", kKeyRecordOffset, kKeyRecordSize};
  regions[6] = {"wrapped key", kWrappedKeyOffset, kWrappedKeySize};
  regions[7] = {"modulus area", kModulusOffset, kModulusSize};
  regions[8] = {"exponent area", kExponentOffset, kExponentSize};
  regions[9] = {"RSA signature", kRsaSignatureOffset, kRsaSignatureSize};
  regions[10] = {"digest seal (in the signature span)", kDigestSealOffset, kDigestSealSize};
  regions[11] = {"image digest", kImageDigestOffset, kImageDigestSize};
  regions[12] = {"body area", kBodyAreaOffset, kBodyAreaSize};
}

bool RegionIsZero(const std::uint8_t* image, const Region& region) {
  for (std::size_t i = 0; i < region.length; ++i) {
    if (image[region.offset + i] != 0) return false;
  }
  return true;
}

const char* DramMeaning(const DramEntry& entry, std::int32_t chip) {
  if (!entry.counted) return "ignored, not counted";
  if (DramEntryPrints(entry, chip)) {
    switch (entry.opcode) {
      case kDramOpEfuseLoad: return "efuse load";
      case kDramOpDriveCompensation: return "drive compensation";
      default: return "duty averaging";
    }
  }
  return entry.words == 2 ? "parameter with a data word" : "parameter";
}

void PrintHex(const std::uint8_t* bytes, std::size_t count, const char* separator) {
  for (std::size_t i = 0; i < count; ++i) {
    std::printf("%s%02x", i > 0 ? separator : "", bytes[i]);
  }
}

void PrintTextRegions(const std::uint8_t* image, const Report& report) {
  Region regions[kRegionCount];
  ListRegions(report, regions);
  std::printf("header map:\n");
  for (const Region& region : regions) {
    std::printf("  %5zu-%5zu  %-36s ", region.offset, region.offset + region.length - 1,
                region.name);
    if (RegionIsZero(image, region)) {
      std::printf("all zero\n");
      continue;
    }
    const std::size_t shown = region.length < kPreviewBytes ? region.length : kPreviewBytes;
    PrintHex(image + region.offset, shown, " ");
    std::printf("%s\n", region.length > shown ? " ..." : "");
  }
}

void PrintTextDram(const Report& report) {
  std::printf("DRAM count field: %u; the walk finds %u counted entries\n", report.dramCountField,
              report.dramWalkCount);
  for (std::size_t i = 0; i < report.dramShown; ++i) {
    const DramEntry& entry = report.dramEntries[i];
    char line[96];
    FormatDramEntryLine(entry, line, sizeof line);
    std::printf("  @%-5zu 0x%08x  opcode %-2u %u word%s  %s%s%s\n",
                report.layout.dramTable + entry.position, entry.word, entry.opcode, entry.words,
                entry.words == 1 ? " " : "s", DramMeaning(entry, report.chip),
                line[0] != '\0' ? ": " : "", line);
  }
}

void PrintTextKeyRecord(const Report& report) {
  const KeyRecordStamp& s = report.stamp;
  if (report.keyRecordValid) {
    std::printf("key record: magic 0x%08X, date %04u-%02u-%02u, serial %05x, numbers %02u.%02u.%02u\n",
                kKeyRecordMagic, s.year, s.month, s.day, static_cast<unsigned>(s.serial),
                s.firstNumber, s.secondNumber, s.thirdNumber);
  } else {
    std::printf("key record: no magic\n");
  }
  std::printf("wrapped key: ");
  PrintHex(report.wrappedKey, kWrappedKeySize, "");
  std::printf("\n");
}

void PrintJsonString(const char* text) {
  std::putchar('"');
  for (const char* p = text; *p != '\0'; ++p) {
    const unsigned char c = static_cast<unsigned char>(*p);
    if (c == '"' || c == '\\') {
      std::printf("\\%c", c);
    } else if (c < 0x20) {
      std::printf("\\u%04x", c);
    } else {
      std::putchar(c);
    }
  }
  std::putchar('"');
}

void PrintJsonHex(const std::uint8_t* bytes, std::size_t count) {
  std::putchar('"');
  PrintHex(bytes, count, "");
  std::putchar('"');
}

void PrintJsonRegions(const std::uint8_t* image, const Report& report) {
  Region regions[kRegionCount];
  ListRegions(report, regions);
  std::printf("  \"regions\": [");
  for (std::size_t i = 0; i < kRegionCount; ++i) {
    std::printf("%s\n    {\"name\": ", i > 0 ? "," : "");
    PrintJsonString(regions[i].name);
    std::printf(", \"offset\": %zu, \"length\": %zu, \"allZero\": %s}", regions[i].offset,
                regions[i].length, RegionIsZero(image, regions[i]) ? "true" : "false");
  }
  std::printf("\n  ],\n");
}

void PrintJsonDram(const Report& report) {
  std::printf("  \"dramCountField\": %u,\n  \"dramWalkCount\": %u,\n  \"dramEntries\": [",
              report.dramCountField, report.dramWalkCount);
  for (std::size_t i = 0; i < report.dramShown; ++i) {
    const DramEntry& entry = report.dramEntries[i];
    char line[96];
    FormatDramEntryLine(entry, line, sizeof line);
    std::printf("%s\n    {\"offset\": %zu, \"word\": %u, \"opcode\": %u, \"words\": %u, "
                "\"counted\": %s, \"meaning\": ",
                i > 0 ? "," : "", report.layout.dramTable + entry.position, entry.word,
                entry.opcode, entry.words, entry.counted ? "true" : "false");
    PrintJsonString(DramMeaning(entry, report.chip));
    std::printf(", \"line\": ");
    PrintJsonString(line);
    std::printf("}");
  }
  std::printf("\n  ],\n");
}

void PrintJsonKeyRecord(const Report& report) {
  const KeyRecordStamp& s = report.stamp;
  std::printf("  \"keyRecord\": {\"valid\": %s, \"year\": %u, \"month\": %u, \"day\": %u, "
              "\"serial\": %u, \"numbers\": [%u, %u, %u]},\n  \"wrappedKey\": ",
              report.keyRecordValid ? "true" : "false", s.year, s.month, s.day,
              static_cast<unsigned>(s.serial), s.firstNumber, s.secondNumber, s.thirdNumber);
  PrintJsonHex(report.wrappedKey, kWrappedKeySize);
  std::printf(",\n");
}

void PrintJsonChecks(const Report& report) {
  std::printf("  \"checks\": [");
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    std::printf("%s\n    {\"name\": ", i > 0 ? "," : "");
    PrintJsonString(check.name);
    std::printf(", \"verdict\": ");
    PrintJsonString(VerdictName(check.verdict));
    std::printf(", \"detail\": ");
    PrintJsonString(check.detail);
    std::printf("}");
  }
  std::printf("\n  ],\n  \"warnings\": [");
  for (std::size_t i = 0; i < report.warningCount; ++i) {
    std::printf("%s\n    ", i > 0 ? "," : "");
    PrintJsonString(report.warnings[i]);
  }
  std::printf("\n  ],\n");
}

}  // namespace

void PrintTextReport(const char* path, const std::uint8_t* image, const Report& report) {
  std::printf("image: %s\n", path);
  std::printf("chip: %d%s, group %s: boot header %zu, DRAM count field %zu, DRAM table %zu\n",
              report.chip, report.chipDetected ? " (assumed from the marker; give --chip)" : "",
              report.layout.group == ChipGroup::kA ? "A" : "B", report.layout.bootHeader,
              report.layout.dramCountField, report.layout.dramTable);
  std::printf("mode: %s%s\n", ModeName(report.mode), report.modeDetected ? " (detected)" : "");
  PrintTextRegions(image, report);
  std::printf("marker: 0x%04X%s\n", report.marker,
              report.marker == kBootHeaderMarker ? "" : " (not 0xAA55)");
  std::printf("checksum field: 0x%04X\n", report.checksumField);
  std::printf("version bytes: %02X,%02X,%02X,%02X\n", report.version[0], report.version[1],
              report.version[2], report.version[3]);
  PrintTextDram(report);
  PrintTextKeyRecord(report);
  std::printf("checks:\n");
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    std::printf("  %-14s %s: %s\n", check.name, VerdictName(check.verdict), check.detail);
  }
  for (std::size_t i = 0; i < report.warningCount; ++i) {
    std::printf("warning: %s\n", report.warnings[i]);
  }
  std::printf("result: %s\n", ReportExitStatus(report) == 0 ? "ok" : "FAILED");
}

void PrintJsonReport(const char* path, const std::uint8_t* image, const Report& report) {
  std::printf("{\n  \"image\": ");
  PrintJsonString(path);
  std::printf(",\n  \"chip\": %d,\n  \"chipDetected\": %s,\n  \"group\": \"%s\",\n", report.chip,
              report.chipDetected ? "true" : "false",
              report.layout.group == ChipGroup::kA ? "A" : "B");
  std::printf("  \"offsets\": {\"bootHeader\": %zu, \"dramCountField\": %zu, \"dramTable\": %zu},\n",
              report.layout.bootHeader, report.layout.dramCountField, report.layout.dramTable);
  std::printf("  \"mode\": \"%s\",\n  \"modeDetected\": %s,\n", ModeName(report.mode),
              report.modeDetected ? "true" : "false");
  PrintJsonRegions(image, report);
  std::printf("  \"marker\": %u,\n  \"checksumField\": %u,\n  \"versionBytes\": [%u, %u, %u, %u],\n",
              report.marker, report.checksumField, report.version[0], report.version[1],
              report.version[2], report.version[3]);
  PrintJsonDram(report);
  PrintJsonKeyRecord(report);
  PrintJsonChecks(report);
  std::printf("  \"result\": \"%s\"\n}\n", ReportExitStatus(report) == 0 ? "ok" : "failed");
}

}  // namespace sealtool::inspect
