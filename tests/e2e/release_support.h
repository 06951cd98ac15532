// A release of eight images, one of each mode and chip group, with its
// keys in files: what the batch, record and release-gate tests share.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "e2e_support.h"

namespace sealtool::test {

using Json = nlohmann::json;

// One image of a release: its mode by chip and secure_boot, and the key
// options a single run takes for it (file keys of the folder).
struct Image {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  std::vector<std::string> keys;  // option, file, option, file...
};

extern const Image kRelease[8];

Json ManifestImage(const Image& image, const std::string& folder);

// The example keys as files (rsa_priv.txt, rsa_pub.txt, body.txt, seal.txt)
// and an input per image (in/NAME.bin), in dir.
void WriteRelease(const TempDir& dir);

void WriteManifest(const TempDir& dir, const Json& manifest, const std::string& name = "release.json");

// Every image of kRelease, its output release/NAME.sealed.
Json ReleaseManifest();

ProcessResult SingleRun(const TempDir& dir, const Image& image, const std::string& output);

// A file's bytes as text.
std::string Text(const std::string& path);

// The names in folder, sorted.
std::vector<std::string> Listing(const std::string& folder);

ProcessResult RunSealinfo(const TempDir& dir, const std::vector<std::string>& args);

}  // namespace sealtool::test
