#include "record_check.h"

#include "release_intent.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "image/hex_text.h"
#include "image/image_read.h"
#include "image/layout.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "platform/file_facts.h"
#include "release/release_record.h"

namespace sealtool::inspect {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxRecordBytes = 16u << 20;

std::uint8_t gImage[kImageSize];
std::uint8_t gInput[kImageSize];

std::string Resolve(const std::string& path, const std::string& folder) {
  return fs::path(path).is_absolute() ? path : (fs::path(folder) / path).string();
}

std::string Sha256Of(const std::uint8_t* bytes, std::size_t size) {
  std::uint8_t digest[kSha256DigestSize];
  Sha256OneShot(bytes, static_cast<std::int32_t>(size), digest);
  return HexString(digest, sizeof digest);
}

// What the record says that the image itself does not: its SHA-256 and, for
// RSA, the ids of its key.
std::string Mismatch(const RecordedImage& recorded, const std::uint8_t* image) {
  if (Sha256Of(image, kImageSize) != recorded.outputSha256) return "its SHA-256 is not the recorded one";
  KeyIds ids{};
  if (recorded.hasKeyIds && (!ComputeImageKeyIds(image, &ids) ||
                             HexString(ids.header, sizeof ids.header) != recorded.headerKeyId ||
                             HexString(ids.spki, sizeof ids.spki) != recorded.spkiKeyId)) {
    return "it carries another key than the recorded one";
  }
  return "";
}

// Where the record and the gate's anchors disagree; "" when they do not.
std::string AgainstAnchors(const RecordedImage& recorded, const GateAnchors& anchors, const IntendedImage* intended,
                           const std::string& folder) {
  if (anchors.modeGiven && recorded.mode != anchors.mode) {
    return std::string("the record says ") + RunModeName(recorded.mode) + " mode, the gate expects " +
           RunModeName(anchors.mode);
  }
  if (anchors.chipGiven && recorded.chip != anchors.chip) {
    return "the record says chip " + std::to_string(recorded.chip) + ", the gate expects " +
           std::to_string(anchors.chip);
  }
  if (anchors.manifestPath == nullptr) return "";
  if (intended == nullptr) return "not an image of the manifest";
  if (intended->image.mode != recorded.mode || intended->image.chip != recorded.chip) {
    return std::string("the manifest says ") + RunModeName(intended->image.mode) + " mode, chip " +
           std::to_string(intended->image.chip) + "; the record " + RunModeName(recorded.mode) + " mode, chip " +
           std::to_string(recorded.chip);
  }
  if (intended->hasKeyId && (!recorded.hasKeyIds || recorded.headerKeyId != intended->keyId)) {
    return "it carries another key than the manifest's";
  }
  return KeyNotIntended(recorded, *intended, folder);
}

// Whether the gate's anchors, not the record, settle the image's mode and
// keys: the manifest does for every image; a keyring that names every key
// that verified the image does too; the expected key does for an RSA
// image, whose signature covers everything else; a given mode does for a
// plain image, which no key protects. An AES key or a key-record's user
// key that only the record names is the record's claim.
bool Anchored(const RecordedImage& recorded, const GateAnchors& anchors, const Report& report) {
  if (anchors.manifestPath != nullptr || KeyringNamesEveryKey(report)) return true;
  if (SignsWithRsa(recorded.mode)) return anchors.expectedKeyId != nullptr;
  // A mode that reads no key is settled by the mode given.
  return RunOptionsOfMode(recorded.mode) == 0 && anchors.modeGiven;
}

// Key files the record names, resolved from its folder, in place of the key
// folder's; a token key can be checked only with the key folder's aes.txt.
// "" when the image can be checked, else why not.
std::string ApplyRecordedKeys(const RecordedImage& recorded, const std::string& folder, const GateAnchors& anchors,
                              InspectOptions* options, std::vector<std::string>* paths) {
  paths->reserve(recorded.keys.size());
  for (const RecordedKey& key : recorded.keys) {
    const char** slot = key.role == "aes_key"    ? &options->aesKeyPath
                        : key.role == "seal_key" ? &options->sealKeyPath
                        : key.role == "rsa_pub"  ? &options->rsaPubPath
                                                 : nullptr;
    if (slot == nullptr) continue;
    if (key.source == "built-in") {
      *slot = kBuiltInKeyPath;
    } else if (key.source == "file") {
      paths->push_back(Resolve(key.reference, folder));
      if (!FileReadable(paths->back().c_str())) return "the key file " + paths->back() + " cannot be read";
      *slot = paths->back().c_str();
    } else if (key.role != "rsa_pub" &&
               (!anchors.keyDirGiven || !FileReadable((std::string(options->keyDir) + "/aes.txt").c_str()))) {
      const std::string where = key.source == "token" ? "in a token" : "behind a " + key.source;
      return "its " + key.role + " is " + where + ": give --keys with its aes.txt, or check the release with "
             "sealtool --batch MANIFEST --check";
    }
  }
  return "";
}

// The input the record names, when it can be read: it must be the recorded
// one. "" when it is or cannot be read (the checks then go without it).
std::string ApplyRecordedInput(const RecordedImage& recorded, const std::string& folder, InspectOptions* options) {
  const std::string path = Resolve(recorded.input, folder);
  std::memset(gInput, 0, sizeof gInput);
  std::size_t size = 0;
  if (ReadAtMostOneImage(path.c_str(), gInput, &size) != ImageRead::kRead) return "";
  if (Sha256Of(gInput, size) != recorded.inputSha256) return "its input " + path + " is not the recorded one";
  options->input = gInput;
  return "";
}

int PrintVerdict(const RecordedImage& recorded, const Report& report, int status, bool anchored) {
  if (status == 0 && !anchored) status = 3;
  std::printf("%s: %s (%s, chip %d, as recorded)\n", recorded.name.c_str(),
              status == 0 ? "ok" : status == 1 ? "failed" : "unverified", RunModeName(recorded.mode), recorded.chip);
  for (std::size_t i = 0; i < report.checkCount; ++i) {
    const Check& check = report.checks[i];
    // The keyring's names are said even when they pass: they tell which key
    // made the image.
    if (check.verdict != Verdict::kOk || check.id == CheckId::kKeyring) {
      std::printf("  %-14s %s: %s\n", CheckName(check.id), VerdictName(check.verdict), check.detail);
    }
  }
  if (!anchored) {
    std::printf("  %-14s unverified: its mode and keys are the record's own claims (give --manifest or a keyring that names its keys; "
                "--expect-key settles an RSA image, --mode a plain one)\n", "anchor");
  }
  return status;
}

// 0, 1 or 3 for one image read from path, after a line that says how it
// stands.
int CheckOne(const RecordedImage& recorded, const std::string& folder, const InspectOptions& base,
             const GateAnchors& anchors, const IntendedImage* intended) {
  std::string problem = Mismatch(recorded, gImage);
  if (problem.empty()) problem = AgainstAnchors(recorded, anchors, intended, folder);
  InspectOptions options = base;
  options.chipGiven = options.modeGiven = true;
  options.chip = recorded.chip;
  options.mode = recorded.mode;
  if (problem.empty()) problem = ApplyRecordedInput(recorded, folder, &options);
  if (!problem.empty()) {
    std::printf("%s: failed: %s\n", recorded.name.c_str(), problem.c_str());
    return 1;
  }
  std::vector<std::string> keyPaths;
  if (const std::string missing = ApplyRecordedKeys(recorded, folder, anchors, &options, &keyPaths); !missing.empty()) {
    std::printf("%s: unverified: %s\n", recorded.name.c_str(), missing.c_str());
    return 3;
  }
  std::uint8_t intendedId[kKeyIdSize];
  options.expectedKeyId = nullptr;  // --expect-key speaks of the RSA images only
  if (SignsWithRsa(recorded.mode)) {
    if (anchors.expectedKeyId != nullptr) {
      options.expectedKeyId = anchors.expectedKeyId;
    } else if (intended != nullptr && intended->hasKeyId && ParseKeyId(intended->keyId.c_str(), intendedId)) {
      options.expectedKeyId = intendedId;
    }
  }
  static Report report;
  if (!InspectImage(gImage, options, &report)) {
    std::printf("%s: failed: the image cannot be inspected as chip %d\n", recorded.name.c_str(), recorded.chip);
    return 1;
  }
  NameImageKeys(gImage, options, anchors.keyring, &report);
  return PrintVerdict(recorded, report, ReportExitStatus(report), Anchored(recorded, anchors, report));
}

bool ReadWholeImage(const std::string& path) {
  std::memset(gImage, 0, sizeof gImage);
  std::size_t size = 0;
  return ReadAtMostOneImage(path.c_str(), gImage, &size) == ImageRead::kRead && size == kImageSize;
}

// The recorded image a file is: the one with its SHA-256, else the one of
// its name.
const RecordedImage* MatchFile(const std::vector<RecordedImage>& recorded, const std::string& path) {
  const std::string sha256 = Sha256Of(gImage, kImageSize);
  for (const RecordedImage& image : recorded) {
    if (image.outputSha256 == sha256) return &image;
  }
  const std::string name = fs::path(path).filename().string();
  for (const RecordedImage& image : recorded) {
    if (image.name == name || fs::path(image.output).filename() == name) return &image;
  }
  return nullptr;
}

// The manifest's keyring and release kind, unless the gate names a keyring
// of its own.
bool UseIntendedKeyring(const IntendedKeys& intended, KeyringGate* gate) {
  gate->production = gate->production || intended.production;
  if (gate->keyring != nullptr || intended.keyring.empty()) return true;
  static Keyring keyring;
  static std::string path;
  path = intended.keyring;
  if (!LoadGateKeyring(path.c_str(), &keyring)) return false;
  gate->keyring = &keyring;
  gate->path = path.c_str();
  return true;
}

int Worse(int worst, int status) {
  if (status == 1 || worst == 1) return 1;
  return status == 3 ? 3 : worst;
}

// Without a list of files, a manifest's image the record lacks fails the
// release.
int CheckNothingLeftOut(const std::vector<IntendedImage>& intent, const std::vector<RecordedImage>& recorded) {
  int worst = 0;
  for (const IntendedImage& intended : intent) {
    bool found = false;
    for (const RecordedImage& image : recorded) found = found || image.name == intended.image.name;
    if (found) continue;
    std::printf("%s: failed: an image of the manifest that the record does not hold\n", intended.image.name.c_str());
    worst = 1;
  }
  return worst;
}

}  // namespace

int CheckAgainstRecord(const char* recordPath, char* const* images, int count, const InspectOptions& base,
                       const GateAnchors& anchors) {
  std::string text, problem;
  std::vector<RecordedImage> recorded;
  if (!ReadReleaseText(recordPath, kMaxRecordBytes, &text) || !ParseRecord(text, &recorded, &problem)) {
    std::fprintf(stderr, "sealinfo: the record '%s' cannot be read: %s\n", recordPath,
                 problem.empty() ? "no such file, or too long" : problem.c_str());
    return 2;
  }
  if (recorded.empty()) {
    std::printf("result: the record holds no image: nothing was checked\n");
    return 1;
  }
  std::vector<IntendedImage> intent;
  IntendedKeys intendedKeys;
  if (anchors.manifestPath != nullptr && !LoadIntent(anchors.manifestPath, &intent, &intendedKeys)) return 2;
  GateAnchors gate = anchors;
  if (!UseIntendedKeyring(intendedKeys, &gate.keyring)) return 2;
  for (int i = 0; i < count; ++i) {
    if (KindOfFile(images[i], true) != FileKind::kRegular) {
      std::fprintf(stderr, "sealinfo: '%s' is not a file: name the image files to check\n", images[i]);
      return 2;
    }
  }
  const std::string folder = RecordFolder(recordPath);
  int worst = count == 0 ? CheckNothingLeftOut(intent, recorded) : 0;
  const std::size_t checked = count == 0 ? recorded.size() : static_cast<std::size_t>(count);
  for (std::size_t i = 0; i < checked; ++i) {
    const std::string path = count == 0 ? Resolve(recorded[i].output, folder) : std::string(images[i]);
    const bool read = ReadWholeImage(path);
    const RecordedImage* image = count == 0 ? &recorded[i] : read ? MatchFile(recorded, path) : nullptr;
    if (!read || image == nullptr) {
      std::printf("%s: failed: %s\n", count == 0 ? recorded[i].name.c_str() : path.c_str(),
                  !read ? "not a readable 32768-byte image" : "matches no image of the record (by SHA-256 or name)");
      worst = 1;
      continue;
    }
    worst = Worse(worst, CheckOne(*image, folder, base, gate, FindIntended(intent, image->name)));
  }
  std::printf("result: %zu of %zu recorded images checked: %s\n", checked, recorded.size(),
              worst == 0 ? "every one matches the record and passes" : worst == 1 ? "failed" : "unverified");
  return worst;
}

}  // namespace sealtool::inspect
