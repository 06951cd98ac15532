#include "release/manifest.h"

#include <gtest/gtest.h>

#include <string>

namespace sealtool {
namespace {

// A manifest of one image around the given fields, or with whole text.
std::string One(const std::string& imageFields, const std::string& defaults = "") {
  return "{\"defaults\": {" + defaults + "}, \"images\": [{" + imageFields + "}]}";
}

constexpr char kRsaKeys[] = R"("rsa_key": "k/rsa_priv.txt", "rsa_pub": "k/rsa_pub.txt", "aes_key": "k/aes.txt")";

TEST(ManifestTest, RefusesWhatCannotBeMeantWithThePathOfTheField) {
  const struct {
    const char* name;
    std::string text;
    std::string problem;
  } cases[] = {
      {"not JSON", "{\"images\": [", "manifest: not JSON"},
      {"not an object", "[1]", "manifest: an object is needed"},
      {"no images", "{}", "manifest: images is needed"},
      {"empty images", "{\"images\": []}", "images: a non-empty array is needed"},
      {"unknown top field", "{\"images\": [], \"image\": 1}", "image: not a field of the manifest"},
      {"unknown image field", One(R"("input": "a", "output": "b", "chip": 1, "secure_boot": 0, "ouput": "c")"),
       "images[0].ouput: not a field of an image"},
      {"a field name that reads as a path", One(R"("input": "a", "output": "b", "chip": 1, "n[0]": 0)"),
       R"(images[0]["n[0]"]: not a field of an image)"},
      {"name in the defaults", One(R"("input": "a", "output": "b")", R"("name": "x")"),
       "defaults.name: not a field of the defaults"},
      {"chip as text", One(R"("input": "a", "output": "b", "chip": "742", "secure_boot": 0)"),
       "images[0].chip: an integer is needed"},
      {"chip out of range", One(R"("input": "a", "output": "b", "chip": 4294967296, "secure_boot": 0)"),
       "images[0].chip: out of range"},
      {"secure_boot as a fraction", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 1.5)"),
       "images[0].secure_boot: an integer is needed"},
      {"empty input", One(R"("input": "", "output": "b", "chip": 753, "secure_boot": 0)"),
       "images[0].input: a non-empty string is needed"},
      {"no output", One(R"("input": "a", "chip": 753, "secure_boot": 0)"), "images[0]: output is needed"},
      {"no chip anywhere", One(R"("input": "a", "output": "b", "secure_boot": 0)"),
       "images[0]: chip is needed (here or in the defaults)"},
      {"flag not boolean", "{\"allow_built_in_keys\": 1, \"images\": [{}]}", "allow_built_in_keys: true or false"},
      {"a key plain mode does not read", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 0, "aes_key": "k")"),
       "images[0].aes_key: needs a secure or key-record run"},
      {"a seal key in RSA mode", One(std::string(R"("input": "a", "output": "b", "chip": 742, "secure_boot": 2, "seal_key": "s", )") + kRsaKeys),
       "images[0].seal_key: needs AES-seal mode"},
      {"an RSA key in AES-seal mode", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 1, "rsa_key": "r", "aes_key": "k", "seal_key": "s")"),
       "images[0].rsa_key: needs RSA mode"},
      {"AES-seal without its seal key", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 1, "aes_key": "k")"),
       "images[0]: aes-seal mode needs seal_key"},
      {"RSA with a key file but no public key", One(R"("input": "a", "output": "b", "chip": 742, "secure_boot": 2, "rsa_key": "r", "aes_key": "k")"),
       "images[0]: rsa mode needs rsa_pub"},
      {"key record without the user key", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 3)"),
       "images[0]: key-record mode needs aes_key"},
      {"a PIN in the manifest", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 1, "seal_key": "s",
                                         "aes_key": "pkcs11:token=t;object=a?pin-value=1234")"),
       "images[0].aes_key: holds a pin-value: put pin-source=file:PATH in the URI"},
      {"a key given twice", One(R"("input": "a", "output": "b", "chip": 753, "chip": 775, "secure_boot": 0)"),
       "images[0].chip: given twice"},
      {"a pin-value hidden in a duplicate",
       R"({"images": [{"input": "a", "output": "b", "chip": 753, "secure_boot": 1, "seal_key": "s",
                      "aes_key": "pkcs11:token=t;object=a?pin-value=1234", "aes_key": "k"}]})",
       "images[0].aes_key: given twice"},
      {"the defaults given twice", "{\"defaults\": {}, \"images\": [{}], \"defaults\": {}}", "defaults: given twice"},
      {"a duplicate in the second image",
       R"({"defaults": {"chip": 753, "secure_boot": 0}, "images": [{"input": "a", "output": "b"}, {"input": "c", "output": "d", "output": "e"}]})",
       "images[1].output: given twice"},
      {"chip past 64 bits signed", One(R"("input": "a", "output": "b", "chip": 18446744073709551615, "secure_boot": 0)"),
       "images[0].chip: out of range"},
      {"secure_boot below int32", One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": -2147483649)"),
       "images[0].secure_boot: out of range"},
      {"a name that is a path", One(R"("name": "a/b", "input": "a", "output": "b", "chip": 753, "secure_boot": 0)"),
       "images[0].name: 'a/b' cannot name files"},
      {"two images, one name",
       R"({"defaults": {"chip": 753, "secure_boot": 0}, "images": [{"name": "x", "input": "a", "output": "b"}, {"name": "x", "input": "c", "output": "d"}]})",
       "images[1].name: 'x' names another image too"},
      {"two images, one output",
       R"({"defaults": {"chip": 753, "secure_boot": 0}, "images": [{"input": "a", "output": "out/b"}, {"name": "y", "input": "c", "output": "out/./b"}]})",
       "images[1].output: 'out/./b' is another image's output too"},
      {"an output that is an input",
       R"({"defaults": {"chip": 753, "secure_boot": 0}, "images": [{"input": "a", "output": "b"}, {"input": "b", "output": "c"}]})",
       "images[0].output: 'b' is an image's input"},
  };
  for (const auto& c : cases) {
    Manifest manifest;
    std::string problem;
    EXPECT_FALSE(ParseManifest(c.text, BatchSigning::kInRun, &manifest, &problem)) << c.name;
    EXPECT_EQ(problem.rfind(c.problem, 0), 0u) << c.name << ": " << problem;
  }
}

TEST(ManifestTest, ImagesTakeTheDefaultsTheirModeReads) {
  const std::string text = std::string(R"({
    "defaults": {"chip": 742, "secure_boot": 2, )") + kRsaKeys + R"(},
    "images": [
      {"input": "build/a.bin", "output": "release/a.sealed.bin"},
      {"name": "b-test", "input": "b.bin", "output": "b.out", "chip": 775, "secure_boot": 1, "seal_key": "k/seal.txt"},
      {"input": "c.bin", "output": "c.out", "chip": 753, "secure_boot": 0},
      {"input": "d.bin", "output": "d.out", "chip": 742, "secure_boot": 2, "rsa_key": "pkcs11:token=t;object=r", "rsa_pub": "k/other.txt"}
    ]})";
  Manifest manifest;
  std::string problem;
  ASSERT_TRUE(ParseManifest(text, BatchSigning::kInRun, &manifest, &problem)) << problem;
  ASSERT_EQ(manifest.images.size(), 4u);
  const ReleaseImage& a = manifest.images[0];
  EXPECT_EQ(a.name, "a.sealed.bin");
  EXPECT_EQ(a.mode, RunMode::kRsa);
  EXPECT_EQ(a.rsaKey, "k/rsa_priv.txt");
  EXPECT_EQ(a.aesKey, "k/aes.txt");
  const ReleaseImage& b = manifest.images[1];
  EXPECT_EQ(b.mode, RunMode::kAesSeal);
  EXPECT_EQ(b.rsaKey, "") << "a default its mode does not read is left out";
  EXPECT_EQ(b.rsaPub, "");
  EXPECT_EQ(b.sealKey, "k/seal.txt");
  EXPECT_EQ(manifest.images[2].mode, RunMode::kPlain);
  EXPECT_EQ(manifest.images[2].aesKey, "");
  EXPECT_EQ(manifest.images[3].rsaKey, "pkcs11:token=t;object=r");
  EXPECT_EQ(manifest.images[3].rsaPub, "k/other.txt");
}

TEST(ManifestTest, BuiltInKeysOnlyWhenTheManifestSaysSo) {
  const std::string image = R"("input": "a", "output": "b", "chip": 753, "secure_boot": 1)";
  Manifest manifest;
  std::string problem;
  EXPECT_FALSE(ParseManifest(One(image), BatchSigning::kInRun, &manifest, &problem));
  EXPECT_TRUE(ParseManifest("{\"allow_built_in_keys\": true, \"images\": [{" + image + "}]}",
                            BatchSigning::kInRun, &manifest, &problem))
      << problem;
  EXPECT_TRUE(manifest.allowBuiltInKeys);
  // Only a URI carries a PIN: a key file's path may say pin-value.
  EXPECT_TRUE(ParseManifest(One(R"("input": "a", "output": "b", "chip": 753, "secure_boot": 3,
                                   "aes_key": "keys/pin-values/aes.txt")"),
                            BatchSigning::kInRun, &manifest, &problem))
      << problem;
  // A token RSA key brings its public key; a key file does not.
  EXPECT_TRUE(ParseManifest(One(R"("input": "a", "output": "b", "chip": 742, "secure_boot": 2,
                                   "rsa_key": "pkcs11:token=t;object=r", "aes_key": "k")"),
                            BatchSigning::kInRun, &manifest, &problem))
      << problem;
}

}  // namespace
}  // namespace sealtool
