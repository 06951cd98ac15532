#include "release/release_record.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <map>

#include "digest/sha256.h"
#include "image/hex_text.h"
#include "image/layout.h"
#include "keys/aes_key_file.h"
#include "keys/key_check_value.h"
#include "keys/key_handle.h"
#include "keys/public_key.h"
#include "keys/rsa_key_files.h"
#include "platform/calendar.h"
#include "platform/file_facts.h"
#include "release/json_document.h"
#include "release/keyring.h"

namespace sealtool {
namespace {

namespace fs = std::filesystem;

std::string Sha256Hex(const std::uint8_t* bytes, std::size_t size) {
  std::uint8_t digest[kSha256DigestSize];
  Sha256OneShot(bytes, static_cast<std::int32_t>(size), digest);
  return HexString(digest, sizeof digest);
}

std::string RelativeTo(const std::string& path, const std::string& folder) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error).lexically_normal();
  if (error) return path;
  const fs::path relative = absolute.lexically_relative(folder);
  if (relative.empty() || *relative.begin() == "..") return absolute.string();
  return relative.string();
}

// A key the run did not name: the default file of the working directory,
// or for an AES key that is absent, the built-in key.
RecordedKey DefaultKey(const char* role, const char* fileName, bool builtInWhenAbsent, const std::string& folder) {
  RecordedKey key;
  key.role = role;
  const bool present = FileExists(fileName);
  key.reference = present || !builtInWhenAbsent ? RelativeTo(fileName, folder) : "";
  key.source = present || !builtInWhenAbsent ? "file" : "built-in";
  return key;
}

// A key file is recorded as its inputs and outputs are, relative to the
// record's folder, so that the record can be checked from anywhere.
RecordedKey NamedKey(const char* role, const char* reference, const std::string& folder) {
  RecordedKey key;
  key.role = role;
  key.source = KeyRefSourceName(reference);
  key.reference = KeyRefIsPath(reference) ? RelativeTo(reference, folder) : KeyRefForDisplay(reference).text;
  KeyHolder holder;
  if (KeyRefHolder(reference, &holder)) {
    key.inToken = true;
    key.tokenLabel = holder.label;
    key.tokenManufacturer = holder.manufacturer;
    key.tokenModel = holder.model;
    key.tokenSerial = holder.serial;
  }
  return key;
}

// The check value of an AES key, asked once per key and chip group: a key
// in a token or behind a helper is asked through its source, which a batch
// of many images should not repeat.
std::string CheckValueOf(const char* reference, KeyRole role, std::int32_t chip) {
  static std::map<std::string, std::string> known;
  const std::string name = std::to_string(static_cast<int>(role)) + '\n' + (reference != nullptr ? reference : "") +
                           '\n' + (chip == kRsaChip ? "742" : "");
  if (const auto found = known.find(name); found != known.end()) return found->second;
  std::uint8_t value[kKeyCheckValueSize] = {};
  if (!KeyCheckValue(ResolveKey(reference, role, chip), value)) return "";
  return known[name] = HexString(value, sizeof value);
}

// The keys each mode reads, as the sealing steps read them.
std::vector<RecordedKey> KeysOf(RunMode mode, const KeySources& keys, std::int32_t chip, const std::string& folder) {
  const auto keyOf = [&folder](const char* role, const char* reference, const char* defaultFile, bool builtIn) {
    return reference != nullptr ? NamedKey(role, reference, folder) : DefaultKey(role, defaultFile, builtIn, folder);
  };
  std::vector<RecordedKey> used;
  const unsigned reads = RunOptionsOfMode(mode);
  if ((reads & kRunOptionRsaKey) != 0 && keys.signature == nullptr) {
    used.push_back(keyOf("rsa_key", keys.rsaKey, kRsaPrivateKeyFileName, false));
  }
  if ((reads & kRunOptionRsaPub) != 0) {
    if (keys.rsaPub != nullptr || keys.rsaKey == nullptr || !KeyRefGivesOwnPublicKey(keys.rsaKey)) {
      used.push_back(keyOf("rsa_pub", keys.rsaPub, kRsaPublicKeyFileName, false));
    } else {
      used.push_back(NamedKey("rsa_pub", keys.rsaKey, folder));  // the private key's public key
    }
  }
  if ((reads & kRunOptionAesKey) != 0) {
    used.push_back(keyOf("aes_key", keys.aesKey, kAesKeyFileName, true));
    used.back().checkValue = CheckValueOf(keys.aesKey, KeyRole::kAesKey, chip);
  }
  if ((reads & kRunOptionSealKey) != 0) {
    used.push_back(keyOf("seal_key", keys.sealKey, kAesKeyFileName, true));
    used.back().checkValue = CheckValueOf(keys.sealKey, KeyRole::kSealKey, chip);
  }
  return used;
}

Json KeyJson(const RecordedKey& key) {
  Json entry = {{"role", key.role}, {"reference", key.reference}, {"source", key.source}};
  if (key.inToken) {
    entry["token"] = {{"label", key.tokenLabel}, {"manufacturer", key.tokenManufacturer},
                      {"model", key.tokenModel}, {"serial", key.tokenSerial}};
  }
  if (!key.checkValue.empty()) entry["check_value"] = key.checkValue;
  if (key.inKeyring) {
    entry["keyring"] = {{"name", key.keyringName}, {"use", key.keyringUse}, {"status", key.keyringStatus}};
  }
  return entry;
}

Json ImageJson(const RecordedImage& image) {
  Json entry = {{"name", image.name},
                {"input", {{"path", image.input}, {"sha256", image.inputSha256}}},
                {"output", {{"path", image.output}, {"sha256", image.outputSha256}}},
                {"chip", image.chip},
                {"secure_boot", image.secureBoot},
                {"mode", RunModeName(image.mode)}};
  entry["keys"] = Json::array();
  for (const RecordedKey& key : image.keys) entry["keys"].push_back(KeyJson(key));
  if (image.builtInKeysAllowed) entry["allow_built_in_keys"] = true;
  if (image.hasKeyIds) {
    entry["key_id_header"] = image.headerKeyId;
    entry["key_id_spki"] = image.spkiKeyId;
    entry["signature"] = image.signatureSupplied ? "supplied" : "made";
  }
  if (image.hasDigests) {
    entry["image_digest"] = image.imageDigest;
    entry["header_digest"] = image.headerDigest;
  }
  return entry;
}

// SOURCE_DATE_EPOCH as a UTC time, or "" when it is not set or no number.
std::string SourceDate() {
  const char* epoch = std::getenv("SOURCE_DATE_EPOCH");
  if (epoch == nullptr || *epoch == '\0') return "";
  char* end = nullptr;
  const long long seconds = std::strtoll(epoch, &end, 10);
  if (*end != '\0' || seconds < 0) return "";
  const std::time_t time = static_cast<std::time_t>(seconds);
  std::tm utc{};
  char text[32];
  if (!UtcCalendarTime(time, &utc) || std::strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &utc) == 0) {
    return "";
  }
  return text;
}

bool TextAt(const Json& object, const char* key, std::string* out) {
  const auto found = object.find(key);
  return found != object.end() && ReadJsonText(*found, out);
}

bool IntegerAt(const Json& object, const char* key, std::int32_t* out) {
  const auto found = object.find(key);
  return found != object.end() && ReadJsonInt32(*found, out);
}

const Json* ObjectAt(const Json& object, const char* key) {
  const auto found = object.find(key);
  return found != object.end() && found->is_object() ? &*found : nullptr;
}

// An AES key's "check_value": 6 hex digits, on an AES key only.
bool CheckValueAt(const Json& entry, RecordedKey* key) {
  if (!entry.contains("check_value")) return true;
  const bool aes = key->role == "aes_key" || key->role == "seal_key";
  return aes && TextAt(entry, "check_value", &key->checkValue) && key->checkValue.size() == 6 &&
         IsKeyringId(key->checkValue);
}

// "keyring": the name, use and status the keyring gave the key.
bool KeyringNameAt(const Json& entry, RecordedKey* key) {
  if (!entry.contains("keyring")) return true;
  const Json* named = ObjectAt(entry, "keyring");
  KeyUse use{};
  KeyStatus status{};
  key->inKeyring = named != nullptr && TextAt(*named, "name", &key->keyringName) &&
                   TextAt(*named, "use", &key->keyringUse) && TextAt(*named, "status", &key->keyringStatus) &&
                   ParseKeyUse(key->keyringUse, &use) && ParseKeyStatus(key->keyringStatus, &status);
  return key->inKeyring;
}

bool ParseKey(const Json& entry, RecordedKey* key) {
  if (!entry.is_object() || !TextAt(entry, "role", &key->role) || !TextAt(entry, "reference", &key->reference) ||
      !TextAt(entry, "source", &key->source)) {
    return false;
  }
  const bool knownRole = key->role == "rsa_key" || key->role == "rsa_pub" || key->role == "aes_key" ||
                         key->role == "seal_key";
  const bool knownSource = key->source == "built-in" || IsKeySourceName(key->source.c_str());
  return knownRole && knownSource && CheckValueAt(entry, key) && KeyringNameAt(entry, key);
}

bool ParseKeys(const Json& entry, std::vector<RecordedKey>* keys) {
  const auto found = entry.find("keys");
  if (found == entry.end()) return true;
  if (!found->is_array()) return false;
  for (const Json& element : *found) {
    RecordedKey key;
    if (!ParseKey(element, &key)) return false;
    keys->push_back(std::move(key));
  }
  return true;
}

// Two fields a record holds together or not at all (the key ids, the
// digests): false when one is there without the other, or is not text, so
// that what is read is what a record writes back.
bool PairAt(const Json& entry, const char* first, const char* second, std::string* a, std::string* b, bool* has) {
  const bool hasFirst = entry.contains(first);
  *has = hasFirst && entry.contains(second);
  if (hasFirst != entry.contains(second)) return false;
  return !*has || (TextAt(entry, first, a) && TextAt(entry, second, b));
}

// "signature": "made" or "supplied", beside the key ids only.
bool SignatureAt(const Json& entry, RecordedImage* image) {
  std::string signature;
  if (!entry.contains("signature")) return true;
  if (!image->hasKeyIds || !TextAt(entry, "signature", &signature)) return false;
  image->signatureSupplied = signature == "supplied";
  return signature == "supplied" || signature == "made";
}

bool ParseImage(const Json& entry, RecordedImage* image) {
  if (!entry.is_object()) return false;
  const Json* input = ObjectAt(entry, "input");
  const Json* output = ObjectAt(entry, "output");
  std::string mode;
  if (input == nullptr || output == nullptr || !TextAt(entry, "name", &image->name) ||
      !TextAt(*input, "path", &image->input) || !TextAt(*input, "sha256", &image->inputSha256) ||
      !TextAt(*output, "path", &image->output) || !TextAt(*output, "sha256", &image->outputSha256) ||
      !TextAt(entry, "mode", &mode) || !ParseRunModeName(mode.c_str(), &image->mode) ||
      !IntegerAt(entry, "chip", &image->chip) || !IntegerAt(entry, "secure_boot", &image->secureBoot) ||
      !ParseKeys(entry, &image->keys)) {
    return false;
  }
  if (!PairAt(entry, "key_id_header", "key_id_spki", &image->headerKeyId, &image->spkiKeyId, &image->hasKeyIds) ||
      !PairAt(entry, "image_digest", "header_digest", &image->imageDigest, &image->headerDigest,
              &image->hasDigests) ||
      !SignatureAt(entry, image)) {
    return false;
  }
  const auto allowed = entry.find("allow_built_in_keys");
  image->builtInKeysAllowed = allowed != entry.end() && allowed->is_boolean() && allowed->get<bool>();
  return true;
}

}  // namespace

RecordedImage SummarizeImage(const std::uint8_t* output, RunMode mode) {
  RecordedImage image;
  image.mode = mode;
  image.outputSha256 = Sha256Hex(output, kImageSize);
  KeyIds ids{};
  if ((ModeInfoOf(mode).writes & kRegionModulus) != 0 && ComputeImageKeyIds(output, &ids)) {
    image.hasKeyIds = true;
    image.headerKeyId = HexString(ids.header, sizeof ids.header);
    image.spkiKeyId = HexString(ids.spki, sizeof ids.spki);
  }
  return image;
}

RecordedImage RecordImage(const SealedImage& sealed, const std::string& recordFolder) {
  RecordedImage image = SummarizeImage(sealed.output, ChooseRunMode(sealed.chip, sealed.secureBoot));
  image.name = sealed.name;
  image.input = RelativeTo(sealed.inputPath, recordFolder);
  image.inputSha256 = Sha256Hex(sealed.input, sealed.inputSize);
  image.output = RelativeTo(sealed.outputPath, recordFolder);
  image.chip = sealed.chip;
  image.secureBoot = sealed.secureBoot;
  image.keys = KeysOf(image.mode, *sealed.keys, sealed.chip, recordFolder);
  image.signatureSupplied = image.hasKeyIds && sealed.keys->signature != nullptr;
  if (sealed.digests != nullptr && IsSecureMode(image.mode)) {
    image.hasDigests = true;
    image.imageDigest = HexString(sealed.digests->image, sizeof sealed.digests->image);
    image.headerDigest = HexString(sealed.digests->header, sizeof sealed.digests->header);
  }
  return image;
}

std::string FormatRecord(const std::vector<RecordedImage>& images) {
  Json record = {{"tool", "sealtool"}, {"version", SEALTOOL_VERSION}};
  if (const std::string date = SourceDate(); !date.empty()) record["time"] = date;
  record["images"] = Json::array();
  for (const RecordedImage& image : images) record["images"].push_back(ImageJson(image));
  return DumpJson(record);
}

std::string FormatSigningRequest(const std::vector<SigningRequest>& requests, const std::string& nextStep) {
  Json request = {{"tool", "sealtool"}, {"version", SEALTOOL_VERSION}};
  request["images"] = Json::array();
  for (const SigningRequest& image : requests) {
    request["images"].push_back({{"name", image.name},
                                 {"block", image.block},
                                 {"block_sha256", image.blockSha256},
                                 {"image_digest", image.facts.imageDigest},
                                 {"header_digest", image.facts.headerDigest},
                                 {"key_id_header", image.facts.headerKeyId},
                                 {"key_id_spki", image.facts.spkiKeyId},
                                 {"signature", image.signature},
                                 {"commands", image.commands}});
  }
  request["next"] = nextStep;
  return DumpJson(request);
}

bool ParseRecord(const std::string& text, std::vector<RecordedImage>* images, std::string* problem) {
  Json record;
  if (!ParseStrictJson(text, &record, problem)) return false;
  if (!record.is_object()) {
    *problem = "not a JSON object";
    return false;
  }
  std::string tool;
  const auto entries = record.find("images");
  if (!TextAt(record, "tool", &tool) || tool != "sealtool" || entries == record.end() || !entries->is_array()) {
    *problem = "not a release record of sealtool";
    return false;
  }
  images->clear();
  for (std::size_t i = 0; i < entries->size(); ++i) {
    RecordedImage image;
    if (!ParseImage((*entries)[i], &image)) {
      *problem = "images[" + std::to_string(i) + "] is not a recorded image";
      return false;
    }
    images->push_back(std::move(image));
  }
  return true;
}

bool ReadReleaseText(const char* path, std::size_t maxBytes, std::string* text) {
  std::FILE* stream = std::fopen(path, "rb");
  if (stream == nullptr) return false;
  char buffer[65536];
  std::size_t count = 0;
  while (text->size() <= maxBytes && (count = std::fread(buffer, 1, sizeof buffer, stream)) > 0) {
    text->append(buffer, count);
  }
  const bool failed = std::ferror(stream) != 0 || text->size() > maxBytes;
  std::fclose(stream);
  return !failed;
}

std::string RecordFolder(const std::string& path) {
  std::error_code error;
  const fs::path absolute = fs::absolute(path, error).lexically_normal();
  return error ? std::string(".") : absolute.parent_path().string();
}

}  // namespace sealtool
