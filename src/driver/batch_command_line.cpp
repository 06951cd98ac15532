#include <cstring>
#include <string>

#include "driver/batch.h"
#include "driver/command_line.h"

namespace sealtool {

namespace {

// Whether word is an option that takes the next word as its value: a
// "--batch" there is that value, not the batch's option.
bool TakesValue(const char* word) {
  for (const KeyOptionSpec& option : KeyOptionSpecs()) {
    if (std::strcmp(word, option.name) == 0) return true;
  }
  return std::strcmp(word, "--record") == 0;
}

bool AsksForBatch(int argc, char** argv) {
  for (int i = 1; i < argc && std::strcmp(argv[i], "--") != 0; ++i) {
    if (std::strcmp(argv[i], "--batch") == 0) return true;
    if (TakesValue(argv[i])) ++i;
  }
  return false;
}

}  // namespace

BatchParse ParseBatchCommandLine(int argc, char** argv, BatchCommandLine* batch, std::string* problem) {
  if (!AsksForBatch(argc, argv)) return BatchParse::kNotBatch;
  *batch = BatchCommandLine{};
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    const char** value = word == "--batch"        ? &batch->manifest
                         : word == "--record"     ? &batch->record
                         : word == "--sign-later" ? &batch->signLaterDir
                         : word == "--signature"  ? &batch->signatureDir
                                                  : nullptr;
    if (value != nullptr) {
      if (*value != nullptr) return *problem = word + " is given twice: give it once", BatchParse::kRefused;
      if (i + 1 >= argc) return *problem = word + " needs a value", BatchParse::kRefused;
      *value = argv[++i];
    } else if (word == "--keep-going" || word == "--check") {
      bool* flag = word == "--check" ? &batch->check : &batch->keepGoing;
      if (*flag) return *problem = word + " is given twice: give it once", BatchParse::kRefused;
      *flag = true;
    } else if (word == "--") {
      const std::string next = i + 1 < argc ? argv[i + 1] : "--";
      *problem = "--batch takes no input or output paths, not '" + next + "': the manifest names them";
      return BatchParse::kRefused;
    } else if (word.rfind("--", 0) == 0) {
      *problem = word + " cannot be given with --batch: the manifest names each image's keys";
      return BatchParse::kRefused;
    } else {
      *problem = "--batch takes no input or output paths, not '" + word + "': the manifest names them";
      return BatchParse::kRefused;
    }
  }
  if (batch->signLaterDir != nullptr && batch->signatureDir != nullptr) {
    *problem = "--signature cannot be given with --sign-later";
    return BatchParse::kRefused;
  }
  if (batch->signLaterDir != nullptr && (batch->record != nullptr || batch->keepGoing)) {
    *problem = batch->record != nullptr ? "--record cannot be given with --sign-later: that pass writes no image"
                                        : "--keep-going cannot be given with --sign-later: every block or none";
    return BatchParse::kRefused;
  }
  if (batch->check && (batch->record != nullptr || batch->keepGoing || batch->signLaterDir != nullptr)) {
    *problem = std::string(batch->record != nullptr ? "--record" : batch->keepGoing ? "--keep-going" : "--sign-later") +
               " cannot be given with --check: a check writes nothing";
    return BatchParse::kRefused;
  }
  return BatchParse::kRun;
}

}  // namespace sealtool
