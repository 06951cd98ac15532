// "helper:PROGRAM" and "helper:PROGRAM?key=NAME": a key whose operations a
// program of the user's own performs, one run of it per operation. NAME is
// percent-encoded as RFC 7512 query values are.
#pragma once

#include <cstddef>

#include "platform/file_facts.h"

namespace sealtool {

inline constexpr char kHelperScheme[] = "helper:";
inline constexpr std::size_t kHelperKeyNameSize = 256;

struct HelperRef {
  char program[kMaxPathSize];
  char keyName[kHelperKeyNameSize];  // decoded; "" when the reference names none
};

bool IsHelperRef(const char* ref);

// Parses ref; false with the reason in *why. PROGRAM must hold a "/": it is
// never looked up in PATH.
bool ParseHelperRef(const char* ref, HelperRef* parsed, const char** why);

}  // namespace sealtool
