#include "seal/seal_image.h"

#include <cstdio>
#include <cstring>


#include "console/console.h"
#include "image/byte_order.h"
#include "image/layout.h"
#include "seal/mode_steps.h"
#include "digest/sha256.h"

namespace sealtool {
namespace {

static_assert(sizeof SealDigests{}.image == kSha256DigestSize && sizeof SealDigests{}.header == kSha256DigestSize);

}  // namespace

void PrintDigestWords(const char* label, const std::uint8_t* digest) {
  Say("%s0x%x 0x%x 0x%x 0x%x\r\n", label, LoadU32LE(digest),
              LoadU32LE(digest + 4), LoadU32LE(digest + 8), LoadU32LE(digest + 12));
  Say("        0x%x 0x%x 0x%x 0x%x\r\n", LoadU32LE(digest + 16),
              LoadU32LE(digest + 20), LoadU32LE(digest + 24), LoadU32LE(digest + 28));
}

bool StoreImageDigest(ModeRun* run) {
  Sha256OneShot(run->image, static_cast<std::int32_t>(kImageSize), run->digests->image);
  std::memcpy(run->image + kImageDigestOffset, run->digests->image, kImageDigestSize);
  PrintDigestWords("SHA256: ", run->digests->image);
  return true;
}

bool EncryptBody(ModeRun* run) {
  return KeyEncryptCbc(run->keys->aesKey, KeyEcho::kSpaced, run->image + kBodyAreaOffset, kBodyAreaSize);
}

bool DigestHeader(ModeRun* run) {
  Sha256OneShot(run->image, static_cast<std::int32_t>(kHeaderAreaSize), run->digests->header);
  PrintDigestWords("Sig: ", run->digests->header);
  Say("WIN32 system !!\r\n");
  return true;
}

bool SealHeaderDigest(ModeRun* run) {
  std::uint8_t seal[kDigestSealSize];
  std::memcpy(seal, run->digests->header, sizeof seal);
  if (!KeyEncryptCbc(run->keys->sealKey, KeyEcho::kNone, seal, kDigestSealSize)) return false;
  PrintDigestWords("Encypt Sig: ", seal);
  std::memcpy(run->image + kDigestSealOffset, seal, kDigestSealSize);
  return true;
}

bool SealImage(std::uint8_t* image, std::int32_t chip, RunMode mode, const KeySources& sources,
               SealDigests* digests) {
  const RunKeys keys = ResolveRunKeys(sources, chip);
  SealDigests local{};
  ModeRun run{mode, image, chip, SelectChipLayout(chip), &keys, digests != nullptr ? digests : &local};
  return RunSealSteps(&run);
}

}  // namespace sealtool
