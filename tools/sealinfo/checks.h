// The checks of each mode over one image, and the report entries they
// add: what inspect.cpp runs once it knows the chip and the mode to try.
#pragma once

#include <cstdint>
#include <cstdio>

#include "inspect.h"
#include "platform/file_facts.h"

namespace sealtool::inspect {

// The next free check of report, or null when all are taken.
Check* NextCheck(Report* report, CheckId id, Verdict verdict);

// Records a check with a fixed detail text.
void AddCheck(Report* report, CheckId id, Verdict verdict, const char* detail);

// Records a check whose detail is formatted like printf from format and args.
template <typename First, typename... Rest>
void AddCheck(Report* report, CheckId id, Verdict verdict, const char* format, First first,
              Rest... rest) {
  Check* check = NextCheck(report, id, verdict);
  if (check != nullptr) std::snprintf(check->detail, sizeof check->detail, format, first, rest...);
}

void AddWarning(Report* report, const char* text);

// Whether report holds the check id and it passed.
bool CheckPassed(const Report& report, CheckId id);

// The layout, header fields, DRAM entries and key record of image, for the
// report's chip.
void DescribeHeader(const std::uint8_t* image, Report* report);

// Whether the wrapped key unwraps to the key a key-record run with the key
// folder's aes.txt (or the default key) would have wrapped.
bool WrapsUserKey(const std::uint8_t* image, const InspectOptions& options, std::int32_t chip);

// The path of a key file in the key folder.
void KeyPath(const InspectOptions& options, const char* name, char (&path)[kMaxPathSize]);

// Where the body (or user) key and the digest seal key are read: the files
// the options name, else aes.txt of the key folder, as sealtool reads them.
void AesKeyPath(const InspectOptions& options, char (&path)[kMaxPathSize]);
void SealKeyPath(const InspectOptions& options, char (&path)[kMaxPathSize]);

// How messages name that file: its path, or "aes.txt in DIR".
inline constexpr std::size_t kKeyFileNameSize = kMaxPathSize + 16;
void KeyFileName(const InspectOptions& options, bool seal, char (&text)[kKeyFileNameSize]);

// Warns when aes.txt's key token holds characters that are not hex digits.
void WarnAboutTokenText(bool allHexDigits, Report* report);

// The checksum of image (the image itself, or as it stood before sealing),
// the DRAM count field against the walk, and every byte the run does not
// write against the input (when given).
void CheckChecksum(const std::uint8_t* image, Report* report, const char* what);
void CheckDramCount(Report* report);
void CheckAgainstInput(const std::uint8_t* plainView, const InspectOptions& options,
                       Report* report);

// The checks of an AES-seal or RSA image (sealed_checks.cpp).
void CheckSealedImage(const std::uint8_t* image, const InspectOptions& options, Report* report);

// Every check of report->mode, then the key an RSA image carries against
// --expect-key.
void RunChecksOfMode(const std::uint8_t* image, const InspectOptions& options, Report* report);
void IdentifyKey(const std::uint8_t* image, const InspectOptions& options, Report* report);

}  // namespace sealtool::inspect
