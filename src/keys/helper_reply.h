// What a helper program answers to rsa-public-key: N and E as rsa_pub.txt
// holds them, "N = HEX" and "E = HEX", one line each, "\n" or "\r\n".
#pragma once

#include <cstddef>

#include <mbedtls/bignum.h>

#include "platform/run_program.h"

namespace sealtool {

// A run of a helper, judged: an answer counts only from a program that
// exited 0, read its whole input and gave exactly the expected number of
// bytes (with expected 0: at least one and fewer than room).
enum class HelperAnswer { kWhole, kNoAnswer, kWrongLength, kInputLeft };
HelperAnswer JudgeHelperAnswer(const ProgramResult& result, std::size_t expected, std::size_t room);

// Parses length bytes of text into n and e; false with the reason in *why.
// Nothing but the two lines is accepted.
bool ParsePublicKeyReply(const char* text, std::size_t length, mbedtls_mpi* n, mbedtls_mpi* e, const char** why);

}  // namespace sealtool
