#include "driver/path_claims.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <tuple>

#include "keys/key_handle.h"
#include "platform/file_facts.h"


namespace sealtool {
namespace {

namespace fs = std::filesystem;

constexpr int kMaxLinkHops = 40;

// The real path a new name would be created at: its folder resolved, and a
// dangling link followed to the file it would create.
std::string NewFilePath(fs::path path) {
  std::error_code error;
  for (int hop = 0; hop < kMaxLinkHops && fs::is_symlink(fs::symlink_status(path, error)); ++hop) {
    const fs::path target = fs::read_symlink(path, error);
    if (error) break;
    path = target.is_absolute() ? target : path.parent_path() / target;
  }
  const fs::path absolute = fs::absolute(path, error).lexically_normal();
  const fs::path folder = fs::weakly_canonical(absolute.parent_path(), error);
  return ((error ? absolute.parent_path() : folder) / absolute.filename()).string();
}

// One key per file: the files that exist by device and inode, new names by
// their real path.
using FileKey = std::tuple<bool, std::uint64_t, std::uint64_t, std::string>;

FileKey KeyOf(const FileIdentity& identity) {
  return {identity.exists, identity.device, identity.inode, identity.newPath};
}

}  // namespace

FileIdentity IdentifyFile(const std::string& path) {
  FileIdentity identity;
  const FileId id = IdOfFile(path.c_str());
  if (id.found) {
    identity.exists = true;
    identity.regular = id.regular;
    identity.device = id.device;
    identity.inode = id.inode;
    return identity;
  }
  identity.newPath = NewFilePath(path);
  return identity;
}

// A path many images name (a key file, a shared input) is looked up once.
void ClaimPath(PathClaims* claims, const std::string& path, const std::string& what, PathUse use) {
  auto known = claims->identities.find(path);
  if (known == claims->identities.end()) known = claims->identities.emplace(path, IdentifyFile(path)).first;
  claims->claims.push_back({path, what, use, known->second});
}

void ClaimKeyRef(PathClaims* claims, const std::string& ref, const std::string& what) {
  if (ref.empty()) return;
  for (const KeyFileUse& file : KeyRefFilesRead(ref.c_str())) {
    ClaimPath(claims, file.path, what + file.what, PathUse::kRead);
  }
}

bool NoWriteClashes(const PathClaims& claims) {
  bool clear = true;
  const std::vector<PathClaim>& all = claims.claims;
  std::map<FileKey, std::vector<std::size_t>> byFile;
  for (std::size_t i = 0; i < all.size(); ++i) byFile[KeyOf(all[i].identity)].push_back(i);
  for (std::size_t i = 0; i < all.size(); ++i) {
    const PathClaim& written = all[i];
    if (written.use == PathUse::kRead) continue;
    if (written.use == PathUse::kWrite && written.identity.exists && !written.identity.regular) {
      std::printf("%s: %s is not a regular file: only a regular file or a new name is written\n",
                  written.what.c_str(), written.path.c_str());
      clear = false;
      continue;
    }
    for (const std::size_t j : byFile[KeyOf(written.identity)]) {
      // A pair of writes is told once, from its first.
      if (j == i || (j < i && all[j].use != PathUse::kRead)) continue;
      // A device or a pipe may take several writes: none of them replaces it.
      if (written.identity.exists && !written.identity.regular) continue;
      std::printf("%s: %s is also %s (%s)\n", written.what.c_str(), written.path.c_str(), all[j].what.c_str(),
                  all[j].path.c_str());
      clear = false;
    }
  }
  return clear;
}

}  // namespace sealtool
