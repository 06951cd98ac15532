// Another program run for one answer: its input written to its standard
// input, its standard output kept, its standard error passed through. It
// runs directly (never through a shell), in a process group of its own that
// is ended with it, with no descriptor of this process but its three
// standard ones, within a time limit; a signal that ends this process ends
// it too.
#pragma once

#include <cstddef>
#include <cstdint>

namespace sealtool {

struct ProgramRun {
  const char* const* arguments;    // the program's path first; null-terminated
  // Changes to this process's environment for it: "NAME=VALUE" sets, a bare
  // "NAME" removes; null-terminated.
  const char* const* environment;
  const std::uint8_t* input;
  std::size_t inputSize;
  std::uint8_t* output;            // room for outputCapacity bytes
  std::size_t outputCapacity;
  std::size_t errorLimit;          // standard error bytes passed through; the rest are counted
  unsigned timeoutSeconds;
};

enum class ProgramEnd { kNotStarted, kExited, kSignalled, kTimedOut };

struct ProgramResult {
  ProgramEnd end;
  int status;               // the exit status, or the signal that ended it
  int error;                // errno, when it did not start
  std::size_t outputSize;   // bytes it wrote to standard output, kept or not
  std::size_t inputLeft;    // bytes of its input it did not read
  std::size_t errorLeftOut; // bytes of its standard error not passed through
};

// Runs the program to its end (or to the time limit, when it is killed).
ProgramResult RunProgram(const ProgramRun& run);

// The text of a result's error, for messages.
const char* ProgramErrorText(int error);

}  // namespace sealtool
