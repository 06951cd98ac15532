// The record of a release: which input became which output, in which mode,
// under which keys from where, with the digests the seal covers. One JSON
// document, the same bytes for the same release (no time stamp unless
// SOURCE_DATE_EPOCH gives one), and never a secret.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "image/run_mode.h"
#include "keys/key_sources.h"
#include "seal/seal_image.h"

namespace sealtool {

struct RecordedKey {
  std::string role;       // rsa_key, rsa_pub, aes_key or seal_key
  std::string reference;  // as given, every pin-value masked
  std::string source;     // file, token or built-in
  bool inToken = false;
  std::string tokenLabel, tokenManufacturer, tokenModel, tokenSerial;
  std::string checkValue;  // an AES key's check value (6 hex digits); "" for RSA keys
  bool inKeyring = false;  // the run held the key against a keyring, which named it so:
  std::string keyringName, keyringUse, keyringStatus;
};

struct RecordedImage {
  std::string name;
  std::string input, inputSha256;
  std::string output, outputSha256;
  std::int32_t chip = 0;
  std::int32_t secureBoot = 0;
  RunMode mode = RunMode::kPlain;
  std::vector<RecordedKey> keys;
  bool builtInKeysAllowed = false;  // a batch whose manifest let keys be left out
  bool hasKeyIds = false;  // RSA mode
  std::string headerKeyId, spkiKeyId;
  bool signatureSupplied = false;
  bool hasDigests = false;  // the secure modes
  std::string imageDigest, headerDigest;
};

// What a run knows of one image it sealed; the record is made from it.
struct SealedImage {
  const char* name;
  const char* inputPath;
  const char* outputPath;
  std::int32_t chip;
  std::int32_t secureBoot;
  const KeySources* keys;
  const std::uint8_t* input;  // the bytes read, inputSize of them
  std::size_t inputSize;
  const std::uint8_t* output;  // the image written
  const SealDigests* digests;  // null outside the secure modes
};

// The record's entry for image: hashes, key ids and, for each key the mode
// read, where it came from (asking the token of a token key which it is).
// Paths are kept relative to recordFolder where they lie below it.
RecordedImage RecordImage(const SealedImage& image, const std::string& recordFolder);

// What a console line tells of a sealed image: the output's SHA-256 and, in
// RSA mode, its key ids; the rest of the entry is left empty.
RecordedImage SummarizeImage(const std::uint8_t* output, RunMode mode);

// One RSA image of a batch that is signed elsewhere: its block to sign,
// what the block covers, and how to sign it.
struct SigningRequest {
  std::string name;
  std::string block;  // the block's file name in the request's folder
  std::string blockSha256;
  std::string signature;  // the file name the signature is expected under
  RecordedImage facts;    // key ids and digests
  std::vector<std::string> commands;
};

// The JSON text of DIR/request.json (ending in a newline).
std::string FormatSigningRequest(const std::vector<SigningRequest>& requests, const std::string& nextStep);

// The JSON text of a record of images (ending in a newline).
std::string FormatRecord(const std::vector<RecordedImage>& images);

// Parses a record as FormatRecord writes it; false with *problem.
bool ParseRecord(const std::string& text, std::vector<RecordedImage>* images, std::string* problem);

// A manifest or a record, whole: false when it cannot be read or runs past
// maxBytes.
bool ReadReleaseText(const char* path, std::size_t maxBytes, std::string* text);

// The folder a record at path lives in, absolute.
std::string RecordFolder(const std::string& path);

}  // namespace sealtool
