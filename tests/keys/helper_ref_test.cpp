// The helper reference and the helper's public-key answer, read strictly.
#include "keys/helper_ref.h"
#include "keys/helper_reply.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include <mbedtls/bignum.h>

namespace sealtool {
namespace {

struct RefCase {
  const char* ref;
  const char* program;  // null: refused
  const char* keyName;
};

constexpr RefCase kRefCases[] = {
    {"helper:./sign", "./sign", ""},
    {"helper:/opt/signer/bin/sign?key=prod-2026", "/opt/signer/bin/sign", "prod-2026"},
    {"helper:tools/sign?key=a%20b%2Fc%3F%26", "tools/sign", "a b/c?&"},
    {"helper:./sign?key=%41%4a", "./sign", "AJ"},
    {"helper:sign", nullptr, nullptr},            // PATH is never searched
    {"helper:", nullptr, nullptr},
    {"helper:?key=a", nullptr, nullptr},
    {"helper:./sign?key=", nullptr, nullptr},
    {"helper:./sign?name=a", nullptr, nullptr},
    {"helper:./sign?key=a&pin=1", nullptr, nullptr},
    {"helper:./sign?key=a?b", nullptr, nullptr},
    {"helper:./sign?key=%4", nullptr, nullptr},
    {"helper:./sign?key=%zz", nullptr, nullptr},
    {"helper:./sign?key=a%00b", nullptr, nullptr},
};

TEST(HelperRefTest, ReadsProgramAndKeyNameOrSaysWhyNot) {
  for (const RefCase& c : kRefCases) {
    HelperRef parsed{};
    const char* why = "";
    const bool ok = ParseHelperRef(c.ref, &parsed, &why);
    EXPECT_EQ(ok, c.program != nullptr) << c.ref;
    if (ok && c.program != nullptr) {
      EXPECT_STREQ(parsed.program, c.program) << c.ref;
      EXPECT_STREQ(parsed.keyName, c.keyName) << c.ref;
    } else {
      EXPECT_STRNE(why, "") << c.ref;
    }
  }
}

TEST(HelperRefTest, AKeyNameLongerThanItsRoomIsRefused) {
  const std::string ref = "helper:./sign?key=" + std::string(kHelperKeyNameSize, 'a');
  HelperRef parsed{};
  const char* why = "";
  EXPECT_FALSE(ParseHelperRef(ref.c_str(), &parsed, &why));
}

TEST(HelperRefTest, OnlyTheHelperSchemeIsClaimed) {
  EXPECT_TRUE(IsHelperRef("helper:./x"));
  EXPECT_FALSE(IsHelperRef("Helper:./x"));
  EXPECT_FALSE(IsHelperRef("./helper:x"));
  EXPECT_FALSE(IsHelperRef("pkcs11:token=a"));
  EXPECT_FALSE(IsHelperRef(nullptr));
}

struct ReplyCase {
  const char* text;
  bool accepted;
  int e;  // when accepted; N is always 0xC3
};

constexpr ReplyCase kReplyCases[] = {
    {"N = C3\r\nE = 010001\r\n", true, 65537},
    {"N = c3\nE = 3\n", true, 3},
    {"N = C3\nE = 010001", false, 0},          // the last line has no end
    {"N = C3\r\nE = 010001\r\n\r\n", false, 0},
    {"E = 010001\nN = C3\n", false, 0},
    {"N = \nE = 3\n", false, 0},
    {"N = C3 \nE = 3\n", false, 0},
    {"N=C3\nE=3\n", false, 0},
    {"N = C3\nE = 3\nD = 5\n", false, 0},
    {"", false, 0},
    {"N = 0xC3\nE = 3\n", false, 0},
    {"N = 0\nE = 3\n", false, 0},
    {"N = C3\nE = 00\n", false, 0},
};

TEST(HelperReplyTest, TakesExactlyTheLinesOfNAndE) {
  for (const ReplyCase& c : kReplyCases) {
    mbedtls_mpi n;
    mbedtls_mpi e;
    mbedtls_mpi_init(&n);
    mbedtls_mpi_init(&e);
    const char* why = "";
    EXPECT_EQ(ParsePublicKeyReply(c.text, std::strlen(c.text), &n, &e, &why), c.accepted) << c.text;
    if (c.accepted) {
      EXPECT_EQ(mbedtls_mpi_cmp_int(&n, 0xC3), 0) << c.text;
      EXPECT_EQ(mbedtls_mpi_cmp_int(&e, c.e), 0) << c.text;
    } else {
      EXPECT_STRNE(why, "") << c.text;
    }
    mbedtls_mpi_free(&n);
    mbedtls_mpi_free(&e);
  }
}

TEST(HelperReplyTest, AValueLongerThanAnyKeyIsRefused) {
  const std::string text = "N = " + std::string(2000, 'F') + "\nE = 3\n";
  mbedtls_mpi n;
  mbedtls_mpi e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* why = "";
  EXPECT_FALSE(ParsePublicKeyReply(text.data(), text.size(), &n, &e, &why));
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
}

}  // namespace
}  // namespace sealtool
