#include "token/key_ref_text.h"

#include <gtest/gtest.h>

#include <string>

#include "driver/next_step.h"

namespace sealtool {
namespace {

// Every pin-value, in any case or spelling, is masked; nothing else changes.
TEST(KeyRefTextTest, EveryPinValueIsMaskedAndNothingElse) {
  struct Case {
    const char* ref;
    const char* shown;
  };
  const Case cases[] = {
      {"keys/rsa_priv.txt", "keys/rsa_priv.txt"},
      {"pkcs11:object=aes", "pkcs11:object=aes"},
      {"pkcs11:object=aes?pin-value=1234", "pkcs11:object=aes?pin-value=***"},
      {"pkcs11:object=aes?pin-value=1234&pin-value=5678", "pkcs11:object=aes?pin-value=***&pin-value=***"},
      {"pkcs11:object=xpin-value=9;token=t?module-path=/m.so&pin-value=4321",
       "pkcs11:object=xpin-value=9;token=t?module-path=/m.so&pin-value=***"},
      {"pkcs11:object=aes?PIN-VALUE=1234", "pkcs11:object=aes?PIN-VALUE=***"},
      {"pkcs11:object=aes?pin%2Dvalue=1234", "pkcs11:object=aes?pin%2Dvalue=***"},
      {"pkcs11:pin-value=1234;object=a", "pkcs11:pin-value=***;object=a"},
      {"pkcs11:object=aes?pin-source=file:pin.txt", "pkcs11:object=aes?pin-source=file:pin.txt"},
  };
  for (const Case& c : cases) {
    EXPECT_STREQ(UriForDisplay(c.ref).text, c.shown) << c.ref;
  }
}

TEST(KeyRefTextTest, ALongReferenceIsCutWithoutItsPin) {
  const std::string uri = "pkcs11:object=" + std::string(kKeyRefTextSize - 30, 'a') +
                          "?pin-value=SECRETPIN&module-path=" + std::string(200, 'm');
  const std::string shown = UriForDisplay(uri.c_str()).text;
  EXPECT_EQ(shown.find("SECRET"), std::string::npos) << shown;
  EXPECT_LT(shown.size(), kKeyRefTextSize);
  EXPECT_EQ(shown.substr(shown.size() - 3), "...");
}

TEST(KeyRefTextTest, ACommandToRunAgainLeavesThePinOut) {
  struct Case {
    const char* ref;
    const char* kept;
  };
  const Case cases[] = {
      {"aes.txt", "aes.txt"},
      {"pkcs11:object=aes?pin-value=1234", "pkcs11:object=aes"},
      {"pkcs11:object=aes?pin-value=1&module-path=/m.so&Pin-Value=2", "pkcs11:object=aes?module-path=/m.so"},
      {"pkcs11:pin-value=1;object=a;type=secret-key", "pkcs11:object=a;type=secret-key"},
  };
  char out[256];
  for (const Case& c : cases) {
    ASSERT_TRUE(UriWithoutPin(c.ref, out, sizeof out)) << c.ref;
    EXPECT_STREQ(out, c.kept) << c.ref;
  }
  EXPECT_FALSE(UriWithoutPin("pkcs11:object=a-long-label", out, 10));
}

TEST(KeyRefTextTest, AnAttributeNamedTwiceIsFound) {
  struct Case {
    const char* uri;
    const char* repeated;  // null: none
  };
  const Case cases[] = {
      {"pkcs11:object=a;object=b", "object"},
      {"pkcs11:token=t;object=a;Object=b", "object"},
      {"pkcs11:object=a?pin-value=1&pin-value=2", "pin-value"},
      {"pkcs11:object=a?module-path=/a.so&module-path=/b.so", "module-path"},
      {"pkcs11:object=a;token=t?module-path=/m.so&pin-source=p", nullptr},
      {"pkcs11:object=pin-value?pin-value=1", nullptr},
      {"not-a-uri;object=a;object=b", nullptr},
  };
  for (const Case& c : cases) {
    char name[64] = "";
    EXPECT_EQ(UriRepeatedAttribute(c.uri, name, sizeof name), c.repeated != nullptr) << c.uri;
    if (c.repeated != nullptr) {
      EXPECT_STREQ(name, c.repeated) << c.uri;
    }
  }
}

// What the shell gives back for a quoted word is the word itself; checked
// here by hand for the characters that matter.
TEST(KeyRefTextTest, ASlotIdMustBeASlotNumber) {
  EXPECT_TRUE(UriSlotIdIsNumber("pkcs11:token=a;slot-id=3?pin-value=1"));
  EXPECT_TRUE(UriSlotIdIsNumber("pkcs11:token=a"));
  EXPECT_TRUE(UriSlotIdIsNumber("pkcs11:slot-id=18446744073709551615"));
  EXPECT_TRUE(UriSlotIdIsNumber("/path/to/slot-id=x"));
  EXPECT_FALSE(UriSlotIdIsNumber("pkcs11:slot-id="));
  EXPECT_FALSE(UriSlotIdIsNumber("pkcs11:token=a;slot-id=18446744073709551616"));
  EXPECT_FALSE(UriSlotIdIsNumber("pkcs11:Slot-Id=5a"));
  EXPECT_FALSE(UriSlotIdIsNumber("pkcs11:slot-id=-1"));
}

TEST(ShellQuoteTest, WordsThatAShellWouldChangeAreQuoted) {
  struct Case {
    const char* word;
    const char* quoted;
  };
  const Case cases[] = {
      {"in.bin", "in.bin"},
      {"dir/in-1_2.bin", "dir/in-1_2.bin"},
      {"pkcs11:object=aes", "pkcs11:object=aes"},
      {"", "''"},
      {"a b", "'a b'"},
      {"it's", "'it'\\''s'"},
      {"$(touch x)", "'$(touch x)'"},
      {"pkcs11:token=t;object=a", "'pkcs11:token=t;object=a'"},
      {"a&b", "'a&b'"},
  };
  char out[64];
  for (const Case& c : cases) {
    ASSERT_TRUE(ShellQuote(c.word, out, sizeof out)) << c.word;
    EXPECT_STREQ(out, c.quoted) << c.word;
  }
  EXPECT_FALSE(ShellQuote("it's too long", out, 8));
}

}  // namespace
}  // namespace sealtool
