// The key files of the working directory, written as one set: the texts are
// formatted in buffers that are wiped after use, written beside their names
// and moved into place together, so that a failure leaves every old file as
// it was and a link at a key file's name is replaced, never written through.
#pragma once

#include <mbedtls/ctr_drbg.h>
#include <mbedtls/rsa.h>

namespace sealkey {

// True (after saying so on standard error, prefixed by program) when
// something other than a regular file, or a link to one, stands at path: a
// FIFO, a device or a link to one is never replaced by a key file, --force
// or not.
bool RefuseSpecialFile(const char* program, const char* path);

// True (after saying so on standard error) when rsa_priv.txt, rsa_pub.txt
// or, withAes, aes.txt exists and force is off. Anything at a name counts,
// a dangling link too.
bool RefuseExisting(const char* program, bool force, bool withAes);

// rsa_priv.txt and rsa_pub.txt of rsa, and aes.txt with a fresh key from
// aesRandom when it is not null. Without force a name taken in the meantime
// fails the set. Messages go to standard error, prefixed by program.
bool WriteKeyFileSet(const char* program, const mbedtls_rsa_context* rsa,
                     mbedtls_ctr_drbg_context* aesRandom, bool force);

// Makes a sealing key (N's top byte 0xFF) and writes its files; rsa_genkey's
// whole job. False when a file exists or cannot be written, or no key was
// made.
bool GenerateKeyFiles(const char* program, bool force, bool withAes);

}  // namespace sealkey
