// The release manifest's parser on arbitrary text, for both signing passes.
// A manifest that parses names only images whose mode reads every key it
// names, and no output that is also an input; a refusal that starts with a
// field path ("images[3].chip: ...") names a field the text has.
#include <cstdint>
#include <string>

#include "release/json_document.h"
#include "release/manifest.h"

namespace {

using sealtool::Json;

bool IsNameCharacter(char c) {
  return c == '_' || c == '-' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// The JSON string at path[at] ('"' ... '"'), read into key; *end is just
// past it.
bool QuotedKey(const std::string& path, std::size_t at, std::string* key, std::size_t* end) {
  std::size_t i = at + 1;
  while (i < path.size() && path[i] != '"') i += path[i] == '\\' ? 2 : 1;
  if (i >= path.size()) return false;
  const Json parsed = Json::parse(path.substr(at, i + 1 - at), nullptr, false);
  if (!parsed.is_string()) return false;
  *key = parsed.get<std::string>();
  *end = i + 1;
  return true;
}

// Follows path ("images[3].chip", images[0]["n[ame"]) through document;
// false when a step of it is not there. *isPath: path is a field path.
bool PathExists(const Json& document, const std::string& path, bool* isPath) {
  const Json* at = &document;
  std::size_t i = 0;
  *isPath = false;
  while (i < path.size()) {
    std::string name;
    if (path[i] == '[' && i + 1 < path.size() && path[i + 1] == '"') {
      std::size_t end = 0;
      if (!QuotedKey(path, i + 1, &name, &end) || end >= path.size() || path[end] != ']') return false;
      i = end + 1;
    } else if (path[i] == '[') {
      const std::size_t close = path.find(']', i);
      if (close == std::string::npos || close == i + 1) return false;
      std::size_t index = 0;
      for (std::size_t k = i + 1; k < close; ++k) {
        if (path[k] < '0' || path[k] > '9' || index > 100000) return false;
        index = index * 10 + static_cast<std::size_t>(path[k] - '0');
      }
      *isPath = true;
      if (!at->is_array() || index >= at->size()) return false;
      at = &(*at)[index];
      i = close + 1;
      continue;
    } else {
      if (path[i] == '.') {
        if (i == 0) return false;
        ++i;
      }
      std::size_t end = i;
      while (end < path.size() && IsNameCharacter(path[end])) ++end;
      if (end == i) return false;
      name = path.substr(i, end - i);
      i = end;
    }
    *isPath = true;
    if (!at->is_object() || !at->contains(name)) return false;
    at = &(*at)[name];
  }
  return true;
}

// The path a refusal starts with: up to the first ": " outside a quoted
// key.
std::string PathOfRefusal(const std::string& problem) {
  bool quoted = false;
  for (std::size_t i = 0; i + 1 < problem.size(); ++i) {
    if (quoted && problem[i] == '\\') {
      ++i;
    } else if (problem[i] == '"') {
      quoted = !quoted;
    } else if (!quoted && problem[i] == ':' && problem[i + 1] == ' ') {
      return problem.substr(0, i);
    }
  }
  return "";
}

void CheckRefusal(const std::string& text, const std::string& problem) {
  const std::string path = PathOfRefusal(problem);
  // "manifest" names the document itself.
  if (path.empty() || path == "manifest" || path.find(' ') != std::string::npos) return;
  const Json document = Json::parse(text, nullptr, false);
  if (document.is_discarded()) return;
  bool isPath = false;
  if (!PathExists(document, path, &isPath) && isPath) __builtin_trap();
}

void CheckManifest(const sealtool::Manifest& manifest) {
  for (const sealtool::ReleaseImage& image : manifest.images) {
    const unsigned reads = sealtool::RunOptionsOfMode(image.mode);
    if ((!image.rsaKey.empty() && (reads & sealtool::kRunOptionRsaKey) == 0) ||
        (!image.rsaPub.empty() && (reads & sealtool::kRunOptionRsaPub) == 0) ||
        (!image.aesKey.empty() && (reads & sealtool::kRunOptionAesKey) == 0) ||
        (!image.sealKey.empty() && (reads & sealtool::kRunOptionSealKey) == 0)) {
      __builtin_trap();
    }
    for (const sealtool::ReleaseImage& other : manifest.images) {
      if (image.output == other.input) __builtin_trap();
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  for (const sealtool::BatchSigning signing : {sealtool::BatchSigning::kInRun, sealtool::BatchSigning::kElsewhere}) {
    sealtool::Manifest manifest;
    std::string problem;
    if (sealtool::ParseManifest(text, signing, &manifest, &problem)) {
      CheckManifest(manifest);
    } else {
      CheckRefusal(text, problem);
    }
  }
  return 0;
}
