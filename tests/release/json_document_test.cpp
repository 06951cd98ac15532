#include "release/json_document.h"

#include <gtest/gtest.h>

#include <string>

namespace sealtool {
namespace {

// Whether nlohmann's strict writer takes text: the oracle for what UTF-8 is.
bool StrictWriterTakes(const std::string& text) {
  try {
    (void)Json(text).dump();
    return true;
  } catch (const nlohmann::json::type_error&) {
    return false;
  }
}

TEST(JsonDocumentTest, Utf8IsWhatTheStrictWriterTakes) {
  const std::string cases[] = {
      "", "plain/ascii.bin", "caf\xc3\xa9", "\xe2\x82\xac", "\xf0\x9f\x94\x91",  // valid
      "\xff", "rel\xff\xfe/x", "\xc0\xaf",                                      // invalid bytes, overlong
      "\xe0\x80\xaf", "\xed\xa0\x80", "\xf4\x90\x80\x80", "\xf8\x88\x80\x80\x80",  // overlong, surrogate, past U+10FFFF
      "\xc3", "\xe2\x82", "a\x80", "\xc2\x80", "\xef\xbf\xbf", "\xf4\x8f\xbf\xbf",
  };
  for (const std::string& text : cases) {
    EXPECT_EQ(IsUtf8(text), StrictWriterTakes(text)) << Json(text).dump(-1, ' ', true, Json::error_handler_t::replace);
  }
}

TEST(JsonDocumentTest, TextsThatAreNotUtf8RoundTripThroughTheHexForm) {
  const std::string texts[] = {"release/a.bin", "proj\xff\xfe/out.bin", std::string("\x00\x01", 2), "\xc3"};
  for (const std::string& text : texts) {
    Json document = {{"path", text}, {"list", {text}}, {text, 1}};
    std::string dumped;
    ASSERT_NO_FATAL_FAILURE(dumped = DumpJson(document));
    Json parsed;
    std::string problem;
    ASSERT_TRUE(ParseStrictJson(dumped, &parsed, &problem)) << problem;
    std::string back;
    ASSERT_TRUE(ReadJsonText(parsed["path"], &back));
    EXPECT_EQ(back, text);
    ASSERT_TRUE(ReadJsonText(parsed["list"][0], &back));
    EXPECT_EQ(back, text);
    EXPECT_EQ(parsed["path"].is_string(), IsUtf8(text));
  }
  std::string out;
  for (const char* bad : {R"({"hex": "4"})", R"({"hex": "zz"})", R"({"hex": "41", "x": 1})", "1", R"({"hex": 4})"}) {
    EXPECT_FALSE(ReadJsonText(Json::parse(bad), &out)) << bad;
  }
}

TEST(JsonDocumentTest, AKeyGivenTwiceIsRefusedWithItsPath) {
  const struct {
    const char* text;
    const char* problem;
  } cases[] = {
      {R"({"a": 1, "a": 2})", "a: given twice"},
      {R"({"images": [{"x": 1}, {"chip": 1, "chip": 2}]})", "images[1].chip: given twice"},
      {R"({"d": {"e": {"f": 1, "f": 1}}})", "d.e.f: given twice"},
      {R"([[], [{"k": 1}], [{"k": 1, "k": 2}]])", "[2][0].k: given twice"},
      {R"({"a": [1, 2, {"b": null, "b": null}]})", "a[2].b: given twice"},
      {R"({"x": {"a.b": 1, "a.b": 2}})", R"(x["a.b"]: given twice)"},
      {R"({"k: v": 1, "k: v": 2})", R"(["k: v"]: given twice)"},
      // Where the text stops being JSON: one past its last character.
      {R"({"a": 1)", "not JSON: line 1, column 8: syntax error while parsing object - unexpected end of input; "
                     "expected '}'"},
      // A comma left out, on the third line, is named there.
      {"{\n  \"a\": 1\n  \"b\": 2\n}", "not JSON: line 3, column 5: syntax error while parsing object - "
                                       "unexpected string literal; expected '}'"},
  };
  for (const auto& c : cases) {
    Json document;
    std::string problem;
    EXPECT_FALSE(ParseStrictJson(c.text, &document, &problem)) << c.text;
    EXPECT_EQ(problem, c.problem) << c.text;
  }
  Json document;
  std::string problem;
  EXPECT_TRUE(ParseStrictJson(R"({"a": {"k": 1}, "b": {"k": 1}, "c": [{"k": 1}, {"k": 2}]})", &document, &problem))
      << "the same key in two objects is no duplicate";
}

TEST(JsonDocumentTest, IntegersOutsideThirtyTwoBitsAreRefused) {
  const struct {
    const char* text;
    bool fits;
    std::int32_t value;
  } cases[] = {
      {"742", true, 742},           {"-1", true, -1},
      {"2147483647", true, 2147483647}, {"-2147483648", true, INT32_MIN},
      {"2147483648", false, 0},     {"-2147483649", false, 0},
      {"18446744073709551615", false, 0}, {"4294967295", false, 0},
      {"1e3", false, 0},            {"742.0", false, 0},
      {"\"742\"", false, 0},        {"true", false, 0},
  };
  for (const auto& c : cases) {
    std::int32_t value = 0;
    EXPECT_EQ(ReadJsonInt32(Json::parse(c.text), &value), c.fits) << c.text;
    if (c.fits) {
      EXPECT_EQ(value, c.value) << c.text;
    }
  }
}

}  // namespace
}  // namespace sealtool
