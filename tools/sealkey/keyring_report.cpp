#include "keyring_report.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include <mbedtls/bignum.h>

#include "image/hex_text.h"
#include "keys/key_check_value.h"
#include "keys/key_handle.h"
#include "keys/key_id.h"
#include "keys/public_key.h"
#include "platform/file_facts.h"
#include "platform/staged_file.h"
#include "release/json_document.h"
#include "release/keyring.h"
#include "release/release_record.h"

namespace sealkey {
namespace {

using sealtool::Keyring;
using sealtool::KeyringEntry;

// The keyring at path: false (said why) when it cannot be read (*status
// kUnreadable) or is malformed (kCheckFailed). A path where nothing stands
// is an empty keyring when missingIsEmpty.
bool LoadKeyring(const char* path, bool missingIsEmpty, Keyring* keyring, KeyToolOutcome* status) {
  std::string text;
  if (missingIsEmpty && !sealtool::FileExists(path)) return true;
  if (!sealtool::ReadReleaseText(path, sealtool::kMaxKeyringBytes, &text)) {
    std::fprintf(stderr, "sealkey: cannot read the keyring %s\n", path);
    *status = KeyToolOutcome::kUnreadable;
    return false;
  }
  std::string problem;
  if (!sealtool::ParseKeyring(text, keyring, &problem)) {
    std::fprintf(stderr, "sealkey: the keyring %s is refused: %s\n", path, problem.c_str());
    *status = KeyToolOutcome::kCheckFailed;
    return false;
  }
  return true;
}

// The id a keyring names a key by: an RSA key's SubjectPublicKeyInfo key
// id, or an AES key's check value.
bool IdOfKey(const char* ref, std::string* id) {
  sealtool::KeyRole role{};
  if (sealtool::RefNamesAesKey(ref, &role)) {
    std::uint8_t value[sealtool::kKeyCheckValueSize] = {};
    const bool computed = sealtool::KeyCheckValue(sealtool::ResolveKey(ref, role), value);
    *id = sealtool::HexString(value, sizeof value);
    return computed;
  }
  mbedtls_mpi n, e;
  mbedtls_mpi_init(&n);
  mbedtls_mpi_init(&e);
  const char* kind = "";
  sealtool::KeyIds ids{};
  const bool found = sealtool::LoadPublicKey(ref, &n, &e, &kind) && sealtool::ComputeKeyIds(&n, &e, &ids);
  mbedtls_mpi_free(&n);
  mbedtls_mpi_free(&e);
  *id = sealtool::HexString(ids.spki, sizeof ids.spki);
  return found;
}

KeyToolOutcome WriteKeyring(const char* path, const Keyring& keyring) {
  const std::string text = sealtool::FormatKeyring(keyring);
  char name[sealtool::kFileNameSize];
  errno = 0;
  const int dirFd = sealtool::OpenParentDirectory(sealtool::kWorkingFolder, path, name);
  if (dirFd < 0) {
    std::fprintf(stderr, "sealkey: cannot write %s: %s\n", path,
                 errno != 0 ? std::strerror(errno) : "it names no file that could be created");
    return KeyToolOutcome::kCheckFailed;
  }
  const sealtool::FileToWrite file{name, 0644u, text.data(), text.size()};
  std::size_t failed = 0;
  const bool written = sealtool::WriteFileSet(dirFd, &file, 1, &failed, true);
  const int failure = errno;
  sealtool::CloseFolder(dirFd);
  if (!written) {
    std::fprintf(stderr, "sealkey: cannot write %s: %s\n", path, std::strerror(failure));
    return KeyToolOutcome::kCheckFailed;
  }
  return KeyToolOutcome::kDone;
}

bool NewEntry(const KeyringAddition& addition, const std::string& id, KeyringEntry* entry) {
  entry->name = addition.name != nullptr ? addition.name : "";
  entry->id = id;
  if (entry->name.empty() || !sealtool::IsUtf8(entry->name)) {
    std::fprintf(stderr, "sealkey: a key needs a name (--name), in UTF-8\n");
    return false;
  }
  if (addition.use == nullptr || !sealtool::ParseKeyUse(addition.use, &entry->use)) {
    std::fprintf(stderr, "sealkey: a key needs its use: --use development or --use production\n");
    return false;
  }
  if (addition.status != nullptr && !sealtool::ParseKeyStatus(addition.status, &entry->status)) {
    std::fprintf(stderr, "sealkey: --status is active, retired or revoked, not '%s'\n", addition.status);
    return false;
  }
  entry->hasNote = addition.note != nullptr;
  if (entry->hasNote) entry->note = addition.note;
  return true;
}

}  // namespace

KeyToolOutcome ShowKeyring(const char* path, bool json) {
  Keyring keyring;
  KeyToolOutcome status = KeyToolOutcome::kDone;
  if (!LoadKeyring(path, false, &keyring, &status)) return status;
  if (json) {
    std::fputs(sealtool::FormatKeyring(keyring).c_str(), stdout);
    return KeyToolOutcome::kDone;
  }
  std::printf("keyring %s: %zu keys, well formed\n", path, keyring.keys.size());
  for (const KeyringEntry& entry : keyring.keys) {
    std::printf("  %-20s %-11s %-7s %s%s%s\n", entry.name.c_str(), sealtool::KeyUseName(entry.use),
                sealtool::KeyStatusName(entry.status), entry.id.c_str(), entry.hasNote ? "  " : "",
                entry.note.c_str());
  }
  return KeyToolOutcome::kDone;
}

KeyToolOutcome AddToKeyring(const char* path, const KeyringAddition& addition) {
  Keyring keyring;
  KeyToolOutcome status = KeyToolOutcome::kDone;
  if (!LoadKeyring(path, true, &keyring, &status)) return status;
  std::string id;
  const bool identified = IdOfKey(addition.ref, &id);
  sealtool::CloseKeys();
  if (!identified) {
    std::fprintf(stderr, "sealkey: %s gives no public key and no AES check value\n",
                 sealtool::KeyRefForDisplay(addition.ref).text);
    return KeyToolOutcome::kUnreadable;
  }
  KeyringEntry entry;
  if (!NewEntry(addition, id, &entry)) return KeyToolOutcome::kUnreadable;
  keyring.keys.push_back(entry);
  // The reader's own checks: a name or id held already is refused here.
  std::string problem;
  Keyring checked;
  if (!sealtool::ParseKeyring(sealtool::FormatKeyring(keyring), &checked, &problem)) {
    std::fprintf(stderr, "sealkey: %s cannot be added to %s: %s\n", entry.name.c_str(), path, problem.c_str());
    return KeyToolOutcome::kCheckFailed;
  }
  status = WriteKeyring(path, keyring);
  if (status == KeyToolOutcome::kDone) {
    std::printf("added %s (%s, %s, id %s) to %s\n", entry.name.c_str(), sealtool::KeyUseName(entry.use),
                sealtool::KeyStatusName(entry.status), id.c_str(), path);
  }
  return status;
}

}  // namespace sealkey
