// The keyring's reader on arbitrary text: a keyring it takes has no two
// entries of one name or one identity, and written out it reads back the
// same.
#include <cstdint>
#include <string>

#include "release/keyring.h"

namespace {

bool SameEntries(const sealtool::KeyringEntry& a, const sealtool::KeyringEntry& b) {
  return a.name == b.name && a.id == b.id && a.use == b.use && a.status == b.status && a.note == b.note &&
         a.hasNote == b.hasNote;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);
  sealtool::Keyring keyring;
  std::string problem;
  if (!sealtool::ParseKeyring(text, &keyring, &problem)) {
    if (problem.empty()) __builtin_trap();
    return 0;
  }
  for (std::size_t i = 0; i < keyring.keys.size(); ++i) {
    if (!sealtool::IsKeyringId(keyring.keys[i].id)) __builtin_trap();
    for (std::size_t j = 0; j < i; ++j) {
      if (keyring.keys[i].name == keyring.keys[j].name || keyring.keys[i].id == keyring.keys[j].id) __builtin_trap();
    }
  }
  sealtool::Keyring again;
  if (!sealtool::ParseKeyring(sealtool::FormatKeyring(keyring), &again, &problem)) __builtin_trap();
  if (again.keys.size() != keyring.keys.size()) __builtin_trap();
  for (std::size_t i = 0; i < keyring.keys.size(); ++i) {
    if (!SameEntries(keyring.keys[i], again.keys[i])) __builtin_trap();
  }
  return 0;
}
