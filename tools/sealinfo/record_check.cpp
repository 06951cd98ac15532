#include "record_check.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "driver/image_file.h"
#include "image/hex_text.h"
#include "image/image_read.h"
#include "image/layout.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "release/release_record.h"

namespace sealtool::inspect {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxRecordBytes = 16u << 20;

std::string Resolve(const std::string& path, const std::string& folder) {
  return fs::path(path).is_absolute() ? path : (fs::path(folder) / path).string();
}

// The recorded images names picks, by name or by output path.
bool Pick(const std::vector<RecordedImage>& recorded, const std::string& folder, char* const* names, int count,
          std::vector<const RecordedImage*>* picked) {
  if (count == 0) {
    for (const RecordedImage& image : recorded) picked->push_back(&image);
    return true;
  }
  for (int i = 0; i < count; ++i) {
    const RecordedImage* found = nullptr;
    for (const RecordedImage& image : recorded) {
      if (image.name == names[i] || SameFile(Resolve(image.output, folder).c_str(), names[i])) found = &image;
    }
    if (found == nullptr) {
      std::fprintf(stderr, "sealinfo: '%s' is not an image of the record\n", names[i]);
      return false;
    }
    picked->push_back(found);
  }
  return true;
}

// What the record says that the image itself does not: its SHA-256 and, for
// RSA, the ids of its key.
std::string Mismatch(const RecordedImage& recorded, const std::uint8_t* image) {
  std::uint8_t digest[kSha256DigestSize];
  Sha256OneShot(image, static_cast<std::int32_t>(kImageSize), digest);
  if (HexString(digest, sizeof digest) != recorded.outputSha256) return "its SHA-256 is not the recorded one";
  KeyIds ids{};
  if (recorded.hasKeyIds && (!ComputeImageKeyIds(image, &ids) ||
                             HexString(ids.header, sizeof ids.header) != recorded.headerKeyId ||
                             HexString(ids.spki, sizeof ids.spki) != recorded.spkiKeyId)) {
    return "it carries another key than the recorded one";
  }
  return "";
}

// 0, 1 or 3 for one image, after a line that says how it stands.
int CheckOne(const RecordedImage& recorded, const std::string& folder, const char* keyDir, bool assumeZero) {
  static std::uint8_t image[kImageSize];
  std::size_t size = 0;
  const std::string path = Resolve(recorded.output, folder);
  std::memset(image, 0, sizeof image);
  if (ReadAtMostOneImage(path.c_str(), image, &size) != ImageRead::kRead || size != kImageSize) {
    std::printf("%s: failed: %s is not a readable %zu-byte image\n", recorded.name.c_str(), path.c_str(),
                kImageSize);
    return 1;
  }
  if (const std::string mismatch = Mismatch(recorded, image); !mismatch.empty()) {
    std::printf("%s: failed: %s\n", recorded.name.c_str(), mismatch.c_str());
    return 1;
  }
  InspectOptions options;
  options.chipGiven = options.modeGiven = true;
  options.chip = recorded.chip;
  options.mode = recorded.mode;
  options.keyDir = keyDir;
  options.assumeZero = assumeZero;
  std::uint8_t expected[kKeyIdSize];
  if (recorded.hasKeyIds && ParseKeyId(recorded.headerKeyId.c_str(), expected)) options.expectedKeyId = expected;
  static Report report;
  if (!InspectImage(image, options, &report)) {
    std::printf("%s: failed: the image cannot be inspected as chip %d\n", recorded.name.c_str(), recorded.chip);
    return 1;
  }
  const int status = ReportExitStatus(report);
  std::printf("%s: %s (%s, chip %d, as recorded)\n", recorded.name.c_str(),
              status == 0 ? "ok" : status == 1 ? "failed" : "unverified", RunModeName(recorded.mode),
              recorded.chip);
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    if (check.verdict != Verdict::kOk) {
      std::printf("  %-14s %s: %s\n", CheckName(check.id), VerdictName(check.verdict), check.detail);
    }
  }
  return status;
}

}  // namespace

int CheckAgainstRecord(const char* recordPath, char* const* names, int count, const char* keyDir,
                       bool assumeZero) {
  std::string text, problem;
  std::vector<RecordedImage> recorded;
  if (!ReadReleaseText(recordPath, kMaxRecordBytes, &text) || !ParseRecord(text, &recorded, &problem)) {
    std::fprintf(stderr, "sealinfo: the record '%s' cannot be read: %s\n", recordPath,
                 problem.empty() ? "no such file, or too long" : problem.c_str());
    return 2;
  }
  const std::string folder = RecordFolder(recordPath);
  std::vector<const RecordedImage*> picked;
  if (!Pick(recorded, folder, names, count, &picked)) return 2;
  int worst = 0;
  for (const RecordedImage* image : picked) {
    const int status = CheckOne(*image, folder, keyDir, assumeZero);
    if (status == 1 || (status == 3 && worst == 0)) worst = status;
  }
  std::printf("result: %zu of %zu recorded images checked: %s\n", picked.size(), recorded.size(),
              worst == 0 ? "every one matches the record and passes" : worst == 1 ? "failed" : "unverified");
  return worst;
}

}  // namespace sealtool::inspect
