// What a helper program answers to rsa-public-key: N and E as rsa_pub.txt
// holds them, "N = HEX" and "E = HEX", one line each, "\n" or "\r\n".
#pragma once

#include <cstddef>

#include <mbedtls/bignum.h>

namespace sealtool {

// Parses length bytes of text into n and e; false with the reason in *why.
// Nothing but the two lines is accepted.
bool ParsePublicKeyReply(const char* text, std::size_t length, mbedtls_mpi* n, mbedtls_mpi* e, const char** why);

}  // namespace sealtool
