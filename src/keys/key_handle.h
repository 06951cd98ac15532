// One door for keys. A key reference (a file path, a pkcs11: URI, a
// helper: program, or null for the key file of the working directory) is
// resolved once into a KeyHandle: the reference and the row of the source
// that holds it. The sealing steps, the record and the batch's checks use a
// key only through these functions; where the key lives is decided here, by
// the first source that claims the reference, and nowhere else.
//
// A source is one row of functions (KeySourceInfo) and one file: the key
// files in key_source_file.cpp, the keys of PKCS#11 tokens in
// key_source_token.cpp, keys behind a helper program in
// key_source_helper.cpp. Every operation prints why it failed, in the run's
// own words, and returns false.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include <mbedtls/bignum.h>

#include "keys/key_sources.h"
#include "token/key_ref_text.h"

namespace sealtool {

// What a key is used as; a file key is read in the format of its role.
enum class KeyRole {
  kRsaPrivate,    // rsa_priv.txt: signs the RSA input block
  kRsaPublic,     // rsa_pub.txt: N and E stored beside the signature
  kAnyPublicKey,  // a public key to compare with: rsa_pub.txt, PEM, DER or a sealed image
  kAesKey,        // aes.txt's token form: the body key or the user key
  kSealKey,       // aes.txt's byte-list form: the digest seal key
};

// How an AES key is shown as it is taken up: not at all (the seal key),
// its bytes run together (key-record mode) or one blank after each byte.
enum class KeyEcho { kNone, kCompact, kSpaced };

struct KeySourceInfo;

struct KeyHandle {
  const KeySourceInfo* source;
  const char* ref;    // as given; null for the default file of the role
  KeyRole role;
  std::int32_t chip;  // whose built-in AES key stands in for a missing aes.txt
  bool ofPrivateKey;  // a public key read as the public half of the private key ref names
};

// A file a key reference reads besides the key itself, or the key file.
struct KeyFileUse {
  std::string path;
  const char* what;  // "" for the key file, else what the file is to the key
};

// Who holds a key outside the file system, for the record.
struct KeyHolder {
  std::string label, manufacturer, model, serial;
};

// One source of keys. Operations a source cannot do are null, and a row
// leaves them out.
struct KeySourceInfo {
  const char* name = nullptr;  // as records name it: "file", "token"
  // The reference names a key of this source. The last source claims every
  // reference.
  bool (*claims)(const char* ref) = nullptr;
  // A private key here also gives its own public key (N and E to store).
  bool givesOwnPublicKey = false;
  // ref is a path in the file system: records keep it relative to their
  // folder, and a manifest's is taken from the manifest's folder.
  bool refIsPath = false;

  // The text of ref for messages and records, with every secret masked;
  // and for a command line that is run again, with the secrets left out
  // (false when it does not fit in size bytes).
  KeyRefText (*display)(const char* ref) = nullptr;
  bool (*rerunText)(const char* ref, char* out, std::size_t size) = nullptr;

  // Zero-IV AES-128-CBC over length bytes (whole blocks) in place.
  bool (*encryptCbc)(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length) = nullptr;
  // The key itself encrypted as one AES-128 block under wrappingKey.
  bool (*wrapKey)(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey,
                  std::uint8_t* wrapped) = nullptr;
  // The raw RSA-1024 private operation: signature = block^D mod N.
  // publicKey is the key the run stores beside the signature (a source may
  // tell its signer which key that is).
  bool (*signRaw)(const KeyHandle& key, const KeyHandle& publicKey, const std::uint8_t* block,
                  std::uint8_t* signature) = nullptr;
  // N and E; *kind says what carried them.
  bool (*publicKey)(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind) = nullptr;

  // Before a batch asks any key anything: can the reference be used at
  // all? False with the reason in why (size bytes); an empty reason means
  // it was printed already.
  bool (*usable)(const char* ref, char* why, std::size_t size) = nullptr;
  // The files the reference reads, for the batch's check that no output
  // overwrites one.
  std::vector<KeyFileUse> (*filesRead)(const char* ref) = nullptr;
  // The name of what only one batch at a time may use (a token), or false.
  bool (*sharedName)(const char* ref, std::string* name) = nullptr;
  // The reference itself holds a secret (a PIN), which a manifest must not.
  bool (*holdsSecret)(const char* ref) = nullptr;
  // Who holds the key, for the record; false when no holder is known.
  bool (*holder)(const char* ref, KeyHolder* holder) = nullptr;
  // Ends whatever the source opened for the run (token sessions): the run
  // calls it once, through CloseKeys, when it is done with its keys.
  void (*closeAll)() = nullptr;
};

// The source of a reference (null: the default file of its role).
const KeySourceInfo* KeySourceOf(const char* ref);

// Whether name is a built-in source's, as records name it.
bool IsKeySourceName(const char* name);

// Puts source before the built-in ones, so that it is asked first; for a
// program that brings a key source of its own. False when no room is left.
bool AddKeySource(const KeySourceInfo* source);
// Forgets the sources AddKeySource added.
void RemoveAddedKeySources();

// The file a role reads when no reference names one: rsa_priv.txt,
// rsa_pub.txt or aes.txt in the working directory.
const char* KeyDefaultFile(KeyRole role);

KeyHandle ResolveKey(const char* ref, KeyRole role, std::int32_t chip = 0);

// The keys of one sealing run, resolved from its references.
struct RunKeys {
  KeyHandle rsaPrivate;
  KeyHandle rsaPublic;  // the named public key, or the private key's own, or rsa_pub.txt
  KeyHandle aesKey;
  KeyHandle sealKey;
  const char* signLater;  // write the RSA input block here instead of signing
  const char* signature;  // a signature of the RSA input block made elsewhere
};

RunKeys ResolveRunKeys(const KeySources& sources, std::int32_t chip);

// The public key the run stores: that of rsa_pub, else of a private key
// that gives its own, else rsa_pub.txt.
KeyHandle ResolvePublicKey(const char* rsaPub, const char* rsaKey, KeyRole role);

// The operations, through the handle's row. An operation the source does
// not offer fails with a message that says so.
bool KeyEncryptCbc(const KeyHandle& key, KeyEcho echo, std::uint8_t* data, std::size_t length);
bool KeyWrap(const KeyHandle& key, KeyEcho echo, const std::uint8_t* wrappingKey, std::uint8_t* wrapped);
bool KeySignRaw(const KeyHandle& key, const KeyHandle& publicKey, const std::uint8_t* block,
                std::uint8_t* signature);
bool KeyPublicKey(const KeyHandle& key, mbedtls_mpi* n, mbedtls_mpi* e, const char** kind);

// A key that never leaves its holder (a token, a helper) is echoed where a
// file key's bytes would be: "AES-Key:" before the operation, and where the
// key is ("in the token") once it is done.
void BeginHeldKeyEcho(KeyEcho echo);
void EndHeldKeyEcho(KeyEcho echo, const char* where);

// Closes what every source opened for the run: once, when the run (single
// or batch) or the program is done with its keys. Nothing else closes them.
void CloseKeys();

// The reference of a handle as messages show it: the default file's name
// for null.
KeyRefText KeyHandleText(const KeyHandle& key);

// Any reference as messages and records show it (every secret masked), and
// as a command line to run again takes it.
KeyRefText KeyRefForDisplay(const char* ref);
bool KeyRefWithoutSecrets(const char* ref, char* out, std::size_t size);

// The facts a batch and a record ask of a reference, through its row.
bool KeyRefIsPath(const char* ref);
bool KeyRefGivesOwnPublicKey(const char* ref);
bool KeyRefHoldsSecret(const char* ref);
bool KeyRefUsable(const char* ref, char* why, std::size_t size);
std::vector<KeyFileUse> KeyRefFilesRead(const char* ref);
bool KeyRefSharedName(const char* ref, std::string* name);
bool KeyRefHolder(const char* ref, KeyHolder* holder);
const char* KeyRefSourceName(const char* ref);

// The rows of the built-in sources.
extern const KeySourceInfo kFileKeySource;
extern const KeySourceInfo kTokenKeySource;
extern const KeySourceInfo kHelperKeySource;

}  // namespace sealtool
