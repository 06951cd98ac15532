#include "release/json_document.h"

#include <climits>
#include <set>
#include <vector>

#include "image/hex_text.h"

namespace sealtool {
namespace {

// Where the parser stands: one frame per open object or array.
struct Frame {
  bool array = false;
  std::size_t elements = 0;  // arrays: how many have started
  std::string key;           // objects: the key being read
  std::set<std::string> keys;
};

std::string PathOf(const std::vector<Frame>& frames) {
  std::string path;
  for (std::size_t i = 0; i + 1 < frames.size(); ++i) {
    if (frames[i].array) {
      path += "[" + std::to_string(frames[i].elements - 1) + "]";
    } else {
      path = JsonFieldPath(path, frames[i].key);
    }
  }
  return path;
}

bool IsPlainName(const std::string& key) {
  if (key.empty()) return false;
  for (const char c : key) {
    const bool plain = c == '_' || c == '-' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!plain) return false;
  }
  return true;
}

void ElementStarts(std::vector<Frame>* frames) {
  if (!frames->empty() && frames->back().array) ++frames->back().elements;
}

// The length of the UTF-8 sequence at text[i], or 0 when it is none (an
// overlong form, a surrogate, past U+10FFFF, or cut short).
std::size_t SequenceLength(const std::string& text, std::size_t i) {
  const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  if (lead < 0x80) return 1;
  std::size_t length = lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 0;
  if (length == 0 || lead > 0xF4 || i + length > text.size()) return 0;
  for (std::size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  const unsigned char second = byte(i + 1);
  if ((lead == 0xE0 && second < 0xA0) || (lead == 0xED && second > 0x9F) || (lead == 0xF0 && second < 0x90) ||
      (lead == 0xF4 && second > 0x8F)) {
    return 0;
  }
  return length;
}

Json Writable(const Json& value) {
  if (value.is_string()) return JsonText(value.get_ref<const std::string&>());
  if (value.is_array()) {
    Json array = Json::array();
    for (const Json& element : value) array.push_back(Writable(element));
    return array;
  }
  if (!value.is_object()) return value;
  Json object = Json::object();
  for (const auto& [key, element] : value.items()) {
    // Keys are the program's own names; one that is not UTF-8 is shown in hex.
    object[IsUtf8(key) ? key : HexString(reinterpret_cast<const std::uint8_t*>(key.data()), key.size())] =
        Writable(element);
  }
  return object;
}

// Where a text stops being JSON, as the parser says it ("line 3, column
// 21: syntax error while parsing object - unexpected string literal;
// expected '}'"): the events are ignored, only the first error is kept.
struct SyntaxErrorFinder : nlohmann::json_sax<Json> {
  std::string where;
  bool null() override { return true; }
  bool boolean(bool /*value*/) override { return true; }
  bool number_integer(number_integer_t /*value*/) override { return true; }
  bool number_unsigned(number_unsigned_t /*value*/) override { return true; }
  bool number_float(number_float_t /*value*/, const string_t& /*text*/) override { return true; }
  bool string(string_t& /*value*/) override { return true; }
  bool binary(binary_t& /*value*/) override { return true; }
  bool start_object(std::size_t /*size*/) override { return true; }
  bool key(string_t& /*value*/) override { return true; }
  bool end_object() override { return true; }
  bool start_array(std::size_t /*size*/) override { return true; }
  bool end_array() override { return true; }
  bool parse_error(std::size_t /*position*/, const std::string& /*token*/,
                   const nlohmann::detail::exception& error) override {
    static constexpr char kPrefix[] = "parse error at ";
    where = error.what();
    const std::size_t at = where.find(kPrefix);
    if (at != std::string::npos) where.erase(0, at + sizeof kPrefix - 1);
    return false;
  }
};

std::string SyntaxErrorOf(const std::string& text) {
  SyntaxErrorFinder finder;
  Json::sax_parse(text, &finder, nlohmann::detail::input_format_t::json, true);
  return finder.where;
}

}  // namespace

bool IsUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const std::size_t length = SequenceLength(text, i);
    if (length == 0) return false;
    i += length;
  }
  return true;
}

bool ParseStrictJson(const std::string& text, Json* document, std::string* problem) {
  std::vector<Frame> frames;
  std::string duplicate;
  const Json::parser_callback_t watch = [&](int, nlohmann::json::parse_event_t event, Json& parsed) {
    using Event = nlohmann::json::parse_event_t;
    switch (event) {
      case Event::object_start:
      case Event::array_start:
        ElementStarts(&frames);
        frames.push_back(Frame{event == Event::array_start, 0, {}, {}});
        break;
      case Event::key:
        frames.back().key = parsed.get<std::string>();
        if (!frames.back().keys.insert(frames.back().key).second && duplicate.empty()) {
          frames.push_back(Frame{});  // PathOf names every frame below the top
          duplicate = PathOf(frames);
          frames.pop_back();
        }
        break;
      case Event::value:
        ElementStarts(&frames);
        break;
      case Event::object_end:
      case Event::array_end:
        frames.pop_back();
        break;
    }
    return true;
  };
  *document = Json::parse(text, watch, false);
  if (document->is_discarded()) {
    const std::string where = SyntaxErrorOf(text);
    *problem = "not JSON";
    if (!where.empty()) problem->append(": ").append(where);
    return false;
  }
  if (!duplicate.empty()) {
    *problem = duplicate + ": given twice";
    return false;
  }
  return true;
}

Json JsonText(const std::string& text) {
  if (IsUtf8(text)) return text;
  return Json{{"hex", HexString(reinterpret_cast<const std::uint8_t*>(text.data()), text.size())}};
}

bool ReadJsonText(const Json& value, std::string* text) {
  if (value.is_string()) {
    *text = value.get<std::string>();
    return true;
  }
  if (!value.is_object() || value.size() != 1 || !value.contains("hex") || !value["hex"].is_string()) return false;
  const std::string& hex = value["hex"].get_ref<const std::string&>();
  if (hex.size() % 2 != 0) return false;
  text->clear();
  for (std::size_t i = 0; i < hex.size(); i += 2) {
    int byte = 0;
    for (std::size_t k = i; k < i + 2; ++k) {
      const char c = hex[k];
      const int digit = c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
      if (digit < 0) return false;
      byte = byte * 16 + digit;
    }
    text->push_back(static_cast<char>(byte));
  }
  return true;
}

bool ReadJsonInt32(const Json& value, std::int32_t* number) {
  if (value.is_number_unsigned()) {
    const auto unsignedValue = value.get<std::uint64_t>();
    if (unsignedValue > static_cast<std::uint64_t>(INT32_MAX)) return false;
    *number = static_cast<std::int32_t>(unsignedValue);
    return true;
  }
  if (!value.is_number_integer()) return false;
  const auto signedValue = value.get<std::int64_t>();
  if (signedValue < INT32_MIN || signedValue > INT32_MAX) return false;
  *number = static_cast<std::int32_t>(signedValue);
  return true;
}

std::string DumpJson(const Json& document) {
  // Every string is UTF-8 once Writable has passed over it, so the strict
  // dump cannot fail; replace is only the last line of defence.
  return Writable(document).dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

std::string JsonFieldPath(const std::string& where, const std::string& key) {
  if (!IsPlainName(key)) {
    return where + "[" + Json(key).dump(-1, ' ', false, Json::error_handler_t::replace) + "]";
  }
  return where.empty() ? key : where + "." + key;
}

}  // namespace sealtool
