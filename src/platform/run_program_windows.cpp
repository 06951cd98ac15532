#include "platform/run_program.h"

#include <cerrno>
#include <cstring>

namespace sealtool {

// Programs are not run for an answer on Windows yet: a helper key fails
// with the reason below, before anything is written.
ProgramResult RunProgram(const ProgramRun& /*run*/) {
  ProgramResult result{};
  result.error = ENOSYS;
  return result;
}

const char* ProgramErrorText(int error) {
  return error == ENOSYS ? "helper programs are not run on Windows yet" : std::strerror(error);
}

}  // namespace sealtool
