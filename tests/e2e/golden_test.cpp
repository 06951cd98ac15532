// Pins what devices already depend on: the built-in default keys, the
// wrapping key and the exact bytes and console text of every mode. Each
// bundled example (make_example_image's image, the keys of examples/keys) is
// sealed as a user would, and the SHA-256 of what the run wrote and printed
// is compared with a value recorded once and written here as literal hex.
// Nothing in this file computes an expected value from the code under test.
#include <gtest/gtest.h>
#include <mbedtls/sha256.h>

#include <cstdio>
#include <string>

#include "e2e_support.h"

namespace sealtool::test {
namespace {

struct GoldenRun {
  const char* name;
  std::int32_t chip;
  std::int32_t secureBoot;
  const char* aesFile;  // copied to aes.txt from examples/keys; nullptr: none
  bool rsaKeys;
  int exitStatus;
  const char* outputSha256;  // nullptr: no output may be written
  const char* consoleSha256;
};

void PrintTo(const GoldenRun& run, std::ostream* os) { *os << run.name; }

std::string Sha256Hex(const std::string& bytes) {
  unsigned char digest[32];
  mbedtls_sha256_ret(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest, 0);
  std::string hex;
  for (const unsigned char byte : digest) hex += Format("%02x", byte);
  return hex;
}

std::string ExampleKey(const char* name) {
  const Bytes bytes = ReadBytes(std::string(SEALTOOL_EXAMPLE_KEYS) + "/" + name);
  return std::string(bytes.begin(), bytes.end());
}

class GoldenTest : public testing::TestWithParam<GoldenRun> {};

TEST_P(GoldenTest, OutputAndConsoleAreUnchanged) {
  const GoldenRun& run = GetParam();
  TempDir dir;
  WriteBytes(dir.File("in.bin"), ExampleInput(run.chip));
  if (run.aesFile != nullptr) WriteText(dir.File("aes.txt"), ExampleKey(run.aesFile));
  if (run.rsaKeys) {
    WriteText(dir.File("rsa_priv.txt"), ExampleKey("rsa_priv.txt"));
    WriteText(dir.File("rsa_pub.txt"), ExampleKey("rsa_pub.txt"));
  }
  const ProcessResult result = RunSealtool(
      dir, {"in.bin", "out.bin", std::to_string(run.chip), std::to_string(run.secureBoot)});
  EXPECT_EQ(result.exitStatus, run.exitStatus) << result.out;
  EXPECT_EQ(Sha256Hex(result.out), run.consoleSha256) << result.out;
  if (run.outputSha256 == nullptr) {
    EXPECT_FALSE(FileExists(dir.File("out.bin")));
    return;
  }
  const Bytes output = ReadBytes(dir.File("out.bin"));
  EXPECT_EQ(Sha256Hex(std::string(output.begin(), output.end())), run.outputSha256);
}

INSTANTIATE_TEST_SUITE_P(
    Examples, GoldenTest,
    testing::Values(
        GoldenRun{"Plain753", 753, 0, nullptr, false, 0,
                  "9d4c3ed3cab4e25a421c187f8edff6736666075b09ea980e8ab13d8a737dbf72",
                  "c1041f7645009cf3d737e9049c715e537c52bf848bf142c9989b55a37bcfeadc"},
        GoldenRun{"Plain0", 0, 0, nullptr, false, 0,
                  "358ddbbc1b64be6e49580ab4535121a839f921338b913dd5534c1ff8a160c43d",
                  "586b9d83188e30f4ce75b97b855478029a0b8a0ae84d2287427bf611f8c07cc3"},
        GoldenRun{"KeyRecord753Token", 753, 3, "aes-token.txt", false, 0,
                  "2b670d44fae3fbaae8f8752265a8909187bf9c583173acb628dd09d14b843489",
                  "e88c565d527811ca6fd4ba359eff8f7072ed41cc91f1391ab264d801bb85872b"},
        GoldenRun{"KeyRecord731DefaultKey", 731, 3, nullptr, false, 0,
                  "b971212dcc02cec0f56cef8542305a50965758cc2e03a31b300bb913d4e4f243",
                  "d20d676cea087f2200c9c7a77652cfd5af09bbf000ff75e8bef6975ab503287e"},
        GoldenRun{"AesSeal775Token", 775, 1, "aes-token.txt", false, 0,
                  "17f762ef468617cb042478d2ad0476705de0834b341e9115038f7f85aec7dbab",
                  "24bd38a8839f1bd99b19e21706a20d7fb796cecb26f114393cdf55d3a58d53cb"},
        GoldenRun{"AesSeal775DefaultKey", 775, 1, nullptr, false, 0,
                  "664147075ed93af7cfd453c544db72548a06e0f0e8ced59c6334108d85b0e7a5",
                  "7a83060063d96ba0f75428990b8f38b6e55fd72ddfedf1d0b28feb73d231a854"},
        GoldenRun{"AesSeal742DefaultKey", 742, 1, nullptr, false, 0,
                  "df52f5f55b0da86fe8d091189261ba74d83ea0cc938e15e474099bbec5d25e4b",
                  "92658daf83027ff6d97fd86a122e7f1ef0eb8937caaeaaff147f8683226c6596"},
        GoldenRun{"AesSeal753ByteListRefused", 753, 1, "aes-bytes.txt", false, 255, nullptr,
                  "70d356ee2267b92bb791832fa05af70c934a584b9b737cab5717e4e7fc8742ac"},
        GoldenRun{"Rsa742Token", 742, 2, "aes-token.txt", true, 0,
                  "2ec216baf612db7e43aba277971657ba8c2bd7f7bd340c42e2accda33dd7d8b6",
                  "67cad32333a5e137d0e9fa364d98ee7ffc8f933df263a7755dcd1707a73dfbd8"},
        GoldenRun{"Rsa742DefaultKey", 742, 2, nullptr, true, 0,
                  "a34a77c61855e52fc40a9391de97fcef06eb88421222fb092bc5dea9f1d99a8d",
                  "e2bf44a3ff00090223618844a6f8887797e4e146d9cd095aca8317a62307bb4f"}),
    [](const testing::TestParamInfo<GoldenRun>& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace sealtool::test
