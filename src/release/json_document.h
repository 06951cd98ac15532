// JSON as the release's documents use it. Reading is strict: a key given
// twice in one object is refused with its path, since a hidden second value
// would silently win. Writing never fails: a text that is not UTF-8 (a
// folder name, a token label) is written as {"hex": "..."}, its bytes in
// hexadecimal, and the readers take that form back.
#pragma once

#include <cstdint>
#include <string>

#include <nlohmann/json.hpp>

namespace sealtool {

using Json = nlohmann::ordered_json;

// Parses text; false with *problem: "not JSON: line L, column C: what", or the path of a key given
// twice ("images[2].chip: given twice").
bool ParseStrictJson(const std::string& text, Json* document, std::string* problem);

// The value to store for a text from outside: the text itself when it is
// UTF-8, else its bytes in the hex form.
Json JsonText(const std::string& text);

// A text as JsonText stores it; false when value is neither form.
bool ReadJsonText(const Json& value, std::string* text);

// A 32-bit signed integer; false for another type, a fraction or a value
// out of range.
bool ReadJsonInt32(const Json& value, std::int32_t* number);

// document as indented text ending in a newline; texts that are not UTF-8
// anywhere in it are first put in the hex form.
std::string DumpJson(const Json& document);

bool IsUtf8(const std::string& text);

// The path of field key within where ("images[0].chip"): a key that is not
// a plain name (letters, digits, '_', '-') is quoted as JSON, in brackets
// (images[0]["n[ame"]), so that a message names exactly the field it means.
std::string JsonFieldPath(const std::string& where, const std::string& key);

}  // namespace sealtool
