#include "keys/key_handle.h"

#include <cstdio>
#include <cstring>

#include "console/console.h"
#include "keys/aes_key_file.h"
#include "keys/held_key_files.h"
#include "keys/rsa_key_files.h"
#include "keys/rsa_signing_keys.h"

namespace sealtool {
namespace {

constexpr std::size_t kMaxAddedSources = 4;

// Asked in order; the file source, which claims every reference, last.
const KeySourceInfo* gAddedSources[kMaxAddedSources] = {};
std::size_t gAddedCount = 0;
const KeySourceInfo* const kBuiltInSources[] = {&kTokenKeySource, &kHelperKeySource, &kFileKeySource};

}  // namespace

const char* KeyDefaultFile(KeyRole role) {
  switch (role) {
    case KeyRole::kRsaPrivate:
      return kRsaPrivateKeyFileName;
    case KeyRole::kRsaPublic:
    case KeyRole::kAnyPublicKey:
      return kRsaPublicKeyFileName;
    case KeyRole::kAesKey:
    case KeyRole::kSealKey:
      return kAesKeyFileName;
  }
  return "";
}

namespace {

bool Unsupported(const KeyHandle& key, const char* operation) {
  SayFailed("  ! %s cannot %s\n\n", KeyHandleText(key).text, operation);
  return false;
}

}  // namespace

const KeySourceInfo* KeySourceOf(const char* ref) {
  if (ref == nullptr) return &kFileKeySource;
  for (std::size_t i = 0; i < gAddedCount; ++i) {
    if (gAddedSources[i]->claims(ref)) return gAddedSources[i];
  }
  for (const KeySourceInfo* source : kBuiltInSources) {
    if (source->claims(ref)) return source;
  }
  return &kFileKeySource;
}

bool IsKeySourceName(const char* name) {
  for (const KeySourceInfo* source : kBuiltInSources) {
    if (std::strcmp(source->name, name) == 0) return true;
  }
  return false;
}

bool AddKeySource(const KeySourceInfo* source) {
  if (gAddedCount == kMaxAddedSources) return false;
  gAddedSources[gAddedCount++] = source;
  return true;
}

void RemoveAddedKeySources() { gAddedCount = 0; }

KeyHandle ResolveKey(const char* ref, KeyRole role, std::int32_t chip) {
  return {KeySourceOf(ref), ref, role, chip, false};
}

KeyHandle ResolvePublicKey(const char* rsaPub, const char* rsaKey, KeyRole role) {
  if (rsaPub == nullptr && rsaKey != nullptr && KeySourceOf(rsaKey)->givesOwnPublicKey) {
    return {KeySourceOf(rsaKey), rsaKey, role, 0, true};
  }
  return ResolveKey(rsaPub, role);
}

RunKeys ResolveRunKeys(const KeySources& sources, std::int32_t chip) {
  return {ResolveKey(sources.rsaKey, KeyRole::kRsaPrivate),
          ResolvePublicKey(sources.rsaPub, sources.rsaKey, KeyRole::kRsaPublic),
          ResolveKey(sources.aesKey, KeyRole::kAesKey, chip),
          ResolveKey(sources.sealKey, KeyRole::kSealKey, chip),
          sources.signLater,
          sources.signature};
}

bool KeyEncryptCbc(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length) {
  if (key.source->encryptCbc == nullptr) return Unsupported(key, "encrypt with AES-128-CBC");
  return key.source->encryptCbc(key, echo, data, length);
}

bool KeyWrap(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey, std::uint8_t* wrapped) {
  if (key.source->wrapKey == nullptr) return Unsupported(key, "wrap an AES key");
  return key.source->wrapKey(key, echo, wrappingKey, wrapped);
}

bool KeySignRaw(const KeyHandle& key, const KeyHandle& publicKey, const std::uint8_t* block,
                std::uint8_t* signature) {
  if (key.source->signRaw == nullptr) return Unsupported(key, "sign with RSA");
  return key.source->signRaw(key, publicKey, block, signature);
}

// A batch asks each source for a public key once (a token's modulus, a
// helper's answer, a file): the rest of its images take it from there.
bool KeyPublicKey(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) {
  if (key.source->publicKey == nullptr) return Unsupported(key, "give an RSA public key");
  const std::string held = std::string(key.source->name) + '\n' +
                           (key.ref != nullptr ? key.ref : KeyDefaultFile(key.role)) + '\n' +
                           std::to_string(static_cast<int>(key.role)) + (key.ofPrivateKey ? "/private" : "");
  if (FindHeldPublicKey(held, n, e, kind)) return true;
  if (!key.source->publicKey(key, n, e, kind)) return false;
  // The key a run stores must fit the image's regions and mean something.
  if (key.role == KeyRole::kRsaPublic && !PublicKeyFitsImage(n, e, KeyHandleText(key).text)) return false;
  HoldPublicKey(held, n, e, *kind);
  return true;
}

void CloseKeys() {
  for (std::size_t i = 0; i < gAddedCount; ++i) {
    if (gAddedSources[i]->closeAll != nullptr) gAddedSources[i]->closeAll();
  }
  for (const KeySourceInfo* source : kBuiltInSources) {
    if (source->closeAll != nullptr) source->closeAll();
  }
}

KeyRefText KeyHandleText(const KeyHandle& key) {
  return KeyRefForDisplay(key.ref != nullptr ? key.ref : KeyDefaultFile(key.role));
}

// A source that holds no secret in its references shows them as given.
KeyRefText KeyRefForDisplay(const char* ref) {
  const KeySourceInfo* source = KeySourceOf(ref);
  if (source->display != nullptr) return source->display(ref);
  KeyRefText text{};
  std::snprintf(text.text, sizeof text.text, "%s", ref);
  return text;
}

bool KeyRefWithoutSecrets(const char* ref, char* out, std::size_t size) {
  const KeySourceInfo* source = KeySourceOf(ref);
  if (source->rerunText != nullptr) return source->rerunText(ref, out, size);
  return std::snprintf(out, size, "%s", ref) < static_cast<int>(size);
}

bool KeyRefIsPath(const char* ref) { return KeySourceOf(ref)->refIsPath; }

bool KeyRefGivesOwnPublicKey(const char* ref) { return KeySourceOf(ref)->givesOwnPublicKey; }

bool KeyRefHoldsSecret(const char* ref) {
  const KeySourceInfo* source = KeySourceOf(ref);
  return source->holdsSecret != nullptr && source->holdsSecret(ref);
}

bool KeyRefUsable(const char* ref, char* why, std::size_t size) {
  const KeySourceInfo* source = KeySourceOf(ref);
  return source->usable == nullptr || source->usable(ref, why, size);
}

std::vector<KeyFileUse> KeyRefFilesRead(const char* ref) {
  const KeySourceInfo* source = KeySourceOf(ref);
  return source->filesRead != nullptr ? source->filesRead(ref) : std::vector<KeyFileUse>{};
}

bool KeyRefSharedName(const char* ref, std::string* name) {
  const KeySourceInfo* source = KeySourceOf(ref);
  return source->sharedName != nullptr && source->sharedName(ref, name);
}

bool KeyRefHolder(const char* ref, KeyHolder* holder) {
  const KeySourceInfo* source = KeySourceOf(ref);
  return source->holder != nullptr && source->holder(ref, holder);
}

const char* KeyRefSourceName(const char* ref) { return KeySourceOf(ref)->name; }

void BeginHeldKeyEcho(KeyEcho echo) {
  if (echo != KeyEcho::kNone) Say("AES-Key:\r\n");
}

void EndHeldKeyEcho(KeyEcho echo, const char* where) {
  if (echo != KeyEcho::kNone) Say("%s\r\n", where);
}

}  // namespace sealtool
