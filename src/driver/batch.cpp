#include "driver/batch.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "digest/sha256.h"
#include "driver/batch_checks.h"
#include "driver/batch_reproduce.h"
#include "driver/image_file.h"
#include "driver/next_step.h"
#include "driver/failure_lines.h"
#include "driver/path_claims.h"
#include "driver/record_file.h"
#include "driver/run.h"
#include "platform/staged_file.h"
#include "image/hex_text.h"
#include "platform/file_facts.h"
#include "image/layout.h"
#include "keys/held_key_files.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "console/console.h"
#include "release/keyring_check.h"
#include "release/manifest.h"
#include "release/release_record.h"

namespace sealtool {
namespace {

namespace fs = std::filesystem;

constexpr std::size_t kMaxBatchImages = 4096;

// Each image is sealed in this one buffer and staged before the next.
std::uint8_t gImage[kImageSize];
std::uint8_t gInput[kImageSize];

struct ImageRun {
  StagedFile staged{-1, {}, {}, -1, -1};  // no folder open until it is staged
  bool sealed = false;
  RecordedImage record;
  std::string blockSha256;  // signing elsewhere: the block written for it
  std::vector<KeyVerdict> keyring;  // what the manifest's keyring said of its keys
};

// Where the RSA images are signed: in the run, or elsewhere in two passes
// whose files lie in one folder (absolute).
struct Signing {
  std::string signLaterDir;
  std::string signatureDir;
  bool Elsewhere() const { return !signLaterDir.empty() || !signatureDir.empty(); }
};

std::string BlockName(const ReleaseImage& image) { return image.name + ".block"; }
std::string SignatureName(const ReleaseImage& image) { return image.name + ".sig"; }

// Seals one image in the buffer and stages its output; the steps' text is
// kept back, and shown only in part: its warnings, and why it failed.
bool SealOne(const ReleaseImage& image, const std::string* recordFolder, const Signing& signing,
             bool builtInKeysAllowed, ImageRun* run) {
  CommandLine line = CommandLineOf(image);
  const bool rsa = SignsWithRsa(image.mode);
  const std::string block = signing.signLaterDir + "/" + BlockName(image);
  const std::string signature = signing.signatureDir + "/" + SignatureName(image);
  if (rsa && signing.Elsewhere()) line.keys.rsaKey = nullptr;
  if (rsa && !signing.signLaterDir.empty()) line.keys.signLater = block.c_str();
  if (rsa && !signing.signatureDir.empty()) line.keys.signature = signature.c_str();
  const bool blockOnly = line.keys.signLater != nullptr;
  BeginQuietSteps();
  std::memset(gImage, 0, sizeof gImage);
  std::uint32_t size = 0;
  SealDigests digests{};
  bool ok = ReadImageFile(line.inputPath, gImage, &size);
  std::memcpy(gInput, gImage, sizeof gInput);
  ok = ok && ProcessImage(gImage, line, &digests);
  if (ok && recordFolder != nullptr) {
    const KeySources keys = line.keys;
    const SealedImage sealed{image.name.c_str(), line.inputPath, line.outputPath, image.chip, image.secureBoot,
                             &keys, gInput, size, gImage, &digests};
    run->record = RecordImage(sealed, *recordFolder);
    run->record.builtInKeysAllowed = builtInKeysAllowed;
    NoteKeyringVerdicts(run->keyring, &run->record);
  } else if (ok) {
    run->record = SummarizeImage(gImage, image.mode);
    run->record.hasDigests = true;
    run->record.imageDigest = HexString(digests.image, sizeof digests.image);
    run->record.headerDigest = HexString(digests.header, sizeof digests.header);
  }
  bool staged = false;
  int stageError = 0;
  const char* written = blockOnly ? line.keys.signLater : line.outputPath;
  if (ok && blockOnly) {
    // The block lies where the signature will: the run leaves it there.
    staged = StageImageFile(written, gImage + kRsaSignatureOffset, kRsaBlockSize, &run->staged);
    stageError = errno;
    std::uint8_t digest[kSha256DigestSize];
    Sha256OneShot(gImage + kRsaSignatureOffset, static_cast<std::int32_t>(kRsaBlockSize), digest);
    run->blockSha256 = HexString(digest, sizeof digest);
    // The image does not carry the public key before it is signed: the ids
    // are those of the key the block was prepared for.
    run->record.hasKeyIds = digests.hasKeyIds;
    run->record.headerKeyId = HexString(digests.keyIds.header, sizeof digests.keyIds.header);
    run->record.spkiKeyId = HexString(digests.keyIds.spki, sizeof digests.keyIds.spki);
  } else if (ok) {
    staged = StageImageFile(written, gImage, kImageSize, &run->staged);
    stageError = errno;
  }
  StepFailure failure;
  EndQuietSteps(&failure);
  if (!ok) {
    std::printf("%s: failed\n", image.name.c_str());
    PrintFailureLines(failure);
    return false;
  }
  if (!staged) {
    std::printf("%s: failed\n  %s cannot be written: %s\n", image.name.c_str(), written, std::strerror(stageError));
    return false;
  }
  if (blockOnly) {
    std::printf("%s: block %s, sha256 %s, key id %s\n", image.name.c_str(), written, run->blockSha256.c_str(),
                run->record.headerKeyId.c_str());
    return true;
  }
  std::printf("%s: %s, chip %d, sha256 %s", image.name.c_str(), RunModeName(image.mode), image.chip,
              run->record.outputSha256.c_str());
  if (run->record.hasKeyIds) std::printf(", key id %s", run->record.headerKeyId.c_str());
  std::printf("\n");
  return true;
}

void CloseStagedFolder(StagedFile* staged) {
  CloseFolder(staged->dirFd);
  staged->dirFd = -1;
}

void CloseFolders(std::vector<ImageRun>* runs) {
  for (ImageRun& run : *runs) CloseStagedFolder(&run.staged);
}

std::size_t SealedCount(const std::vector<ImageRun>& runs) {
  std::size_t sealed = 0;
  for (const ImageRun& run : runs) sealed += run.sealed ? 1 : 0;
  return sealed;
}

// Moves the staged outputs of the images that sealed into place, together
// with the extras that are staged (a signing request, the record): all of
// them or none.
bool CommitSealed(std::vector<ImageRun>* runs, StagedFile* const* extras, std::size_t extraCount) {
  std::vector<StagedFile> staged;
  for (ImageRun& run : *runs) {
    if (run.sealed) staged.push_back(run.staged);
  }
  for (std::size_t i = 0; i < extraCount; ++i) {
    if (extras[i]->dirFd >= 0) staged.push_back(*extras[i]);
  }
  return staged.empty() || CommitStagedFiles(staged.data(), staged.size());
}

std::string Quoted(const std::string& word) {
  std::vector<char> text(4 * word.size() + 3);
  return ShellQuote(word.c_str(), text.data(), text.size()) ? std::string(text.data()) : word;
}

// DIR/request.json: for each block, what it covers and how to sign it, and
// the pass that takes the signatures.
bool StageSigningRequest(const BatchCommandLine& batch, const Signing& signing, const Manifest& manifest,
                         const std::vector<ImageRun>& runs, StagedFile* staged) {
  std::vector<SigningRequest> requests;
  for (std::size_t i = 0; i < runs.size(); ++i) {
    if (!runs[i].sealed) continue;
    const ReleaseImage& image = manifest.images[i];
    const std::string block = Quoted(BlockName(image));
    const std::string signature = Quoted(SignatureName(image));
    std::string pkcs11Tool = "pkcs11-tool --module MODULE --login --sign -m RSA-X-509 --id KEY-ID -i ";
    pkcs11Tool.append(block).append(" -o ").append(signature);
    std::string openssl = "openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey key.pem -in ";
    openssl.append(block).append(" -out ").append(signature);
    requests.push_back({image.name, BlockName(image), runs[i].blockSha256, SignatureName(image), runs[i].record,
                        {pkcs11Tool, openssl}});
  }
  const std::string next = "sealtool --batch " + Quoted(batch.manifest) + " --signature " + Quoted(batch.signLaterDir);
  const std::string text = FormatSigningRequest(requests, next);
  const std::string path = signing.signLaterDir + "/request.json";
  if (StageImageFile(path.c_str(), reinterpret_cast<const std::uint8_t*>(text.data()),
                     static_cast<std::uint32_t>(text.size()), staged)) {
    return true;
  }
  std::printf("%s cannot be written: %s\n", path.c_str(), std::strerror(errno));
  CloseStagedFolder(staged);  // nothing of ours is staged there
  return false;
}

// Removes every staged file, so that the run leaves nothing behind.
void DiscardAll(std::vector<ImageRun>* runs, StagedFile* const* extras, std::size_t extraCount) {
  for (ImageRun& run : *runs) {
    if (run.sealed) DiscardStagedFile(&run.staged);
  }
  CloseFolders(runs);
  for (std::size_t i = 0; i < extraCount; ++i) {
    if (extras[i]->dirFd >= 0) DiscardStagedFile(extras[i]);
    CloseStagedFolder(extras[i]);
  }
}

// Paths of the command line, made absolute before the batch moves into the
// manifest's folder.
std::string Absolute(const char* path) {
  if (path == nullptr) return "";
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error);
  return error ? std::string(path) : absolute.lexically_normal().string();
}

// With a keyring, or in a production release, the keys of every image held
// against it before any image is sealed; images of the same keys (and the
// same built-in key) are checked once. What the keyring said of each
// image's keys goes to its run, for the record.
bool KeysAreAllowed(const Manifest& manifest, std::vector<ImageRun>* runs) {
  if (manifest.keyring.empty() && !manifest.production) return true;
  static Keyring keyring;
  if (!manifest.keyring.empty() && !LoadKeyringFile(manifest.keyring.c_str(), &keyring)) {
    std::printf("batch failed: the keyring cannot be used; nothing was written\n");
    return false;
  }
  const KeyringUse use{manifest.keyring.empty() ? nullptr : &keyring, manifest.keyring.c_str(), manifest.production};
  std::map<std::string, std::vector<KeyVerdict>> checked;
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    const ReleaseImage& image = manifest.images[i];
    const std::string keys = std::string(RunModeName(image.mode)) + '\n' + image.rsaKey + '\n' + image.rsaPub + '\n' +
                             image.aesKey + '\n' + image.sealKey + '\n' + (image.chip == kRsaChip ? "742" : "");
    if (const auto known = checked.find(keys); known != checked.end()) {
      (*runs)[i].keyring = known->second;
      continue;
    }
    const CommandLine line = CommandLineOf(image);
    if (use.keyring != nullptr) Say("keys of %s:\n", image.name.c_str());
    if (!CheckRunKeys(ResolveRunKeys(line.keys, image.chip), image.mode, use, &(*runs)[i].keyring)) {
      std::printf("batch failed: the keys of %s are refused; nothing was written\n", image.name.c_str());
      return false;
    }
    checked[keys] = (*runs)[i].keyring;
  }
  return true;
}

bool EnterManifestFolder(const char* manifest) {
  const fs::path folder = fs::path(manifest).parent_path();
  if (folder.empty() || EnterFolder(folder.string().c_str())) return true;
  std::printf("the manifest's folder %s cannot be entered: %s\n", folder.string().c_str(), std::strerror(errno));
  return false;
}

// The record of the images that sealed, staged beside its name.
bool StageRecord(const std::vector<ImageRun>& runs, const std::string& recordPath, StagedFile* staged) {
  std::vector<RecordedImage> images;
  for (const ImageRun& run : runs) {
    if (run.sealed) images.push_back(run.record);
  }
  return StageRecordFile(recordPath, FormatRecord(images), staged);
}

// Writes what the run staged, with its record, or nothing; the last line
// says which, and the exit status agrees with it.
int Finish(std::vector<ImageRun>* runs, const std::string& recordPath, bool keepGoing, std::size_t failed,
           StagedFile* request) {
  StagedFile record{-1, {}, {}, -1, -1};
  StagedFile* extras[] = {request, &record};
  const bool requested = request->dirFd >= 0;
  const std::size_t sealed = SealedCount(*runs);
  if (failed > 0 && (!keepGoing || sealed == 0)) {
    DiscardAll(runs, extras, std::size(extras));
    std::printf("batch failed: %snothing was written\n", sealed == 0 && keepGoing ? "no image sealed; " : "");
    return kBatchFailed;
  }
  if (!recordPath.empty() && !StageRecord(*runs, recordPath, &record)) {
    CloseStagedFolder(&record);  // nothing of ours is staged there
    DiscardAll(runs, extras, std::size(extras));
    std::printf("batch failed: the record cannot be written; nothing was written\n");
    return kBatchNotWritten;
  }
  const bool committed = CommitSealed(runs, extras, std::size(extras));
  CloseFolders(runs);
  CloseStagedFolder(request);
  CloseStagedFolder(&record);
  if (!committed) {
    std::printf("batch failed: the outputs cannot be moved into place (%s); none was written\n",
                std::strerror(errno));
    return kBatchNotWritten;
  }
  const char* withRecord = recordPath.empty() ? "" : ", with the record";
  if (failed > 0) {
    std::printf("sealed %zu of %zu images and wrote them%s; %zu failed\n", sealed, runs->size(), withRecord, failed);
    return kBatchPartly;
  }
  if (requested) {
    std::printf("wrote %zu blocks to sign and request.json, and no image; once each NAME.sig is beside its "
                "block, run the batch again with --signature\n", sealed);
    return kBatchDone;
  }
  std::printf("sealed %zu images and wrote them%s\n", sealed, withRecord);
  return kBatchDone;
}

int SealOrCheck(const BatchCommandLine& batch, const Manifest& manifest, const Signing& signing,
                const std::string& recordPath);

}  // namespace

int RunBatch(const BatchCommandLine& batch) {
  std::string text;
  if (!ReadManifestText(batch.manifest, &text)) {
    std::printf("the manifest %s cannot be read\n", batch.manifest);
    return kBatchFailed;
  }
  Signing signing{Absolute(batch.signLaterDir), Absolute(batch.signatureDir)};
  Manifest manifest;
  std::string problem;
  if (!ParseManifest(text, signing.Elsewhere() ? BatchSigning::kElsewhere : BatchSigning::kInRun, &manifest,
                     &problem)) {
    std::printf("the manifest %s is refused: %s\n", batch.manifest, problem.c_str());
    return kBatchFailed;
  }
  if (manifest.images.size() > kMaxBatchImages) {
    std::printf("the manifest %s is refused: a batch seals at most %zu images\n", batch.manifest, kMaxBatchImages);
    return kBatchFailed;
  }
  const std::string recordPath = Absolute(batch.record);
  const BatchFiles files{Absolute(batch.manifest), recordPath, signing.signLaterDir, signing.signatureDir,
                         batch.check};
  if (!EnterManifestFolder(batch.manifest) || !EverythingIsThere(manifest, files)) return kBatchFailed;
  // Each key file is read once for the whole batch, and wiped at its end.
  HoldKeyFilesForRun();
  const int status = SealOrCheck(batch, manifest, signing, recordPath);
  CloseKeys();
  return status;
}

namespace {

int SealOrCheck(const BatchCommandLine& batch, const Manifest& manifest, const Signing& signing,
                const std::string& recordPath) {
  if (batch.check) {
    RaiseDescriptorLimit();
    if (!LockTokens(manifest)) return kBatchFailed;
    return ReproduceRelease(manifest, signing.signatureDir);
  }
  RaiseDescriptorLimit();
  std::vector<ImageRun> runs(manifest.images.size());
  if (!LockTokens(manifest) || !KeysAreAllowed(manifest, &runs)) return kBatchFailed;
  const std::string recordFolder = recordPath.empty() ? std::string() : RecordFolder(recordPath);
  const bool blocksOnly = !signing.signLaterDir.empty();
  if (blocksOnly && !MakeFolder(signing.signLaterDir.c_str())) {
    std::printf("the folder %s cannot be made: %s\n", signing.signLaterDir.c_str(), std::strerror(errno));
    return kBatchFailed;
  }
  std::size_t failed = 0;
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    // The pass that writes blocks leaves the other images for the next.
    if (blocksOnly && !SignsWithRsa(manifest.images[i].mode)) continue;
    runs[i].sealed = SealOne(manifest.images[i], recordPath.empty() ? nullptr : &recordFolder, signing,
                             manifest.allowBuiltInKeys, &runs[i]);
    if (!runs[i].sealed) ++failed;
    if (failed > 0 && !batch.keepGoing) break;
  }
  StagedFile request{-1, {}, {}, -1, -1};
  const bool requested = blocksOnly && failed == 0 && StageSigningRequest(batch, signing, manifest, runs, &request);
  if (blocksOnly && failed == 0 && !requested) ++failed;
  if (!requested) CloseStagedFolder(&request);
  return Finish(&runs, recordPath, batch.keepGoing, failed, &request);
}

}  // namespace

}  // namespace sealtool
