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

}  // namespace
}  // namespace sealtool
