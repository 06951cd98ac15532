#include "release/keyring.h"

#include <cctype>

#include "release/json_document.h"

namespace sealtool {
namespace {

constexpr std::size_t kKeyIdDigits = 64;
constexpr std::size_t kCheckValueDigits = 6;

bool Fail(const std::string& where, const std::string& what, std::string* problem) {
  *problem = where + ": " + what;
  return false;
}

std::string Lower(std::string text) {
  for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

bool ReadString(const Json& value, const std::string& where, std::string* out, std::string* problem) {
  if (!value.is_string() || value.get<std::string>().empty()) return Fail(where, "a non-empty string is needed", problem);
  *out = value.get<std::string>();
  return true;
}

bool ReadField(const std::string& key, const Json& value, const std::string& where, KeyringEntry* entry,
               unsigned* seen, std::string* problem) {
  std::string text;
  if (key == "note") {
    entry->hasNote = true;
    if (!value.is_string()) return Fail(where, "a string is needed", problem);
    entry->note = value.get<std::string>();
    return true;
  }
  if (key != "name" && key != "id" && key != "use" && key != "status") {
    return Fail(where, "not a field of a key (name, id, use, status, note)", problem);
  }
  if (!ReadString(value, where, &text, problem)) return false;
  if (key == "name") {
    *seen |= 1u;
    entry->name = text;
  } else if (key == "id") {
    *seen |= 2u;
    if (!IsKeyringId(text)) {
      return Fail(where, "a key id (64 hex digits) or an AES check value (6 hex digits) is needed", problem);
    }
    entry->id = Lower(text);
  } else if (key == "use") {
    *seen |= 4u;
    if (!ParseKeyUse(text, &entry->use)) return Fail(where, "development or production is needed", problem);
  } else {
    *seen |= 8u;
    if (!ParseKeyStatus(text, &entry->status)) return Fail(where, "active, retired or revoked is needed", problem);
  }
  return true;
}

bool ReadEntry(const Json& value, const std::string& where, KeyringEntry* entry, std::string* problem) {
  if (!value.is_object()) return Fail(where, "an object is needed", problem);
  unsigned seen = 0;
  for (const auto& [key, field] : value.items()) {
    if (!ReadField(key, field, JsonFieldPath(where, key), entry, &seen, problem)) return false;
  }
  const char* const required[] = {"name", "id", "use", "status"};
  for (unsigned i = 0; i < 4; ++i) {
    if ((seen & (1u << i)) == 0) return Fail(where, std::string(required[i]) + " is needed", problem);
  }
  return true;
}

// Two entries of one name or one id would make "which key" ambiguous.
bool EntriesAreDistinct(const Keyring& keyring, std::string* problem) {
  for (std::size_t i = 0; i < keyring.keys.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      const std::string where = "keys[" + std::to_string(i) + "]";
      const std::string other = "keys[" + std::to_string(j) + "]";
      if (keyring.keys[i].name == keyring.keys[j].name) {
        return Fail(where + ".name", "'" + keyring.keys[i].name + "' names " + other + " too", problem);
      }
      if (keyring.keys[i].id == keyring.keys[j].id) {
        return Fail(where + ".id", "is " + other + "'s id too", problem);
      }
    }
  }
  return true;
}

}  // namespace

bool IsKeyringId(const std::string& id) {
  if (id.size() != kKeyIdDigits && id.size() != kCheckValueDigits) return false;
  for (const char c : id) {
    if (std::isxdigit(static_cast<unsigned char>(c)) == 0) return false;
  }
  return true;
}

const char* KeyUseName(KeyUse use) { return use == KeyUse::kProduction ? "production" : "development"; }

const char* KeyStatusName(KeyStatus status) {
  switch (status) {
    case KeyStatus::kRetired: return "retired";
    case KeyStatus::kRevoked: return "revoked";
    case KeyStatus::kActive: break;
  }
  return "active";
}

bool ParseKeyUse(const std::string& text, KeyUse* use) {
  if (text != "development" && text != "production") return false;
  *use = text == "production" ? KeyUse::kProduction : KeyUse::kDevelopment;
  return true;
}

bool ParseKeyStatus(const std::string& text, KeyStatus* status) {
  for (const KeyStatus known : {KeyStatus::kActive, KeyStatus::kRetired, KeyStatus::kRevoked}) {
    if (text == KeyStatusName(known)) {
      *status = known;
      return true;
    }
  }
  return false;
}

bool ParseKeyring(const std::string& text, Keyring* keyring, std::string* problem) {
  Json document;
  if (!ParseStrictJson(text, &document, problem)) {
    // A key given twice comes with its path; text that is no JSON, without.
    return problem->rfind("not JSON", 0) == 0 ? Fail("keyring", *problem, problem) : false;
  }
  if (!document.is_object()) return Fail("keyring", "an object is needed", problem);
  const Json* keys = nullptr;
  bool versioned = false;
  for (const auto& [key, value] : document.items()) {
    if (key == "version") {
      if (!value.is_number_integer() || value.get<long long>() != 1) return Fail(key, "1 is needed", problem);
      versioned = true;
    } else if (key == "keys") {
      if (!value.is_array()) return Fail(key, "an array is needed", problem);
      keys = &value;
    } else {
      return Fail(JsonFieldPath("", key), "not a field of a keyring (version, keys)", problem);
    }
  }
  if (!versioned) return Fail("keyring", "version is needed", problem);
  if (keys == nullptr) return Fail("keyring", "keys is needed", problem);
  keyring->keys.clear();
  for (std::size_t i = 0; i < keys->size(); ++i) {
    KeyringEntry entry;
    if (!ReadEntry((*keys)[i], "keys[" + std::to_string(i) + "]", &entry, problem)) return false;
    keyring->keys.push_back(entry);
  }
  return EntriesAreDistinct(*keyring, problem);
}

std::string FormatKeyring(const Keyring& keyring) {
  Json keys = Json::array();
  for (const KeyringEntry& entry : keyring.keys) {
    Json key = {{"name", JsonText(entry.name)},
                {"id", entry.id},
                {"use", KeyUseName(entry.use)},
                {"status", KeyStatusName(entry.status)}};
    if (entry.hasNote) key["note"] = JsonText(entry.note);
    keys.push_back(key);
  }
  return DumpJson(Json{{"version", 1}, {"keys", keys}});
}

const KeyringEntry* FindKeyringEntry(const Keyring& keyring, const std::string& id) {
  const std::string wanted = Lower(id);
  for (const KeyringEntry& entry : keyring.keys) {
    if (entry.id == wanted) return &entry;
  }
  return nullptr;
}

}  // namespace sealtool
