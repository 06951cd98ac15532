// The URI parser used where p11-kit does not exist, held against p11-kit
// itself: every URI below must parse to the same result, the same values
// and the same matches in both.
#include "token/uri_parser.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace sealtool {
namespace {

constexpr const char* kUris[] = {
    "pkcs11:",
    "pkcs11:token=alpha",
    "pkcs11:token=alpha;object=rsa;type=private",
    "pkcs11:token=alpha;;object=rsa",
    "pkcs11:;token=alpha;",
    "pkcs11:object=my%20key;id=%01%02%ff;type=public",
    "pkcs11:object=%4a%4B;type=secret-key",
    "pkcs11:type=cert",
    "pkcs11:type=data",
    "pkcs11:type=bogus",
    "pkcs11:token=al pha;manufacturer=Maker%0a;serial=0123;model=M%20 1",
    "pkcs11:token=",
    "pkcs11:token=0123456789abcdef0123456789abcdef",
    "pkcs11:token=0123456789abcdef0123456789abcdefX",
    "pkcs11:library-description=Soft;library-manufacturer=Maker",
    "pkcs11:library-version=1",
    "pkcs11:library-version=2.6",
    "pkcs11:library-version=255.255",
    "pkcs11:library-version=254.254",
    "pkcs11:library-version=1.255",
    "pkcs11:library-version= 1.2",
    "pkcs11:library-version=256",
    "pkcs11:library-version=1.",
    "pkcs11:library-version=.1",
    "pkcs11:library-version=a",
    "pkcs11:library-version=",
    "pkcs11:slot-id=3",
    "pkcs11:slot-id=3;token=alpha",
    "pkcs11:library-version=2.6;library-description=Soft",
    "pkcs11:slot-id=0",
    "pkcs11:slot-id=abc",
    "pkcs11:slot-id=18446744073709551614",
    "pkcs11:slot-description=S;slot-manufacturer=M",
    "pkcs11:unknown=1",
    "pkcs11:token=a%2",
    "pkcs11:token=a%zz",
    "pkcs11:token=a%",
    "pkcs11:token",
    "pkcs11:=alpha",
    "pkcs11:token=a=b",
    "PKCS11:token=alpha",
    "pkcs1:token=alpha",
    "token=alpha",
    "",
    "pkcs11:token=alpha?module-path=/usr/lib/x.so&pin-value=1234",
    "pkcs11:?module-path=C:%5Ctokens%5Cfault.dll",
    "pkcs11:?module-path=C:/tokens/fault.dll&module-name=soft",
    "pkcs11:?pin-source=file:/run/pin&vendor-x=1",
    "pkcs11:?pin-source=%2Frun%2Fpin%20file",
    "pkcs11:?pin-value=12%0a34",
    "pkcs11:?pin-value",
    "pkcs11:?=x",
    "pkcs11:?&&pin-value=1&&",
    "pkcs11:token=a?",
    "pkcs11:token=a?pin-value=%zz",
    "pkcs11:object=a?module-name=soft;object=b",
    "pkcs11:object=a;b?pin-value=1",
    "pkcs11:id=%00%00",
    "Pkcs11:object=%41%4",
    "pkcs11:object=a\tb;token=c d",
    "pkcs11: token=a",
    "pkcs11:tok en=a?module-path =/m",
    "pkcs11:tok%65n=a",
    "pkcs11:\ttoken=a",
    "pkcs11:token=a ;object= b",
    "pkcs11:object=a?module-path=/m?x&pin-source=a=b",
    "pkcs11:object=a?module-path=/m;pin-value=1",
};

struct Parsed {
  int result;
  P11KitUri* uri;
};

Parsed ParseWith(const P11KitLibrary& kit, const char* text, P11KitUriType type) {
  P11KitUri* uri = kit.uriNew();
  return Parsed{kit.uriParse(text, type, uri), uri};
}

std::string Text(const char* value) { return value != nullptr ? std::string("=") + value : "(none)"; }

std::string Bytes(const void* bytes, std::size_t size) {
  return std::string(static_cast<const char*>(bytes), size);
}

// The attributes as one text, in type order.
std::string AttributesOf(const P11KitLibrary& kit, P11KitUri* uri) {
  CK_ULONG count = 0;
  CK_ATTRIBUTE_PTR attributes = kit.uriGetAttributes(uri, &count);
  std::string text;
  for (CK_ATTRIBUTE_TYPE type : {CKA_CLASS, CKA_LABEL, CKA_ID}) {
    for (CK_ULONG i = 0; i < count; ++i) {
      if (attributes[i].type != type) continue;
      text += std::to_string(type) + ":" + Bytes(attributes[i].pValue, attributes[i].ulValueLen) + ";";
    }
  }
  return text;
}

CK_TOKEN_INFO TokenInfo(const char* label, const char* manufacturer) {
  CK_TOKEN_INFO info{};
  std::memset(&info, ' ', sizeof info);
  std::memcpy(info.label, label, std::strlen(label));
  std::memcpy(info.manufacturerID, manufacturer, std::strlen(manufacturer));
  return info;
}

CK_INFO ModuleInfo(const char* description, CK_BYTE major, CK_BYTE minor) {
  CK_INFO info{};
  std::memset(&info, ' ', sizeof info);
  std::memcpy(info.libraryDescription, description, std::strlen(description));
  info.libraryVersion = CK_VERSION{major, minor};
  return info;
}

// Everything the token code reads from a parsed URI, as one text.
std::string Facts(const P11KitLibrary& kit, P11KitUri* uri) {
  const CK_TOKEN_INFO* token = kit.uriGetTokenInfo(uri);
  const CK_INFO* module = kit.uriGetModuleInfo(uri);
  std::string facts = "path" + Text(kit.uriGetModulePath(uri)) + " name" + Text(kit.uriGetModuleName(uri)) +
                      " pin-source" + Text(kit.uriGetPinSource(uri)) + " pin-value" +
                      Text(kit.uriGetPinValue(uri)) + " slot=" + std::to_string(kit.uriGetSlotId(uri)) +
                      " attributes=" + AttributesOf(kit, uri);
  facts += " token=[" + Bytes(token->label, sizeof token->label) + "|" +
           Bytes(token->manufacturerID, sizeof token->manufacturerID) + "|" +
           Bytes(token->model, sizeof token->model) + "|" +
           Bytes(token->serialNumber, sizeof token->serialNumber) + "]";
  facts += " module=[" + Bytes(module->libraryDescription, sizeof module->libraryDescription) + "|" +
           Bytes(module->manufacturerID, sizeof module->manufacturerID) + "|" +
           std::to_string(module->libraryVersion.major) + "." + std::to_string(module->libraryVersion.minor) +
           "]";
  for (const CK_TOKEN_INFO& info : {TokenInfo("alpha", "Maker"), TokenInfo("", ""), TokenInfo("al pha", "Maker\n")}) {
    facts += kit.uriMatchTokenInfo(uri, &info) ? " token-matches" : " token-differs";
  }
  for (const CK_INFO& info : {ModuleInfo("Soft", 2, 6), ModuleInfo("Other", 1, 0)}) {
    facts += kit.uriMatchModuleInfo(uri, &info) ? " module-matches" : " module-differs";
  }
  return facts;
}

const P11KitLibrary& OwnParser() {
  static P11KitLibrary own = [] {
    P11KitLibrary kit{};
    kit.uriNew = UriNew;
    kit.uriParse = UriParse;
    kit.uriFree = UriFree;
    kit.uriMessage = UriMessage;
    kit.uriGetModulePath = UriModulePath;
    kit.uriGetModuleName = UriModuleName;
    kit.uriGetPinSource = UriPinSource;
    kit.uriGetPinValue = UriPinValue;
    kit.uriGetTokenInfo = UriTokenInfo;
    kit.uriGetModuleInfo = UriModuleInfo;
    kit.uriMatchTokenInfo = UriMatchesToken;
    kit.uriMatchModuleInfo = UriMatchesModule;
    kit.uriGetSlotId = UriSlotId;
    kit.uriGetAttributes = UriAttributes;
    kit.strerror = TokenErrorText;
    return kit;
  }();
  return own;
}

class UriParserTest : public ::testing::TestWithParam<const char*> {};

// As the token code parses (every part), and as an object on a token of a
// module only (slot and version attributes then match nothing).
TEST_P(UriParserTest, ParsesAsP11KitDoes) {
  const P11KitLibrary* kit = LoadP11Kit();
  ASSERT_NE(kit, nullptr);
  for (const P11KitUriType type : {P11_KIT_URI_FOR_ANY, P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE}) {
    const Parsed theirs = ParseWith(*kit, GetParam(), type);
    const Parsed ours = ParseWith(OwnParser(), GetParam(), type);
    EXPECT_EQ(ours.result, theirs.result) << type;
    if (ours.result == P11_KIT_URI_OK && theirs.result == P11_KIT_URI_OK) {
      EXPECT_EQ(Facts(OwnParser(), ours.uri), Facts(*kit, theirs.uri)) << type;
    }
    kit->uriFree(theirs.uri);
    UriFree(ours.uri);
  }
}

INSTANTIATE_TEST_SUITE_P(Uris, UriParserTest, ::testing::ValuesIn(kUris));

TEST(UriParserTest, AParsedUriCanBeParsedAgainWithNothingLeftOver) {
  P11KitUri* uri = UriNew();
  ASSERT_EQ(UriParse("pkcs11:token=a;object=k;type=private?pin-value=1&module-path=/m",
                     P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, uri),
            P11_KIT_URI_OK);
  ASSERT_EQ(UriParse("pkcs11:id=%01", P11_KIT_URI_FOR_OBJECT_ON_TOKEN_AND_MODULE, uri), P11_KIT_URI_OK);
  EXPECT_EQ(UriPinValue(uri), nullptr);
  EXPECT_EQ(UriModulePath(uri), nullptr);
  EXPECT_EQ(UriTokenInfo(uri)->label[0], 0);
  CK_ULONG count = 0;
  const CK_ATTRIBUTE* attributes = UriAttributes(uri, &count);
  ASSERT_EQ(count, 1U);
  EXPECT_EQ(attributes[0].type, static_cast<CK_ATTRIBUTE_TYPE>(CKA_ID));
  UriFree(uri);
}

TEST(UriParserTest, MessagesAreP11KitsOwn) {
  const P11KitLibrary* kit = LoadP11Kit();
  ASSERT_NE(kit, nullptr);
  for (int code = P11_KIT_URI_UNEXPECTED; code >= P11_KIT_URI_NOT_FOUND - 1; --code) {
    EXPECT_STREQ(UriMessage(code), kit->uriMessage(code)) << code;
  }
}

TEST(TokenErrorTextTest, EveryReturnValueReadsAsP11KitReadsIt) {
  const P11KitLibrary* kit = LoadP11Kit();
  ASSERT_NE(kit, nullptr);
  for (CK_RV rv = 0; rv <= 0x201; ++rv) EXPECT_STREQ(TokenErrorText(rv), kit->strerror(rv)) << rv;
  for (CK_RV rv : {CKR_VENDOR_DEFINED, CKR_VENDOR_DEFINED + 1, static_cast<CK_RV>(-1)}) {
    EXPECT_STREQ(TokenErrorText(rv), kit->strerror(rv)) << rv;
  }
}

}  // namespace
}  // namespace sealtool
