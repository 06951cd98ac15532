#include "driver/batch_checks.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "digest/sha256.h"
#include "driver/failure_lines.h"
#include "driver/path_claims.h"
#include "image/header_info.h"
#include "image/hex_text.h"
#include "image/image_read.h"
#include "image/layout.h"
#include "keys/key_handle.h"
#include "platform/lock_file.h"
#include "platform/staged_file.h"
#include "release/release_record.h"

namespace sealtool {
namespace {

// An input's header area is read here, in a buffer of its own, only to be
// checked: the image is read once, when it is sealed.
std::uint8_t gChecked[kImageSize];

std::string Where(std::size_t index, const ReleaseImage& image) {
  return "images[" + std::to_string(index) + "] (" + image.name + ")";
}

// The input as a run would read it, and the header or key record its mode
// starts from.
bool InputIsSealable(std::size_t index, const ReleaseImage& image) {
  std::memset(gChecked, 0, sizeof gChecked);
  std::size_t size = 0;
  const ImageRead read = ReadImageHead(image.input.c_str(), gChecked, kHeaderAreaSize, &size);
  const char* problem = nullptr;
  if (read == ImageRead::kNotOpened) {
    problem = "cannot be opened";
  } else if (read == ImageRead::kTooLong) {
    problem = "is longer than one image (32768 bytes)";
  } else if (read == ImageRead::kReadError) {
    problem = "cannot be read";
  } else if (!ModeInfoOf(image.mode).checksBootHeader) {
    if (CheckWrKeyCode(gChecked + kKeyRecordOffset) != 0) problem = "holds no key record (magic 0x041A0B15)";
  } else if (CheckBootCode(gChecked + SelectChipLayout(image.chip).bootHeader) != 0) {
    problem = "holds no boot header (marker 0xAA55) where its chip has it";
  }
  if (problem == nullptr) return true;
  std::printf("%s: the input %s %s\n", Where(index, image).c_str(), image.input.c_str(), problem);
  return false;
}

// A key file that can be read, or a URI that parses: checked before any
// token is asked anything.
bool KeyIsUsable(std::size_t index, const ReleaseImage& image, const char* field, const std::string& ref) {
  if (ref.empty()) return true;
  static char why[8192];  // a path as long as the system allows, and why
  why[0] = '\0';
  BeginQuietSteps();
  const bool usable = KeyRefUsable(ref.c_str(), why, sizeof why);
  StepFailure failure;
  EndQuietSteps(&failure);
  if (usable) return true;
  if (why[0] != '\0') {
    std::printf("%s.%s: %s\n", Where(index, image).c_str(), field, why);
  } else {
    std::printf("%s.%s: %s\n", Where(index, image).c_str(), field, KeyRefForDisplay(ref.c_str()).text);
    PrintFailureLines(failure);
  }
  return false;
}

// Every file the batch will read or write, and what each is to it.
PathClaims ClaimsOf(const Manifest& manifest, const BatchFiles& files) {
  PathClaims claims;
  ClaimPath(&claims, files.manifest, "the manifest", PathUse::kRead);
  if (!files.record.empty()) ClaimPath(&claims, files.record, "the record (--record)", PathUse::kWrite);
  const bool blocksOnly = !files.signLaterDir.empty();
  if (blocksOnly) ClaimPath(&claims, files.signLaterDir + "/request.json", "the signing request", PathUse::kWrite);
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    const ReleaseImage& image = manifest.images[i];
    const std::string where = Where(i, image);
    const bool rsa = SignsWithRsa(image.mode);
    ClaimPath(&claims, image.input, where + ".input", PathUse::kRead);
    if (blocksOnly && rsa) {
      ClaimPath(&claims, files.signLaterDir + "/" + image.name + ".block", where + "'s block", PathUse::kWrite);
    } else if (!blocksOnly) {
      ClaimPath(&claims, image.output, where + ".output", files.outputsRead ? PathUse::kRead : PathUse::kWrite);
    }
    if (rsa && !files.signatureDir.empty()) {
      ClaimPath(&claims, files.signatureDir + "/" + image.name + ".sig", where + "'s signature", PathUse::kRead);
    }
    if (files.signLaterDir.empty() && files.signatureDir.empty()) ClaimKeyRef(&claims, image.rsaKey, where + ".rsa_key");
    ClaimKeyRef(&claims, image.rsaPub, where + ".rsa_pub");
    ClaimKeyRef(&claims, image.aesKey, where + ".aes_key");
    ClaimKeyRef(&claims, image.sealKey, where + ".seal_key");
  }
  return claims;
}

// One token's lock: waits for another batch of this user that holds it.
bool TakeLock(int dirFd, const std::string& folder, const std::string& name) {
  const std::string path = folder + "/" + name;
  int lock = -1;
  const LockTaking taking = TryLock(dirFd, name.c_str(), &lock);
  if (taking == LockTaking::kTaken) return true;
  if (taking == LockTaking::kBusy) {
    std::printf("waiting for another run on the token (%s)\n", path.c_str());
    std::fflush(stdout);
    if (WaitForLock(lock)) return true;
  }
  std::printf("the lock %s cannot be taken: %s\n", path.c_str(),
              taking == LockTaking::kNotOwnFile ? "not a file of this user's own" : std::strerror(errno));
  return false;
}

// A folder for the locks that only this user can write; anything else is
// refused, never used and never skipped.
int LockFolder(std::string* folder) {
  int dirFd = -1;
  const LockFolderOpening opening = OpenLockFolder(folder, &dirFd);
  if (opening == LockFolderOpening::kCannotMake) {
    std::printf("the lock folder %s cannot be made: %s\n", folder->c_str(), std::strerror(errno));
  } else if (opening == LockFolderOpening::kNotPrivate) {
    std::printf("the lock folder %s is not this user's own (a folder only the user can write, not a link): "
                "remove it, or set XDG_RUNTIME_DIR to such a folder\n", folder->c_str());
  }
  return dirFd;
}

}  // namespace

CommandLine CommandLineOf(const ReleaseImage& image) {
  CommandLine line{};
  line.inputPath = image.input.c_str();
  line.outputPath = image.output.c_str();
  line.hasChip = line.hasSecureBoot = true;
  line.chip = image.chip;
  line.secureBoot = image.secureBoot;
  auto refOf = [](const std::string& ref) { return ref.empty() ? nullptr : ref.c_str(); };
  line.keys.rsaKey = refOf(image.rsaKey);
  line.keys.rsaPub = refOf(image.rsaPub);
  line.keys.aesKey = refOf(image.aesKey);
  line.keys.sealKey = refOf(image.sealKey);
  return line;
}

bool ReadManifestText(const char* path, std::string* text) {
  return ReadReleaseText(path, kMaxManifestBytes, text);
}

bool EverythingIsThere(const Manifest& manifest, const BatchFiles& files) {
  bool ok = true;
  std::set<std::string> usable;  // a key many images share is checked once
  const auto keyIsUsable = [&usable](std::size_t i, const ReleaseImage& image, const char* field,
                                     const std::string& ref) {
    if (usable.count(ref) != 0) return true;
    if (!KeyIsUsable(i, image, field, ref)) return false;
    usable.insert(ref);
    return true;
  };
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    const ReleaseImage& image = manifest.images[i];
    ok = InputIsSealable(i, image) && ok;
    ok = keyIsUsable(i, image, "rsa_key", image.rsaKey) && ok;
    ok = keyIsUsable(i, image, "rsa_pub", image.rsaPub) && ok;
    ok = keyIsUsable(i, image, "aes_key", image.aesKey) && ok;
    ok = keyIsUsable(i, image, "seal_key", image.sealKey) && ok;
  }
  return ok && NoWriteClashes(ClaimsOf(manifest, files));
}

bool LockTokens(const Manifest& manifest) {
  std::set<std::string> tokens;
  for (const ReleaseImage& image : manifest.images) {
    for (const std::string* ref : {&image.rsaKey, &image.rsaPub, &image.aesKey, &image.sealKey}) {
      std::string name;
      if (!ref->empty() && KeyRefSharedName(ref->c_str(), &name)) tokens.insert(name);
    }
  }
  if (tokens.empty()) return true;
  std::string folder;
  const int dirFd = LockFolder(&folder);
  if (dirFd < 0) return false;
  bool locked = true;
  for (const std::string& token : tokens) {  // in order: no two batches wait on each other
    std::uint8_t digest[kSha256DigestSize];
    Sha256OneShot(reinterpret_cast<const std::uint8_t*>(token.data()), static_cast<std::int32_t>(token.size()),
                  digest);
    locked = TakeLock(dirFd, folder, "sealtool-token-" + HexString(digest, 8) + ".lock");
    if (!locked) break;
  }
  CloseFolder(dirFd);  // the locks stay open on their own
  return locked;
}

void RaiseDescriptorLimit() { RaiseOpenFileLimit(); }

}  // namespace sealtool
