#include "driver/failure_lines.h"

#include <cstdio>
#include <cstring>

namespace sealtool {
namespace {

// One line of the message, without its line end; blank ones are left out.
void PrintIndented(const char* line, std::size_t length) {
  while (length > 0 && (line[length - 1] == '\r' || line[length - 1] == ' ')) --length;
  if (length > 0) std::printf("  %.*s\n", static_cast<int>(length), line);
}

}  // namespace

void PrintFailureLines(const StepFailure& failure) {
  if (!failure.failed) return;
  PrintIndented(failure.what, std::strlen(failure.what));
  for (const char* line = failure.reason; *line != '\0';) {
    const std::size_t length = std::strcspn(line, "\n");
    PrintIndented(line, length);
    line += length + (line[length] == '\n' ? 1 : 0);
  }
}

}  // namespace sealtool
