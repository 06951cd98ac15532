#include "release_support.h"

#include <algorithm>
#include <filesystem>

#include "secure_expectation.h"
#include "test_keys.h"
#include "token_setup.h"

namespace sealtool::test {
namespace {

namespace fs = std::filesystem;

const std::vector<std::string> kRsaKeys = {"--rsa-key", "rsa_priv.txt", "--rsa-pub", "rsa_pub.txt", "--aes-key", "body.txt"};
const std::vector<std::string> kSealKeys = {"--aes-key", "body.txt", "--seal-key", "seal.txt"};

std::string ManifestField(const std::string& option) {
  if (option == "--rsa-key") return "rsa_key";
  if (option == "--rsa-pub") return "rsa_pub";
  if (option == "--aes-key") return "aes_key";
  return "seal_key";
}

}  // namespace

const Image kRelease[8] = {
    {"plain-a", 753, 0, {}},
    {"plain-b", 731, 0, {}},
    {"record-a", 753, 3, {"--aes-key", "body.txt"}},
    {"record-b", 0, 3, {"--aes-key", "body.txt"}},
    {"seal-a", 775, 1, kSealKeys},
    {"seal-a5", 753, 5, kSealKeys},
    {"seal-b", 731, 1, kSealKeys},
    {"rsa", 742, 2, kRsaKeys},
};

Json ManifestImage(const Image& image, const std::string& folder) {
  Json entry = {{"name", image.name},
                {"input", "in/" + std::string(image.name) + ".bin"},
                {"output", folder + "/" + image.name + ".sealed"},
                {"chip", image.chip},
                {"secure_boot", image.secureBoot}};
  for (std::size_t i = 0; i + 1 < image.keys.size(); i += 2) entry[ManifestField(image.keys[i])] = image.keys[i + 1];
  return entry;
}

// The example keys as files and an input per image, in dir.
void WriteRelease(const TempDir& dir) {
  WriteTestRsaKeyFiles(dir.path(), 1);
  WriteText(dir.File("body.txt"), "#body\n" + HexKey(kBodyKey, "") + "\n");
  WriteText(dir.File("seal.txt"), ByteList(kSealKey));
  fs::create_directories(dir.File("in"));
  fs::create_directories(dir.File("release"));
  std::uint32_t seed = 30;
  for (const Image& image : kRelease) WriteBytes(dir.File("in/" + std::string(image.name) + ".bin"), ExampleInput(image.chip, ++seed));
}

void WriteManifest(const TempDir& dir, const Json& manifest, const std::string& name) {
  WriteText(dir.File(name), manifest.dump(2));
}

Json ReleaseManifest() {
  Json images = Json::array();
  for (const Image& image : kRelease) images.push_back(ManifestImage(image, "release"));
  return {{"images", images}};
}

ProcessResult SingleRun(const TempDir& dir, const Image& image, const std::string& output) {
  std::vector<std::string> args = image.keys;
  args.insert(args.end(), {"in/" + std::string(image.name) + ".bin", output, std::to_string(image.chip),
                           std::to_string(image.secureBoot)});
  return RunSealtool(dir, args);
}

std::string Text(const std::string& path) {
  const Bytes bytes = ReadBytes(path);
  return std::string(bytes.begin(), bytes.end());
}

std::vector<std::string> Listing(const std::string& folder) {
  std::vector<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

ProcessResult RunSealinfo(const TempDir& dir, const std::vector<std::string>& args) {
  ProcessOptions options;
  options.workDir = dir.path();
  return RunOwnProgram(SEALINFO_EXE, args, options);
}


}  // namespace sealtool::test
