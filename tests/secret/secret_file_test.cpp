#include "secret/secret_file.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "files.h"

namespace sealtool {
namespace {

// Every outcome of reading the first line of a PIN or passphrase file, and
// that a line that is refused leaves nothing behind in the caller's buffer.
TEST(SecretLineTest, EachKindOfFileHasItsOutcome) {
  struct Case {
    const char* name;
    std::string content;
    SecretRead outcome;
    const char* line;
  };
  const Case cases[] = {
      {"a line", "1234\n", SecretRead::kRead, "1234"},
      {"crlf and later lines", "pin\r\nsecond\n", SecretRead::kRead, "pin"},
      {"no line end", "abc", SecretRead::kRead, "abc"},
      {"spaces are kept", " a b \n", SecretRead::kRead, " a b "},
      {"exactly fits", std::string(15, 'x') + "\n", SecretRead::kRead, "xxxxxxxxxxxxxxx"},
      {"empty file", "", SecretRead::kEmpty, ""},
      {"only a line end", "\r\n", SecretRead::kEmpty, ""},
      {"one too long", std::string(16, 'x') + "\n", SecretRead::kTooLong, ""},
      {"NUL inside", std::string("ab\0cd\n", 6), SecretRead::kHoldsNul, ""},
  };
  test::TempDir dir;
  for (const Case& c : cases) {
    const std::string path = dir.File("secret");
    test::WriteText(path, c.content);
    char line[16];
    std::memset(line, 'Z', sizeof line);
    std::size_t length = 99;
    EXPECT_EQ(ReadSecretLine(path.c_str(), line, sizeof line, &length), c.outcome) << c.name;
    EXPECT_STREQ(line, c.line) << c.name;
    EXPECT_EQ(length, std::strlen(c.line)) << c.name;
    if (c.outcome != SecretRead::kRead) {
      // The refused text is wiped, not merely cut short.
      EXPECT_EQ(std::string(line, sizeof line).find_first_not_of('\0'), std::string::npos) << c.name;
    }
  }
}

TEST(SecretLineTest, WhatCannotBeOpenedIsUnreadable) {
  test::TempDir dir;
  char line[16] = "old";
  std::size_t length = 3;
  EXPECT_EQ(ReadSecretLine(dir.File("missing").c_str(), line, sizeof line, &length),
            SecretRead::kUnreadable);
  EXPECT_EQ(ReadSecretLine(dir.path().c_str(), line, sizeof line, &length), SecretRead::kUnreadable);
  EXPECT_STREQ(line, "");
  EXPECT_EQ(length, 0u);
}

}  // namespace
}  // namespace sealtool
