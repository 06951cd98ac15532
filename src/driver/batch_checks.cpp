#include "driver/batch_checks.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <set>
#include <utility>

#include "digest/sha256.h"
#include "driver/output_capture.h"
#include "image/header_info.h"
#include "image/hex_text.h"
#include "image/image_read.h"
#include "image/layout.h"
#include "release/release_record.h"
#include "token/key_ref_text.h"
#include "token/pkcs11_token.h"
#include "token/token_ref.h"

namespace sealtool {
namespace {

constexpr std::size_t kMaxManifestBytes = 4u << 20;

// An input is read here, in a buffer of its own, only to be checked.
std::uint8_t gChecked[kImageSize];

std::string Where(std::size_t index, const ReleaseImage& image) {
  return "images[" + std::to_string(index) + "] (" + image.name + ")";
}

// The input as a run would read it, and the header or key record its mode
// starts from.
bool InputIsSealable(std::size_t index, const ReleaseImage& image) {
  std::memset(gChecked, 0, sizeof gChecked);
  std::size_t size = 0;
  const ImageRead read = ReadAtMostOneImage(image.input.c_str(), gChecked, &size);
  const char* problem = nullptr;
  if (read == ImageRead::kNotOpened) {
    problem = "cannot be opened";
  } else if (read == ImageRead::kTooLong) {
    problem = "is longer than one image (32768 bytes)";
  } else if (read == ImageRead::kReadError) {
    problem = "cannot be read";
  } else if (image.mode == RunMode::kKeyRecord) {
    if (CheckWrKeyCode(gChecked + kKeyRecordOffset) != 0) problem = "holds no key record (magic 0x041A0B15)";
  } else if (CheckBootCode(gChecked + SelectChipLayout(image.chip).bootHeader) != 0) {
    problem = "holds no boot header (marker 0xAA55) where its chip has it";
  }
  if (problem == nullptr) return true;
  std::printf("%s: the input %s %s\n", Where(index, image).c_str(), image.input.c_str(), problem);
  return false;
}

// A key file that can be read, or a URI that parses: checked before any
// token is asked anything.
bool KeyIsUsable(std::size_t index, const ReleaseImage& image, const char* field, const std::string& ref) {
  if (ref.empty()) return true;
  if (IsTokenRef(ref.c_str())) {
    TokenRef parsed{};
    const bool capturing = BeginCapture();
    const bool parses = ParseRef(ref.c_str(), &parsed);
    ReleaseRef(&parsed);
    const std::string said = capturing ? EndCapture() : std::string();
    if (parses) return true;
    std::printf("%s.%s: %s\n%s", Where(index, image).c_str(), field, KeyRefForDisplay(ref.c_str()).text,
                FailureReason(said).c_str());
    return false;
  }
  struct stat info {};
  if (stat(ref.c_str(), &info) == 0 && S_ISREG(info.st_mode) && access(ref.c_str(), R_OK) == 0) return true;
  std::printf("%s.%s: the key file %s cannot be read: %s\n", Where(index, image).c_str(), field, ref.c_str(),
              errno != 0 ? std::strerror(errno) : "not a regular file");
  return false;
}

// The part of a URI that names its token and module: two batches whose keys
// share it use one token.
std::string TokenOfUri(const std::string& uri) {
  const std::size_t query = uri.find('?');
  std::string path = uri.substr(7, query == std::string::npos ? std::string::npos : query - 7);
  std::string named;
  std::size_t start = 0;
  while (start <= path.size()) {
    const std::size_t end = std::min(path.find(';', start), path.size());
    const std::string attribute = path.substr(start, end - start);
    for (const char* prefix : {"token=", "serial=", "manufacturer=", "model=", "library-"}) {
      if (attribute.rfind(prefix, 0) == 0) named += attribute + ";";
    }
    start = end + 1;
  }
  if (query != std::string::npos) {
    const std::string rest = uri.substr(query + 1);
    start = 0;
    while (start <= rest.size()) {
      const std::size_t end = std::min(rest.find('&', start), rest.size());
      const std::string attribute = rest.substr(start, end - start);
      if (attribute.rfind("module-", 0) == 0) named += attribute + ";";
      start = end + 1;
    }
  }
  return named;
}

}  // namespace

bool ReadManifestText(const char* path, std::string* text) {
  return ReadReleaseText(path, kMaxManifestBytes, text);
}

bool EverythingIsThere(const Manifest& manifest) {
  bool ok = true;
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    const ReleaseImage& image = manifest.images[i];
    ok = InputIsSealable(i, image) && ok;
    ok = KeyIsUsable(i, image, "rsa_key", image.rsaKey) && ok;
    ok = KeyIsUsable(i, image, "rsa_pub", image.rsaPub) && ok;
    ok = KeyIsUsable(i, image, "aes_key", image.aesKey) && ok;
    ok = KeyIsUsable(i, image, "seal_key", image.sealKey) && ok;
  }
  // A file that stands at two names is caught here, where the text could not.
  std::map<std::pair<dev_t, ino_t>, std::size_t> inputs;
  for (std::size_t j = 0; j < manifest.images.size(); ++j) {
    struct stat info {};
    if (stat(manifest.images[j].input.c_str(), &info) == 0) inputs.emplace(std::make_pair(info.st_dev, info.st_ino), j);
  }
  for (std::size_t i = 0; i < manifest.images.size(); ++i) {
    struct stat info {};
    if (stat(manifest.images[i].output.c_str(), &info) != 0) continue;
    const auto input = inputs.find(std::make_pair(info.st_dev, info.st_ino));
    if (input == inputs.end()) continue;
    std::printf("%s.output: %s is the input of %s\n", Where(i, manifest.images[i]).c_str(),
                manifest.images[i].output.c_str(), Where(input->second, manifest.images[input->second]).c_str());
    ok = false;
  }
  return ok;
}

// Advisory locks, one per token the batch uses, so that two batches on one
// HSM take their turns instead of interleaving logins. Held until the
// process ends.
void LockTokens(const Manifest& manifest) {
  std::set<std::string> tokens;
  for (const ReleaseImage& image : manifest.images) {
    for (const std::string* ref : {&image.rsaKey, &image.rsaPub, &image.aesKey, &image.sealKey}) {
      if (!ref->empty() && IsTokenRef(ref->c_str())) tokens.insert(TokenOfUri(*ref));
    }
  }
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  const std::string folder = runtime != nullptr && *runtime == '/' ? runtime : "/tmp";
  for (const std::string& token : tokens) {  // in order: no two batches wait on each other
    std::uint8_t digest[kSha256DigestSize];
    Sha256OneShot(reinterpret_cast<const std::uint8_t*>(token.data()), static_cast<std::int32_t>(token.size()),
                  digest);
    const std::string path = folder + "/sealtool-token-" + HexString(digest, 8) + ".lock";
    const int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) continue;  // a lock that cannot be made does not stop a release
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
      std::printf("waiting for another run on the token (%s)\n", path.c_str());
      std::fflush(stdout);
      flock(fd, LOCK_EX);
    }
  }
}

// Enough descriptors for every staged output's folder.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}

}  // namespace sealtool
