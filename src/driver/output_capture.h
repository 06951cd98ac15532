// While one image of a batch is sealed, the steps' progress text goes to a
// memory file instead of the console: the batch prints one line an image,
// and the steps' own text only where an image fails.
#pragma once

#include <string>

namespace sealtool {

// Standard output goes to a fresh memory file until EndCapture. False when
// no such file can be made; standard output is then left as it is.
bool BeginCapture();

// What was written since BeginCapture; standard output is the console again.
std::string EndCapture();

// The part of a run's text that tells why it failed: from the line before
// the first " failed" line to the end, or the last lines when there is no
// such line.
std::string FailureReason(const std::string& text);

// The lines of text that warn ("  ! warning: ..."), which a batch shows even
// for an image that seals.
std::string WarningLines(const std::string& text);

}  // namespace sealtool
