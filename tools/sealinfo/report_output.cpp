#include "report_output.h"

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

#include "image/hex_text.h"
#include "image/layout.h"

namespace sealtool::inspect {
namespace {

using Json = nlohmann::ordered_json;

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
  std::printf("%s\n", HexString(report.wrappedKey, kWrappedKeySize).c_str());
}

Json JsonRegions(const std::uint8_t* image, const Report& report) {
  Region regions[kRegionCount];
  ListRegions(report, regions);
  Json list = Json::array();
  for (const Region& region : regions) {
    list.push_back({{"name", region.name},
                    {"offset", region.offset},
                    {"length", region.length},
                    {"all_zero", RegionIsZero(image, region)}});
  }
  return list;
}

Json JsonDramEntries(const Report& report) {
  Json list = Json::array();
  for (std::size_t i = 0; i < report.dramShown; ++i) {
    const DramEntry& entry = report.dramEntries[i];
    char line[96];
    FormatDramEntryLine(entry, line, sizeof line);
    list.push_back({{"offset", report.layout.dramTable + entry.position},
                    {"word", entry.word},
                    {"opcode", entry.opcode},
                    {"words", entry.words},
                    {"counted", entry.counted},
                    {"meaning", DramMeaning(entry, report.chip)},
                    {"line", line}});
  }
  return list;
}

Json JsonKeyRecord(const Report& report) {
  const KeyRecordStamp& s = report.stamp;
  return {{"valid", report.keyRecordValid},
          {"year", s.year},
          {"month", s.month},
          {"day", s.day},
          {"serial", s.serial},
          {"numbers", {s.firstNumber, s.secondNumber, s.thirdNumber}}};
}

const char* JsonOutcomeName(Outcome outcome) {
  switch (outcome) {
    case Outcome::kOk: return "ok";
    case Outcome::kFailed: return "failed";
    default: return "unverified";
  }
}

Json JsonChecks(const Report& report) {
  Json list = Json::array();
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    list.push_back({{"name", CheckName(check.id)},
                    {"verdict", VerdictName(check.verdict)},
                    {"detail", check.detail}});
  }
  return list;
}

// The keys a keyring named: null for a key it does not hold.
Json JsonNamedKeys(const Report& report) {
  Json list = Json::array();
  for (std::size_t i = 0; i < report.namedKeyCount; ++i) {
    const NamedKey& key = report.namedKeys[i];
    Json entry = {{"role", key.role}, {"id", key.id}, {"development", key.development}};
    if (key.entry != nullptr) {
      entry["name"] = key.entry->name;
      entry["use"] = key.development ? "development" : "production";
      entry["status"] = KeyStatusName(key.entry->status);
    } else {
      entry["name"] = nullptr;
    }
    list.push_back(entry);
  }
  return list;
}

}  // namespace

void PrintTextReport(const char* path, const std::uint8_t* image, const Report& report) {
  std::printf("image: %s\n", path);
  std::printf("chip: %d%s, group %s: boot header %zu, DRAM count field %zu, DRAM table %zu\n",
              report.chip, report.chipDetected ? " (assumed from the marker; give --chip)" : "",
              report.layout.group == ChipGroup::kA ? "A" : "B", report.layout.bootHeader,
              report.layout.dramCountField, report.layout.dramTable);
  std::printf("mode: %s%s\n", RunModeName(report.mode), report.modeDetected ? " (detected)" : "");
  PrintTextRegions(image, report);
  std::printf("marker: 0x%04X%s\n", report.marker,
              report.marker == kBootHeaderMarker ? "" : " (not 0xAA55)");
  std::printf("checksum field: 0x%04X\n", report.checksumField);
  std::printf("version bytes: %02X,%02X,%02X,%02X\n", report.version[0], report.version[1],
              report.version[2], report.version[3]);
  PrintTextDram(report);
  PrintTextKeyRecord(report);
  if (report.hasKeyIds) {
    std::printf("key id (image header): %s\n", HexString(report.keyIds.header, kKeyIdSize).c_str());
    std::printf("key id (SubjectPublicKeyInfo): %s\n", HexString(report.keyIds.spki, kKeyIdSize).c_str());
  }
  std::printf("checks:\n");
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    std::printf("  %-14s %s: %s\n", CheckName(check.id), VerdictName(check.verdict), check.detail);
  }
  for (std::size_t i = 0; i < report.warningCount; ++i) {
    std::printf("warning: %s\n", report.warnings[i]);
  }
  std::printf("result: %s\n", OutcomeName(ReportOutcome(report)));
}

void PrintJsonReport(const char* path, const std::uint8_t* image, const Report& report) {
  Json warnings = Json::array();
  for (std::size_t i = 0; i < report.warningCount; ++i) warnings.push_back(report.warnings[i]);
  Json document = {
      {"image", path},
      {"chip", report.chip},
      {"chip_detected", report.chipDetected},
      {"group", report.layout.group == ChipGroup::kA ? "A" : "B"},
      {"offsets",
       {{"boot_header", report.layout.bootHeader},
        {"dram_count_field", report.layout.dramCountField},
        {"dram_table", report.layout.dramTable}}},
      {"mode", RunModeName(report.mode)},
      {"mode_detected", report.modeDetected},
      {"regions", JsonRegions(image, report)},
      {"marker", report.marker},
      {"checksum_field", report.checksumField},
      {"version_bytes", {report.version[0], report.version[1], report.version[2], report.version[3]}},
      {"dram_count_field", report.dramCountField},
      {"dram_walk_count", report.dramWalkCount},
      {"dram_entries", JsonDramEntries(report)},
      {"key_record", JsonKeyRecord(report)},
      {"wrapped_key", HexString(report.wrappedKey, kWrappedKeySize)},
      {"key_ids", report.hasKeyIds ? Json{{"header", HexString(report.keyIds.header, kKeyIdSize)},
                                         {"spki", HexString(report.keyIds.spki, kKeyIdSize)}}
                                  : Json(nullptr)},
      {"checks", JsonChecks(report)},
      {"warnings", warnings},
      {"result", JsonOutcomeName(ReportOutcome(report))},
  };
  if (report.keysNamed) document["keyring"] = JsonNamedKeys(report);
  // A file name need not be UTF-8: such bytes become U+FFFD rather than
  // making the report unparsable.
  const std::string text = document.dump(2, ' ', false, Json::error_handler_t::replace);
  std::printf("%s\n", text.c_str());
}

}  // namespace sealtool::inspect
