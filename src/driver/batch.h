// A whole release in one run: the images of a manifest, checked first,
// sealed one after another in one image buffer with one login per token,
// and written together or not at all.
#pragma once

#include <string>

namespace sealtool {

struct BatchCommandLine {
  const char* manifest = nullptr;
  const char* record = nullptr;
  bool keepGoing = false;
  // Signing elsewhere, in two passes: the first writes DIR/NAME.block for
  // every RSA image and DIR/request.json, and no image; the second takes
  // DIR/NAME.sig for each and writes the release.
  const char* signLaterDir = nullptr;
  const char* signatureDir = nullptr;
  // Writes nothing: seals every image again in memory and compares it with
  // the output on disk.
  bool check = false;
};

enum class BatchParse { kNotBatch, kRun, kRefused };

// A command line with --batch: only the batch's own options, no positional
// argument. kNotBatch when argv has no --batch among its options.
BatchParse ParseBatchCommandLine(int argc, char** argv, BatchCommandLine* batch, std::string* problem);

// Exit status of a batch: every image sealed and written.
inline constexpr int kBatchDone = 0;
// With --keep-going: some images failed (named on the console); every image
// that sealed was written.
inline constexpr int kBatchPartly = 2;
// The outputs could not be written (none was), as a single run's 1.
inline constexpr int kBatchNotWritten = 1;
// A manifest, input, key or sealing failure: nothing was written (main's -1).
inline constexpr int kBatchFailed = -1;

// The release of the manifest; returns main's result.
int RunBatch(const BatchCommandLine& batch);

}  // namespace sealtool
