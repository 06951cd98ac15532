#include "driver/batch_reproduce.h"

#include <cstdio>
#include <cstring>

#include "driver/batch_checks.h"
#include "driver/image_file.h"
#include "driver/failure_lines.h"
#include "driver/run.h"
#include "image/image_read.h"
#include "image/layout.h"

namespace sealtool {
namespace {

std::uint8_t gSealed[kImageSize];
std::uint8_t gOnDisk[kImageSize];

enum class Reproduced { kSame, kDiffers, kNotSealed };

// Seals image in gSealed as the batch would; the steps' text is kept back
// and shown only where the image fails.
bool SealInMemory(const ReleaseImage& image, const std::string& signatureDir) {
  CommandLine line = CommandLineOf(image);
  const std::string signature = signatureDir + "/" + image.name + ".sig";
  if (SignsWithRsa(image.mode) && !signatureDir.empty()) {
    line.keys.rsaKey = nullptr;
    line.keys.signature = signature.c_str();
  }
  BeginQuietSteps();
  std::memset(gSealed, 0, sizeof gSealed);
  std::uint32_t size = 0;
  const bool sealed = ReadImageFile(line.inputPath, gSealed, &size) && ProcessImage(gSealed, line);
  StepFailure failure;
  EndQuietSteps(&failure);
  if (!sealed) {
    std::printf("%s: cannot be sealed again\n", image.name.c_str());
    PrintFailureLines(failure);
  }
  return sealed;
}

// The first run of differing bytes and the region it starts in.
void PrintFirstDifference(const ReleaseImage& image) {
  std::size_t first = 0;
  while (first < kImageSize && gSealed[first] == gOnDisk[first]) ++first;
  std::size_t end = first;
  while (end < kImageSize && gSealed[end] != gOnDisk[end]) ++end;
  std::printf("%s: differs from %s: bytes %zu-%zu first (%s)\n", image.name.c_str(), image.output.c_str(), first,
              end - 1, ImageRegionName(first, SelectChipLayout(image.chip)));
}

Reproduced ReproduceOne(const ReleaseImage& image, const std::string& signatureDir) {
  if (!SealInMemory(image, signatureDir)) return Reproduced::kNotSealed;
  std::memset(gOnDisk, 0, sizeof gOnDisk);
  std::size_t size = 0;
  if (ReadAtMostOneImage(image.output.c_str(), gOnDisk, &size) != ImageRead::kRead || size != kImageSize) {
    std::printf("%s: differs: %s is not a readable %zu-byte image\n", image.name.c_str(), image.output.c_str(),
                kImageSize);
    return Reproduced::kDiffers;
  }
  if (std::memcmp(gSealed, gOnDisk, kImageSize) != 0) {
    PrintFirstDifference(image);
    return Reproduced::kDiffers;
  }
  std::printf("%s: same as %s\n", image.name.c_str(), image.output.c_str());
  return Reproduced::kSame;
}

}  // namespace

int ReproduceRelease(const Manifest& manifest, const std::string& signatureDir) {
  std::size_t differ = 0, notSealed = 0;
  for (const ReleaseImage& image : manifest.images) {
    const Reproduced result = ReproduceOne(image, signatureDir);
    differ += result == Reproduced::kDiffers ? 1 : 0;
    notSealed += result == Reproduced::kNotSealed ? 1 : 0;
  }
  const std::size_t total = manifest.images.size();
  if (notSealed > 0) {
    std::printf("check failed: %zu of %zu images could not be sealed again; %zu differ\n", notSealed, total, differ);
    return kSomeNotSealed;
  }
  if (differ > 0) {
    std::printf("check: %zu of %zu images differ from what their manifest seals\n", differ, total);
    return kSomeDiffer;
  }
  std::printf("check: %zu images sealed again, each equal to its output byte for byte\n", total);
  return kReproducedAll;
}

}  // namespace sealtool
