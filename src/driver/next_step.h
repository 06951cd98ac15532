// What a run that signs later prints for the signer: the commands that sign
// the block and seal with the signature, ready to paste into a shell.
#pragma once

#include <cstddef>

#include "driver/command_line.h"

namespace sealtool {

// word as one shell word: bare when it holds only characters no shell
// treats specially, else in single quotes with each ' written as '\''.
// False when it does not fit in size bytes.
bool ShellQuote(const char* word, char* out, std::size_t size);

// The signing commands and the sealing command with the same key options as
// this run (pin-value left out of URIs), every word quoted.
void PrintSigningNextStep(const CommandLine& commandLine);

}  // namespace sealtool
