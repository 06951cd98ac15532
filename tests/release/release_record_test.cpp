// The record's reader takes back what its writer writes, and nothing that
// it could not write back the same.
#include "release/release_record.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "release/json_document.h"

namespace sealtool {
namespace {

RecordedImage RsaImage() {
  RecordedImage image;
  image.name = "rsa";
  image.input = "in.bin";
  image.inputSha256 = std::string(64, 'a');
  image.output = "out.bin";
  image.outputSha256 = std::string(64, 'b');
  image.chip = 742;
  image.secureBoot = 2;
  image.mode = RunMode::kRsa;
  RecordedKey key;
  key.role = "rsa_key";
  key.reference = "helper:./sign?key=prod";
  key.source = "helper";
  image.keys = {key};
  image.hasKeyIds = true;
  image.headerKeyId = std::string(64, 'c');
  image.spkiKeyId = std::string(64, 'd');
  image.signatureSupplied = true;
  image.hasDigests = true;
  image.imageDigest = std::string(64, 'e');
  image.headerDigest = std::string(64, 'f');
  return image;
}

TEST(ReleaseRecordTest, WhatIsWrittenReadsBackTheSame) {
  std::vector<RecordedImage> images;
  std::string problem;
  ASSERT_TRUE(ParseRecord(FormatRecord({RsaImage()}), &images, &problem)) << problem;
  ASSERT_EQ(images.size(), 1U);
  EXPECT_TRUE(images[0].signatureSupplied);
  EXPECT_EQ(images[0].keys[0].source, "helper");
  EXPECT_EQ(images[0].imageDigest, RsaImage().imageDigest);
}

// A field of a pair without the other, or a signature that is neither made
// nor supplied, would not be written back as it was read.
TEST(ReleaseRecordTest, HalfAPairOrAnUnknownSignatureIsRefused) {
  for (const char* field : {"key_id_spki", "key_id_header", "header_digest", "image_digest"}) {
    Json record = Json::parse(FormatRecord({RsaImage()}));
    record["images"][0].erase(field);
    std::vector<RecordedImage> images;
    std::string problem;
    EXPECT_FALSE(ParseRecord(record.dump(), &images, &problem)) << field;
  }
  Json record = Json::parse(FormatRecord({RsaImage()}));
  record["images"][0]["signature"] = "forged";
  std::vector<RecordedImage> images;
  std::string problem;
  EXPECT_FALSE(ParseRecord(record.dump(), &images, &problem));
}

// An AES key's check value and the keyring's names of a key read back as
// written; a check value on an RSA key, or one of another length, and a
// keyring use or status the keyring could not hold are refused.
TEST(ReleaseRecordTest, KeyringNamesAndCheckValuesReadBack) {
  RecordedImage image = RsaImage();
  image.keys[0].inKeyring = true;
  image.keys[0].keyringName = "prod-2026";
  image.keys[0].keyringUse = "production";
  image.keys[0].keyringStatus = "retired";
  RecordedKey aes;
  aes.role = "aes_key";
  aes.reference = "aes.txt";
  aes.source = "file";
  aes.checkValue = "417f8b";
  image.keys.push_back(aes);
  std::vector<RecordedImage> images;
  std::string problem;
  ASSERT_TRUE(ParseRecord(FormatRecord({image}), &images, &problem)) << problem;
  ASSERT_EQ(images[0].keys.size(), 2U);
  EXPECT_EQ(images[0].keys[0].keyringName, "prod-2026");
  EXPECT_EQ(images[0].keys[0].keyringStatus, "retired");
  EXPECT_TRUE(images[0].keys[0].checkValue.empty());
  EXPECT_FALSE(images[0].keys[1].inKeyring);
  EXPECT_EQ(images[0].keys[1].checkValue, "417f8b");
  EXPECT_EQ(FormatRecord(images), FormatRecord({image}));

  struct Broken {
    int key;
    const char* field;
    Json value;
  };
  const Broken broken[] = {
      {0, "check_value", "417f8b"},  // an RSA key has no check value
      {1, "check_value", "417f8b00"},
      {1, "check_value", "41 7f8b"},
      {0, "keyring", {{"name", "a"}, {"use", "testing"}, {"status", "active"}}},
      {0, "keyring", {{"name", "a"}, {"use", "production"}, {"status", "gone"}}},
      {0, "keyring", {{"name", "a"}, {"use", "production"}}},
      {0, "keyring", "prod-2026"},
  };
  for (const Broken& fault : broken) {
    Json record = Json::parse(FormatRecord({image}));
    record["images"][0]["keys"][fault.key][fault.field] = fault.value;
    EXPECT_FALSE(ParseRecord(record.dump(), &images, &problem)) << fault.field << " " << fault.value.dump();
  }
}

}  // namespace
}  // namespace sealtool
