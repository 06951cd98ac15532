// The files one run reads and writes, held side by side so that nothing it
// writes lands on another of them: not on an input, a key, the manifest or a
// PIN file, and not twice on one file under two spellings.
#pragma once

#include <cstdint>

#include <map>
#include <string>
#include <vector>

namespace sealtool {

// kWrite must be a regular file or a new name; kWriteAnyKind may also be a
// device or a pipe, written in place (a single run's block).
enum class PathUse { kRead, kWrite, kWriteAnyKind };

// What a path names: for a file that exists, its device and inode (links
// followed); for a new name, the real path of its folder and the name.
struct FileIdentity {
  bool exists = false;
  bool regular = false;
  std::uint64_t device = 0;
  std::uint64_t inode = 0;
  std::string newPath;
};

struct PathClaim {
  std::string path;
  std::string what;  // how messages name it: "the manifest", "images[2] (a).output"
  PathUse use;
  FileIdentity identity;
};

struct PathClaims {
  std::vector<PathClaim> claims;
  std::map<std::string, FileIdentity> identities;  // by path, as claimed
};

FileIdentity IdentifyFile(const std::string& path);

void ClaimPath(PathClaims* claims, const std::string& path, const std::string& what, PathUse use);

// A key reference: a key file is read; a URI's pin-source file is read.
void ClaimKeyRef(PathClaims* claims, const std::string& ref, const std::string& what);

// Every written path against every other path: false after printing, for
// each clash, "WHAT: PATH is also OTHER". A written path that exists must be
// a regular file (a link to one is followed): a device, a pipe or a folder
// is never replaced.
bool NoWriteClashes(const PathClaims& claims);

}  // namespace sealtool
