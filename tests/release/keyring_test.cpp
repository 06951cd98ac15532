// The keyring file: what it takes, and each thing it refuses with the path
// of the field.
#include "release/keyring.h"

#include <gtest/gtest.h>

#include <string>

namespace sealtool {
namespace {

const std::string kSpki = "26c482409e73a76afde83149d5814317e6a1a809d076ae4d538ba62169aaa6f8";

std::string Entry(const std::string& fields) { return "{" + fields + "}"; }

std::string Ring(const std::string& entries) { return R"({"version": 1, "keys": [)" + entries + "]}"; }

std::string Key(const std::string& name, const std::string& id, const std::string& use = "production",
                const std::string& status = "active") {
  return Entry(R"("name": ")" + name + R"(", "id": ")" + id + R"(", "use": ")" + use + R"(", "status": ")" +
               status + R"(")");
}

TEST(KeyringTest, ReadsEveryUseAndStatus) {
  Keyring keyring;
  std::string problem;
  ASSERT_TRUE(ParseKeyring(Ring(Key("prod-2026", "26C482409E73A76AFDE83149D5814317E6A1A809D076AE4D538BA62169AAA6F8") +
                                "," + Key("dev", "417f8b", "development", "retired") + "," +
                                Entry(R"("name": "old", "id": "a16504", "use": "production", "status": "revoked",
                                        "note": "leaked")")),
                           &keyring, &problem))
      << problem;
  ASSERT_EQ(keyring.keys.size(), 3U);
  EXPECT_EQ(keyring.keys[0].id, kSpki);  // kept in lower case
  EXPECT_EQ(keyring.keys[1].use, KeyUse::kDevelopment);
  EXPECT_EQ(keyring.keys[1].status, KeyStatus::kRetired);
  EXPECT_EQ(keyring.keys[2].status, KeyStatus::kRevoked);
  EXPECT_EQ(keyring.keys[2].note, "leaked");
  const KeyringEntry* found = FindKeyringEntry(keyring, "417F8B");
  ASSERT_NE(found, nullptr);
  EXPECT_EQ(found->name, "dev");
  EXPECT_EQ(FindKeyringEntry(keyring, "000000"), nullptr);
}

TEST(KeyringTest, WhatIsWrittenReadsBackTheSame) {
  Keyring keyring;
  std::string problem;
  ASSERT_TRUE(ParseKeyring(Ring(Key("a", kSpki) + "," + Entry(R"("name": "b", "id": "417f8b", "use": "development",
                                                                  "status": "retired", "note": "")")),
                           &keyring, &problem));
  Keyring again;
  ASSERT_TRUE(ParseKeyring(FormatKeyring(keyring), &again, &problem)) << problem;
  ASSERT_EQ(again.keys.size(), 2U);
  EXPECT_EQ(again.keys[1].name, "b");
  EXPECT_TRUE(again.keys[1].hasNote);
  EXPECT_EQ(again.keys[1].status, KeyStatus::kRetired);
}

TEST(KeyringTest, RefusesWhatIsMalformedWithThePathOfTheField) {
  const struct {
    std::string text;
    std::string problem;
  } cases[] = {
      {"[", "keyring: not JSON"},
      {"[]", "keyring: an object is needed"},
      {R"({"keys": []})", "keyring: version is needed"},
      {R"({"version": 2, "keys": []})", "version: 1 is needed"},
      {R"({"version": 1})", "keyring: keys is needed"},
      {R"({"version": 1, "keys": [], "owner": "x"})", "owner: not a field of a keyring"},
      {Ring(Entry(R"("name": "a", "id": "417f8b", "use": "production")")), "keys[0]: status is needed"},
      {Ring(Key("a", "417f8")), "keys[0].id: a key id (64 hex digits) or an AES check value"},
      {Ring(Key("a", "417f8g")), "keys[0].id: a key id"},
      {Ring(Key("a", "417f8b", "test")), "keys[0].use: development or production is needed"},
      {Ring(Key("a", "417f8b", "production", "lost")), "keys[0].status: active, retired or revoked is needed"},
      {Ring(Key("", "417f8b")), "keys[0].name: a non-empty string is needed"},
      {Ring(Entry(R"("name": "a", "id": "417f8b", "use": "production", "status": "active", "owner": "x")")),
       "keys[0].owner: not a field of a key"},
      {Ring(Key("a", "417f8b") + "," + Key("a", "a16504")), "keys[1].name: 'a' names keys[0] too"},
      {Ring(Key("a", "417f8b") + "," + Key("b", "417F8B")), "keys[1].id: is keys[0]'s id too"},
      {Ring(Entry(R"("name": "a", "name": "b", "id": "417f8b", "use": "production", "status": "active")")),
       "keys[0].name: given twice"},
  };
  for (const auto& c : cases) {
    Keyring keyring;
    std::string problem;
    EXPECT_FALSE(ParseKeyring(c.text, &keyring, &problem)) << c.text;
    EXPECT_EQ(problem.rfind(c.problem, 0), 0U) << c.text << ": " << problem;
  }
}

}  // namespace
}  // namespace sealtool
