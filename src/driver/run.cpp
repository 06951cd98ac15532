#include "driver/run.h"

#include <cerrno>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include <mbedtls/platform_util.h>

#include "driver/batch.h"
#include "driver/command_line.h"
#include "driver/image_file.h"
#include "driver/next_step.h"
#include "driver/path_claims.h"
#include "driver/record_file.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"
#include "keys/key_handle.h"
#include "release/keyring_check.h"
#include "release/release_record.h"
#include "seal/mode_steps.h"

namespace sealtool {
namespace {

// The image lives for the whole process; every step works on it in place.
std::uint8_t gImage[kImageSize];

constexpr char kUsageLine[] = "sealtool <input_bin> <output_bin> <chip id> <secure_boot>\n";

constexpr char kHelpText[] =
    "usage: sealtool [OPTIONS] [--] <input_bin> <output_bin> [<chip id> [<secure_boot>]]\n"
    "       sealtool --batch MANIFEST [--record FILE] [--keep-going]\n"
    "                [--sign-later DIR | --signature DIR] [--check]\n"
    "\n"
    "Checks and seals a 32768-byte boot image. Keys come from aes.txt, rsa_priv.txt\n"
    "and rsa_pub.txt in the working directory unless an option names them. REF is\n"
    "a file path (read in that key's own format), a pkcs11: URI (RFC 7512) of a\n"
    "key kept in a token, or helper:PROGRAM[?key=NAME], a program that does the\n"
    "key's operations; the token's PIN comes from the URI's pin-source, its\n"
    "pin-value (warned about), the SEALTOOL_PIN environment variable, or a prompt\n"
    "on the terminal.\n"
    "\n"
    "  --rsa-key REF      the RSA private key (rsa_priv.txt)\n"
    "  --rsa-pub REF      the public key whose N and E are stored (rsa_pub.txt; for\n"
    "                     a token --rsa-key, its public key in the token)\n"
    "  --aes-key REF      the body key, or the user key of key-record mode\n"
    "                     (aes.txt, token form)\n"
    "  --seal-key REF     the digest seal key of AES-seal mode (aes.txt, byte list)\n"
    "  --sign-later BLOCK write the RSA input block to BLOCK for signing elsewhere,\n"
    "                     and no image\n"
    "  --signature SIG    take the RSA signature from SIG (128 bytes, big-endian)\n"
    "  --keyring FILE     refuse a key that FILE does not hold, or holds as revoked\n"
    "  --record FILE      also write a JSON record of the run, with the output\n"
    "  --help, --version\n"
    "\n"
    "A release: --batch MANIFEST seals every image of a JSON manifest, all or none.\n"
    "  --record FILE      write the release's record with the images\n"
    "  --keep-going       write the images that sealed even when others failed\n"
    "  --sign-later DIR   write each RSA image's block and a request to DIR, and no\n"
    "                     image, for signing elsewhere\n"
    "  --signature DIR    take each RSA image's signature from DIR\n"
    "  --check            write nothing: seal every image again and compare it\n"
    "                     with its output\n"
    "\n"
    "Exit status: 0 written, 255 bad arguments, input, image or key, 1 the output\n"
    "could not be written. A release: 0 written; 2 with --keep-going, some images\n"
    "failed; 1 nothing could be written; 255 refused, nothing written. --check: 0\n"
    "every image equal, 1 one differs, 255 one cannot be sealed again.\n";

void PrintStartup(const CommandLine& commandLine) {
  std::printf("sealtool version : 2018-0316-1.0003\r\n");
  if (commandLine.hasChip) {
    std::printf("chip version [KX73%d]\n", commandLine.chip);
  }
  if (commandLine.hasSecureBoot) {
    std::printf("secure boot: %d\n", commandLine.secureBoot);
  }
}

// A run that signs later writes the RSA input block, not the image, and
// says how to go on.
int WriteBlockForSigning(const CommandLine& commandLine) {
  if (!WriteImageFile(commandLine.keys.signLater, gImage + kRsaSignatureOffset, kRsaBlockSize)) {
    std::printf("BIN error !\n");
    return 1;
  }
  PrintSigningNextStep(commandLine);
  return 0;
}

// The block of a run that signs later goes to a file of its own: written
// over the input or the output, it would destroy the firmware or an image.
bool BlockPathIsFree(const CommandLine& commandLine) {
  const char* block = commandLine.keys.signLater;
  if (block == nullptr) return true;
  const char* taken = SameFile(block, commandLine.inputPath)    ? "the input image"
                      : SameFile(block, commandLine.outputPath) ? "the output image"
                                                                : nullptr;
  if (taken == nullptr) return true;
  std::printf("command syntax error! --sign-later %s names %s: the block would replace it\n%s",
              KeyRefForDisplay(block).text, taken, kUsageLine);
  return false;
}

// The block of a run that signs later and the record go to files of their
// own: over the input, the output or a key they would destroy what the run
// reads or writes.
bool WrittenPathsAreFree(const CommandLine& commandLine) {
  const char* block = commandLine.keys.signLater;
  if (block == nullptr && commandLine.recordPath == nullptr) return true;
  PathClaims claims;
  if (block != nullptr) ClaimPath(&claims, block, "--sign-later", PathUse::kWriteAnyKind);
  if (commandLine.recordPath != nullptr) ClaimPath(&claims, commandLine.recordPath, "--record", PathUse::kWrite);
  ClaimPath(&claims, commandLine.inputPath, "the input image", PathUse::kRead);
  // The output follows the single run's own rules; the others only must not be it.
  ClaimPath(&claims, commandLine.outputPath, "the output image", PathUse::kRead);
  const KeySources& keys = commandLine.keys;
  const auto keyOr = [](const char* ref, const char* file) { return std::string(ref != nullptr ? ref : file); };
  ClaimKeyRef(&claims, keyOr(keys.rsaKey, KeyDefaultFile(KeyRole::kRsaPrivate)), "the RSA private key");
  ClaimKeyRef(&claims, keyOr(keys.rsaPub, KeyDefaultFile(KeyRole::kRsaPublic)), "the RSA public key");
  ClaimKeyRef(&claims, keyOr(keys.aesKey, KeyDefaultFile(KeyRole::kAesKey)), "the AES key");
  if (keys.sealKey != nullptr) ClaimKeyRef(&claims, keys.sealKey, "the seal key");
  if (keys.signature != nullptr) ClaimPath(&claims, keys.signature, "the signature", PathUse::kRead);
  if (NoWriteClashes(claims)) return true;
  std::printf("command syntax error! %s would replace a file the run needs\n%s",
              block != nullptr ? "the block" : "the record", kUsageLine);
  return false;
}

// A run with --record writes its output and its record together, or
// neither, with the writer's lines of a run without it.
int WriteOutputWithRecord(const CommandLine& commandLine, const RecordedImage& image) {
  StagedFile output{-1, {}, {}, -1, -1};
  StagedFile record{-1, {}, {}, -1, -1};
  std::printf("Writing '%s'...\n", commandLine.outputPath);
  bool written = StageImageFile(commandLine.outputPath, gImage, kImageSize, &output);
  if (!written) std::printf("file writing error !\n");
  if (written && !StageRecordFile(commandLine.recordPath, FormatRecord({image}), &record)) {
    DiscardStagedFile(&output);
    written = false;
  }
  if (written) {
    StagedFile both[] = {output, record};
    written = CommitStagedFiles(both, 2);
    if (!written) std::printf("the output and the record cannot be moved into place: %s\n", std::strerror(errno));
  }
  for (const int dirFd : {output.dirFd, record.dirFd}) CloseFolder(dirFd);
  if (!written) {
    std::printf("BIN error !\n");
    return 1;
  }
  std::printf("write size = %d\n", static_cast<int>(kImageSize));
  std::printf("Save BIN OK.\n");
  std::printf("All OK.\n");
  return 0;
}

}  // namespace

// With --keyring, every key the run uses, held against it before the input
// is read; what it said of them goes into the record.
bool KeysAreInKeyring(const CommandLine& commandLine, std::vector<KeyVerdict>* verdicts) {
  static Keyring keyring;
  if (!LoadKeyringFile(commandLine.keyringPath, &keyring)) return false;
  const RunKeys keys = ResolveRunKeys(commandLine.keys, commandLine.chip);
  const KeyringUse use{&keyring, commandLine.keyringPath, false};
  return CheckRunKeys(keys, ChooseRunMode(commandLine.chip, commandLine.secureBoot), use, verdicts);
}

bool ProcessImage(std::uint8_t* image, const CommandLine& commandLine, SealDigests* digests) {
  const RunMode mode = ChooseRunMode(commandLine.chip, commandLine.secureBoot);
  const ChipLayout layout = SelectChipLayout(commandLine.chip);
  const RunKeys keys = ResolveRunKeys(commandLine.keys, commandLine.chip);
  SealDigests local{};
  ModeRun run{mode, image, commandLine.chip, layout, &keys, digests != nullptr ? digests : &local};
  return RunModeSteps(&run);
}

namespace {

// The record of a single run: its one image, made while its token keys are
// still open.
struct SingleRecord {
  std::uint8_t input[kImageSize];
  std::uint32_t inputSize;
  RecordedImage image;
  std::vector<KeyVerdict> keyring;  // what --keyring said of the keys
};

void RecordSingleRun(const CommandLine& commandLine, const SealDigests& digests, SingleRecord* record) {
  const std::string name = std::filesystem::path(commandLine.outputPath).filename().string();
  const SealedImage sealed{name.c_str(), commandLine.inputPath, commandLine.outputPath,
                           commandLine.chip, commandLine.secureBoot, &commandLine.keys,
                           record->input, record->inputSize, gImage, &digests};
  record->image = RecordImage(sealed, RecordFolder(commandLine.recordPath));
  NoteKeyringVerdicts(record->keyring, &record->image);
}

// A command line with --batch is a batch's, and only a batch's: runs it,
// with its status in *status, or returns false for a single run.
bool RunBatchIfAsked(int argc, char** argv, int* status) {
  BatchCommandLine batch;
  std::string problem;
  switch (ParseBatchCommandLine(argc, argv, &batch, &problem)) {
    case BatchParse::kNotBatch:
      return false;
    case BatchParse::kRun:
      *status = RunBatch(batch);
      return true;
    case BatchParse::kRefused:
      break;
  }
  std::printf("command syntax error! %s\nsealtool --batch MANIFEST [--record FILE] [--keep-going] [--sign-later DIR | --signature DIR]\n"
              "sealtool --batch MANIFEST --check [--signature DIR]\n",
              problem.c_str());
  *status = -1;
  return true;
}

}  // namespace

int RunSealTool(int argc, char** argv) {
  int batchStatus = 0;
  if (RunBatchIfAsked(argc, argv, &batchStatus)) return batchStatus;
  CommandLine commandLine{};
  const char* problem = nullptr;
  switch (ParseCommandLine(argc, argv, &commandLine, &problem)) {
    case ParseResult::kRun:
      break;
    case ParseResult::kHelp:
      std::fputs(kHelpText, stdout);
      return 0;
    case ParseResult::kVersion:
      std::printf("sealtool %s (2018-0316-1.0003)\n", SEALTOOL_VERSION);
      return 0;
    case ParseResult::kMissingValue:
      std::printf("command syntax error! %s needs a value\n%s", problem, kUsageLine);
      return -1;
    case ParseResult::kRefused:
      std::printf("command syntax error! %s\n%s", problem, kUsageLine);
      return -1;
    default:
      std::printf("command syntax error!\n%s", kUsageLine);
      return -1;
  }
  if (!BlockPathIsFree(commandLine) || !WrittenPathsAreFree(commandLine)) return -1;
  PrintStartup(commandLine);
  static SingleRecord record;
  if (commandLine.keyringPath != nullptr && !KeysAreInKeyring(commandLine, &record.keyring)) {
    CloseKeys();
    return -1;
  }

  std::memset(gImage, 0, sizeof gImage);
  std::uint32_t imageSize = 0;
  if (!ReadImageFile(commandLine.inputPath, gImage, &imageSize)) {
    std::printf("read binary file error!, chip = %d\n", commandLine.chip);
    return -1;
  }
  // Every later step works on the whole image, whatever the input's length.
  if (commandLine.recordPath != nullptr) {
    std::memcpy(record.input, gImage, sizeof record.input);
    record.inputSize = imageSize;
  }
  imageSize = kImageSize;

  SealDigests digests{};
  const bool processed = ProcessImage(gImage, commandLine, &digests);
  if (processed && commandLine.recordPath != nullptr) RecordSingleRun(commandLine, digests, &record);
  CloseKeys();
  if (!processed) return -1;
  if (commandLine.keys.signLater != nullptr) return WriteBlockForSigning(commandLine);
  if (commandLine.recordPath != nullptr) return WriteOutputWithRecord(commandLine, record.image);
  if (!WriteImageFile(commandLine.outputPath, gImage, imageSize)) {
    std::printf("BIN error !\n");
    return 1;
  }
  std::printf("Save BIN OK.\n");
  std::printf("All OK.\n");
  return 0;
}

}  // namespace sealtool
