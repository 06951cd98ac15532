#include "release/manifest.h"

#include <filesystem>
#include <set>

#include "release/json_document.h"
#include "keys/key_handle.h"

namespace sealtool {
namespace {

// The key fields, the run option each stands for, and where it goes.
struct KeyField {
  const char* name;
  RunOption option;
  std::string ReleaseImage::*value;
};

constexpr KeyField kKeyFields[] = {
    {"rsa_key", kRunOptionRsaKey, &ReleaseImage::rsaKey},
    {"rsa_pub", kRunOptionRsaPub, &ReleaseImage::rsaPub},
    {"aes_key", kRunOptionAesKey, &ReleaseImage::aesKey},
    {"seal_key", kRunOptionSealKey, &ReleaseImage::sealKey},
};

const KeyField* FindKeyField(const std::string& name) {
  for (const KeyField& field : kKeyFields) {
    if (name == field.name) return &field;
  }
  return nullptr;
}

// What a manifest is checked against, with the path of the value in hand.
struct Checker {
  std::string* problem;
  bool Fail(const std::string& where, const std::string& what) {
    *problem = where + ": " + what;
    return false;
  }
};

bool ReadInteger(const Json& value, const std::string& where, std::int32_t* out, Checker* check) {
  if (!value.is_number_integer()) return check->Fail(where, "an integer is needed");
  return ReadJsonInt32(value, out) || check->Fail(where, "out of range");
}

bool ReadText(const Json& value, const std::string& where, std::string* out, Checker* check) {
  if (!value.is_string() || value.get_ref<const std::string&>().empty()) {
    return check->Fail(where, "a non-empty string is needed");
  }
  *out = value.get<std::string>();
  if (out->find('\0') != std::string::npos) return check->Fail(where, "holds a NUL character");
  return true;
}

// The values an image or the defaults give, and which of them were given.
struct Fields {
  ReleaseImage image;
  bool hasName = false, hasInput = false, hasOutput = false, hasChip = false, hasSecureBoot = false;
  unsigned keys = 0;  // RunOption bits of the keys named
};

bool ReadField(const std::string& key, const Json& value, const std::string& where, bool inDefaults,
               Fields* fields, Checker* check) {
  if (key == "chip") return fields->hasChip = true, ReadInteger(value, where, &fields->image.chip, check);
  if (key == "secure_boot") {
    fields->hasSecureBoot = true;
    return ReadInteger(value, where, &fields->image.secureBoot, check);
  }
  if (const KeyField* field = FindKeyField(key); field != nullptr) {
    fields->keys |= field->option;
    std::string* ref = &(fields->image.*(field->value));
    if (!ReadText(value, where, ref, check)) return false;
    // A manifest is a file that travels (into repositories, into logs): a
    // PIN does not belong in it.
    if (KeyRefHoldsSecret(ref->c_str())) {
      return check->Fail(where, "holds a pin-value: put pin-source=file:PATH in the URI, or set SEALTOOL_PIN");
    }
    return true;
  }
  if (!inDefaults && key == "name") return fields->hasName = true, ReadText(value, where, &fields->image.name, check);
  if (!inDefaults && key == "input") return fields->hasInput = true, ReadText(value, where, &fields->image.input, check);
  if (!inDefaults && key == "output") {
    fields->hasOutput = true;
    return ReadText(value, where, &fields->image.output, check);
  }
  return check->Fail(where, inDefaults ? "not a field of the defaults (chip, secure_boot, rsa_key, "
                                         "rsa_pub, aes_key, seal_key)"
                                       : "not a field of an image (name, input, output, chip, "
                                         "secure_boot, rsa_key, rsa_pub, aes_key, seal_key)");
}

bool ReadFields(const Json& object, const std::string& where, bool inDefaults, Fields* fields,
                Checker* check) {
  if (!object.is_object()) return check->Fail(where, "an object is needed");
  for (const auto& [key, value] : object.items()) {
    if (!ReadField(key, value, JsonFieldPath(where, key), inDefaults, fields, check)) return false;
  }
  return true;
}

// The keys the image's mode needs that are not named. A token RSA key
// brings its own public key; a key file holds no E, so rsa_pub is needed.
const char* MissingKey(const ReleaseImage& image, BatchSigning signing) {
  const unsigned reads = RunOptionsOfMode(image.mode);
  if ((reads & kRunOptionAesKey) != 0 && image.aesKey.empty()) return "aes_key";
  if ((reads & kRunOptionSealKey) != 0 && image.sealKey.empty()) return "seal_key";
  if ((reads & kRunOptionRsaKey) == 0) return nullptr;
  if (signing == BatchSigning::kInRun && image.rsaKey.empty()) return "rsa_key";
  const bool ownPublicKey = signing == BatchSigning::kInRun && KeyRefGivesOwnPublicKey(image.rsaKey.c_str());
  return image.rsaPub.empty() && !ownPublicKey ? "rsa_pub" : nullptr;
}

// The image's own keys must be read by its mode; the defaults' keys that
// its mode does not read are left out.
bool SettleKeys(const Fields& own, const std::string& where, BatchSigning signing, ReleaseImage* image,
                Checker* check) {
  unsigned reads = RunOptionsOfMode(image->mode);
  if (signing == BatchSigning::kElsewhere) reads &= ~static_cast<unsigned>(kRunOptionRsaKey);
  for (const KeyField& field : kKeyFields) {
    if ((reads & field.option) != 0) continue;
    if ((own.keys & field.option) != 0 && !(signing == BatchSigning::kElsewhere && field.option == kRunOptionRsaKey)) {
      return check->Fail(where + "." + field.name,
                         std::string("needs ") + RunOptionNeeds(field.option) + "; this image is " +
                             RunModeName(image->mode) + " mode (chip " + std::to_string(image->chip) +
                             ", secure_boot " + std::to_string(image->secureBoot) + ")");
    }
    (image->*(field.value)).clear();
  }
  return true;
}

bool MergeImage(const Json& entry, const std::string& where, const Fields& defaults, const Manifest& manifest,
                BatchSigning signing, ReleaseImage* image, Checker* check) {
  Fields own;
  if (!ReadFields(entry, where, false, &own, check)) return false;
  if (!own.hasInput) return check->Fail(where, "input is needed");
  if (!own.hasOutput) return check->Fail(where, "output is needed");
  if (!own.hasChip && !defaults.hasChip) return check->Fail(where, "chip is needed (here or in the defaults)");
  if (!own.hasSecureBoot && !defaults.hasSecureBoot) {
    return check->Fail(where, "secure_boot is needed (here or in the defaults)");
  }
  *image = own.image;
  image->chip = own.hasChip ? own.image.chip : defaults.image.chip;
  image->secureBoot = own.hasSecureBoot ? own.image.secureBoot : defaults.image.secureBoot;
  for (const KeyField& field : kKeyFields) {
    if ((own.keys & field.option) == 0) image->*(field.value) = defaults.image.*(field.value);
  }
  image->mode = ChooseRunMode(image->chip, image->secureBoot);
  if (!own.hasName) image->name = std::filesystem::path(image->output).filename().string();
  if (image->name.empty() || image->name == "." || image->name == ".." ||
      image->name.find('/') != std::string::npos) {
    return check->Fail(where + ".name", "'" + image->name + "' cannot name files (no '/', not . or ..)");
  }
  if (!SettleKeys(own, where, signing, image, check)) return false;
  if (const char* missing = MissingKey(*image, signing); missing != nullptr && !manifest.allowBuiltInKeys) {
    return check->Fail(where, std::string(RunModeName(image->mode)) + " mode needs " + missing +
                                  ": a batch uses no key file it is not given and no built-in key "
                                  "(name it, or set allow_built_in_keys)");
  }
  return true;
}

std::string Normal(const std::string& path) {
  return std::filesystem::path(path).lexically_normal().string();
}

// Names and outputs are each one image's; no output is another's input.
bool CheckDistinct(const Manifest& manifest, Checker* check) {
  std::set<std::string> names, outputs, inputs;
  for (const ReleaseImage& image : manifest.images) inputs.insert(Normal(image.input));
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    const ReleaseImage& image = manifest.images[i];
    const std::string where = "images[" + std::to_string(i) + "]";
    if (!names.insert(image.name).second) {
      return check->Fail(where + ".name", "'" + image.name + "' names another image too");
    }
    if (!outputs.insert(Normal(image.output)).second) {
      return check->Fail(where + ".output", "'" + image.output + "' is another image's output too");
    }
    if (inputs.count(Normal(image.output)) != 0) {
      return check->Fail(where + ".output", "'" + image.output + "' is an image's input");
    }
  }
  return true;
}

}  // namespace

bool ParseManifest(const std::string& text, BatchSigning signing, Manifest* manifest,
                   std::string* problem) {
  Checker check{problem};
  *manifest = Manifest{};
  Json document;
  std::string jsonProblem;
  if (!ParseStrictJson(text, &document, &jsonProblem)) {
    // A duplicate names its own path; anything else is the whole text's fault.
    return jsonProblem.rfind("not JSON", 0) == 0 ? check.Fail("manifest", jsonProblem) : (*problem = jsonProblem, false);
  }
  if (!document.is_object()) return check.Fail("manifest", "an object is needed");
  Fields defaults;
  const Json* images = nullptr;
  for (const auto& [key, value] : document.items()) {
    if (key == "defaults") {
      if (!ReadFields(value, "defaults", true, &defaults, &check)) return false;
    } else if (key == "images") {
      images = &value;
    } else if (key == "allow_built_in_keys") {
      if (!value.is_boolean()) return check.Fail(key, "true or false is needed");
      manifest->allowBuiltInKeys = value.get<bool>();
    } else if (key == "keyring") {
      if (!ReadText(value, key, &manifest->keyring, &check)) return false;
    } else if (key == "release") {
      if (!value.is_string() || (value != "production" && value != "development")) {
        return check.Fail(key, "production or development is needed");
      }
      manifest->production = value == "production";
    } else {
      return check.Fail(JsonFieldPath("", key),
                        "not a field of the manifest (defaults, images, allow_built_in_keys, keyring, release)");
    }
  }
  if (images == nullptr) return check.Fail("manifest", "images is needed");
  if (!images->is_array() || images->empty()) return check.Fail("images", "a non-empty array is needed");
  for (std::size_t i = 0; i < images->size(); ++i) {
    ReleaseImage image;
    if (!MergeImage((*images)[i], "images[" + std::to_string(i) + "]", defaults, *manifest, signing,
                    &image, &check)) {
      return false;
    }
    manifest->images.push_back(std::move(image));
  }
  return CheckDistinct(*manifest, &check);
}

}  // namespace sealtool
