#include "release_intent.h"

#include <cstdio>
#include <filesystem>

#include "image/hex_text.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "keys/key_handle.h"
#include "platform/file_facts.h"

namespace sealtool::inspect {
namespace {

namespace fs = std::filesystem;

// The header key id of the public key a manifest names for an RSA image:
// its rsa_pub, or the token key's own. Read in the manifest's folder, where
// the batch reads it.
bool IntendedKeyId(const ReleaseImage& image, std::string* id) {
  const std::string& ref = image.rsaPub.empty() ? image.rsaKey : image.rsaPub;
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  KeyIds ids{};
  const bool loaded = !ref.empty() && LoadPublicKey(ref.c_str(), &n, &e, &kind) && ComputeKeyIds(&n, &e, &ids);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  if (loaded) *id = HexString(ids.header, sizeof ids.header);
  return loaded;
}

}  // namespace

bool LoadIntent(const char* path, std::vector<IntendedImage>* intent, IntendedKeys* keys) {
  std::string text, problem;
  Manifest manifest;
  if (!ReadReleaseText(path, kMaxManifestBytes, &text)) {
    std::fprintf(stderr, "sealinfo: the manifest '%s' cannot be read\n", path);
    return false;
  }
  // A manifest of a release signed elsewhere names no private key.
  if (!ParseManifest(text, BatchSigning::kInRun, &manifest, &problem) &&
      !ParseManifest(text, BatchSigning::kElsewhere, &manifest, &problem)) {
    std::fprintf(stderr, "sealinfo: the manifest '%s' is refused: %s\n", path, problem.c_str());
    return false;
  }
  int here = -1;
  const fs::path folder = fs::path(path).parent_path();
  const bool saved = SaveWorkingFolder(&here);
  if (!saved || (!folder.empty() && !EnterFolder(folder.string().c_str()))) {
    std::fprintf(stderr, "sealinfo: the manifest's folder cannot be entered\n");
    if (saved) ReturnToFolder(here);
    return false;
  }
  bool ok = true;
  keys->production = manifest.production;
  if (!manifest.keyring.empty()) keys->keyring = fs::absolute(manifest.keyring).lexically_normal().string();
  for (const ReleaseImage& image : manifest.images) {
    IntendedImage intended{image, false, {}};
    for (std::string* ref : {&intended.image.aesKey, &intended.image.sealKey, &intended.image.rsaPub}) {
      if (!ref->empty() && KeyRefIsPath(ref->c_str())) *ref = fs::absolute(*ref).lexically_normal().string();
    }
    if (SignsWithRsa(image.mode) && !IntendedKeyId(image, &intended.keyId)) {
      std::fprintf(stderr, "sealinfo: the public key of the manifest's image %s cannot be read\n", image.name.c_str());
      ok = false;
    }
    intended.hasKeyId = SignsWithRsa(image.mode);
    intent->push_back(std::move(intended));
  }
  ok = ReturnToFolder(here) && ok;
  CloseKeys();
  return ok;
}

const IntendedImage* FindIntended(const std::vector<IntendedImage>& intent, const std::string& name) {
  for (const IntendedImage& image : intent) {
    if (image.image.name == name) return &image;
  }
  return nullptr;
}

std::string KeyNotIntended(const RecordedImage& recorded, const IntendedImage& intended,
                           const std::string& recordFolder) {
  for (const RecordedKey& key : recorded.keys) {
    const std::string* meant = key.role == "aes_key"    ? &intended.image.aesKey
                               : key.role == "seal_key" ? &intended.image.sealKey
                                                        : nullptr;
    if (meant == nullptr) continue;
    bool same = false;
    if (meant->empty()) {
      same = key.source == "built-in";
    } else if (key.source != KeyRefSourceName(meant->c_str())) {
      same = false;
    } else if (!KeyRefIsPath(meant->c_str())) {
      same = key.reference == KeyRefForDisplay(meant->c_str()).text;
    } else {
      const fs::path recordedPath = fs::path(key.reference).is_absolute()
                                        ? fs::path(key.reference)
                                        : fs::path(recordFolder) / key.reference;
      same = SameFileId(IdOfFile(recordedPath.string().c_str()), IdOfFile(meant->c_str()));
    }
    if (!same) return "its " + key.role + " is not the manifest's";
  }
  return "";
}

}  // namespace sealtool::inspect
