// Where each key of a run comes from. Each is a file path (read in that
// key's own format), an RFC 7512 "pkcs11:" URI of a key in a token, or null
// for the key file of the working directory that a run without options
// reads.
#pragma once

namespace sealtool {

struct KeySources {
  const char* rsaKey = nullptr;   // the RSA private key: rsa_priv.txt
  const char* rsaPub = nullptr;   // N and E to store: rsa_pub.txt, or a token key's public key
  const char* aesKey = nullptr;   // the body key or the user key: aes.txt, token form
  const char* sealKey = nullptr;  // the digest seal key: aes.txt, byte-list form
  const char* signLater = nullptr;  // write the RSA input block here instead of signing
  const char* signature = nullptr;  // a signature of the RSA input block made elsewhere
};

}  // namespace sealtool
