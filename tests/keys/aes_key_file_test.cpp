#include "keys/aes_key_file.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdio>
#include <string>

#include "files.h"
#include "keys/aes_key_parse.h"

namespace sealtool {
namespace {

using testing::internal::CaptureStdout;
using testing::internal::GetCapturedStdout;
using Key = std::array<std::uint8_t, kKeyBufferSize>;

const char kMalformed[] = " failed\n  ! Please check aes.txt\n Key must AES-128bits\n\n";

struct TokenOutcome {
  bool result;
  Key key;
  std::string out;
};

// The token reader on an aes.txt holding text; out is what it printed after
// its "AES-Key:" line.
TokenOutcome ParseToken(const std::string& text, KeyEchoStyle style = KeyEchoStyle::kCompact) {
  test::TempDir dir;
  test::ScopedWorkDir inDir(dir.path());
  test::WriteText("aes.txt", text);
  TokenOutcome outcome{};
  CaptureStdout();
  outcome.result = ReadAesKeyToken(nullptr, 753, style, outcome.key.data());
  outcome.out = GetCapturedStdout();
  const std::string heading = "AES-Key:\r\n";
  EXPECT_EQ(outcome.out.substr(0, heading.size()), heading);
  outcome.out.erase(0, heading.size());
  return outcome;
}

Key ParseByteList(const std::string& text) {
  Key key{};
  std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
  ParseKeyByteList(stream, key.data());
  std::fclose(stream);
  return key;
}

Key KeyOf(std::initializer_list<std::uint8_t> bytes) {
  Key key{};
  std::copy(bytes.begin(), bytes.end(), key.begin());
  return key;
}

const Key kCountingKey = KeyOf({0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa,
                                0xbb, 0xcc, 0xdd, 0xee, 0xff});

TEST(KeyTokenTest, EitherCaseAndBothEchoStyles) {
  const TokenOutcome lower = ParseToken("00112233445566778899aabbccddeeff\n");
  EXPECT_TRUE(lower.result);
  EXPECT_EQ(lower.key, kCountingKey);
  EXPECT_EQ(lower.out, "00112233445566778899aabbccddeeff\r\n");

  const TokenOutcome upper =
      ParseToken("#comment\r\n#another\n  00112233445566778899AABBCCDDEEFF", KeyEchoStyle::kSpaced);
  EXPECT_TRUE(upper.result);
  EXPECT_EQ(upper.key, kCountingKey);
  EXPECT_EQ(upper.out, "00 11 22 33 44 55 66 77 88 99 aa bb cc dd ee ff \r\n");
}

TEST(KeyTokenTest, MalformedCandidatesFail) {
  const std::string cases[] = {
      "",                                     // empty file
      "   \n\t ",                             // blanks only
      "#only #comments\n#here\n",             // comments only
      std::string(31, 'a'),                   // one short
      std::string(33, 'a'),                   // one long
      "00112233445566778 899aabbccddeeff",    // broken by a blank
      "# key 00112233445566778899aabbccddeeff",  // '#' then "key" is the key
      "0x00 0x11 0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff",
      std::string(1023, 'b'),                 // fills the token buffer
      std::string(5000, 'c'),                 // longer than the buffer
      "#" + std::string(2000, 'd') + " 00112233445566778899aabbccddeeff",
  };
  for (const std::string& text : cases) {
    const TokenOutcome outcome = ParseToken(text);
    EXPECT_FALSE(outcome.result) << text.substr(0, 40);
    EXPECT_EQ(outcome.out, kMalformed) << text.substr(0, 40);
  }
}

TEST(KeyTokenTest, ANulByteEndsTheToken) {
  const std::string keyThenNul = std::string("00112233445566778899aabbccddeeff") + '\0' + "junk\n";
  const TokenOutcome accepted = ParseToken(keyThenNul);
  EXPECT_TRUE(accepted.result);
  EXPECT_EQ(accepted.key, kCountingKey);
  const std::string nulInside = std::string("0011223344556677") + '\0' + "8899aabbccddeeff\n";
  EXPECT_FALSE(ParseToken(nulInside).result);
}

TEST(KeyTokenTest, PairsConvertOnTheirOwn) {
  // Pairs: "0x" -> 0, "g1" -> 0, "1g" -> 1, "-1" -> 0xff, "+f" -> 0x0f,
  // " " cannot occur; "zz" -> 0, then ten ordinary pairs.
  const TokenOutcome outcome = ParseToken("0xg11g-1+fzz0102030405060708090a");
  EXPECT_TRUE(outcome.result);
  EXPECT_EQ(outcome.key, KeyOf({0x00, 0x00, 0x01, 0xff, 0x0f, 0x00, 0x01, 0x02, 0x03, 0x04, 0x05,
                                0x06, 0x07, 0x08, 0x09, 0x0a}));
  EXPECT_EQ(outcome.out, "000001ff0f000102030405060708090a\r\n");
}

TEST(KeyByteListTest, ParsesLikeFscanf) {
  struct Case {
    const char* name;
    std::string text;
    Key key;
  };
  const Case cases[] = {
      {"sixteen values",
       "0x00\r\n0x11\n0x22 0x33 0x44 0x55 0x66 0x77 0x88 0x99 0xaa 0xbb 0xcc 0xdd 0xee 0xff",
       kCountingKey},
      {"low eight bits", "0x1ff 0x100 0x12345", KeyOf({0xff, 0x00, 0x45})},
      {"ten values", "0x1 0x2 0x3 0x4 0x5 0x6 0x7 0x8 0x9 0xa\n", KeyOf({1, 2, 3, 4, 5, 6, 7, 8, 9, 10})},
      {"upper-case prefix stops the list", "0x1 0X2 0x3", KeyOf({1})},
      {"token form gives zeros", "# key\n00112233445566778899aabbccddeeff\n", Key{}},
      {"optional inner prefix", "0x0x7 0x-1", KeyOf({0x07, 0xff})},
      {"no separator needed", "0x10x2", KeyOf({0x10})},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(ParseByteList(c.text), c.key) << c.name;
  }
}

TEST(DefaultKeyTest, Chip742HasItsOwnKey) {
  Key chip742{};
  Key chip753{};
  Key chip0{};
  GetDefaultAesKey(742, chip742.data());
  GetDefaultAesKey(753, chip753.data());
  GetDefaultAesKey(0, chip0.data());
  EXPECT_NE(chip742, chip753);
  EXPECT_EQ(chip753, chip0);
  EXPECT_NE(chip742, Key{});
  EXPECT_NE(chip753, Key{});
  EXPECT_EQ(std::count(chip742.begin() + kAesKeySize, chip742.end(), 0),
            static_cast<long>(kKeyBufferSize - kAesKeySize));
}

TEST(KeyFileTest, ReadersOpenAesTxtInTheWorkingDirectory) {
  test::TempDir dir;
  test::ScopedWorkDir inDir(dir.path());
  Key defaultKey{};
  GetDefaultAesKey(753, defaultKey.data());

  Key key{};
  CaptureStdout();
  EXPECT_TRUE(ReadAesKeyToken(nullptr, 753, KeyEchoStyle::kCompact, key.data()));
  EXPECT_EQ(GetCapturedStdout(), "No AES128 key file! Using default setting\n");
  EXPECT_EQ(key, defaultKey);

  Key silent{};
  CaptureStdout();
  ReadAesKeyBytes(nullptr, 753, silent.data());
  EXPECT_EQ(GetCapturedStdout(), "");
  EXPECT_EQ(silent, defaultKey);

  test::WriteText("aes.txt", "#example\n00112233445566778899aabbccddeeff\n");
  CaptureStdout();
  EXPECT_TRUE(ReadAesKeyToken(nullptr, 753, KeyEchoStyle::kCompact, key.data()));
  EXPECT_EQ(GetCapturedStdout(), "AES-Key:\r\n00112233445566778899aabbccddeeff\r\n");
  EXPECT_EQ(key, kCountingKey);

  test::WriteText("aes.txt", "0x01 0x02\n");
  CaptureStdout();
  EXPECT_FALSE(ReadAesKeyToken(nullptr, 753, KeyEchoStyle::kCompact, key.data()));
  EXPECT_EQ(GetCapturedStdout(), std::string("AES-Key:\r\n") + kMalformed);
  Key bytes{};
  ReadAesKeyBytes(nullptr, 753, bytes.data());
  EXPECT_EQ(bytes, KeyOf({1, 2}));
}

}  // namespace
}  // namespace sealtool
