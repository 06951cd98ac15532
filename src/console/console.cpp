#include "console/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace sealtool {
namespace {

bool gQuiet = false;
std::FILE* gConsole = nullptr;  // standard output unless redirected

std::FILE* Console() { return gConsole != nullptr ? gConsole : stdout; }
StepFailure gFailure{};
bool gFailureOpen = false;  // what is said now is more of the reason

// The line being said and the last one said in full, for the failure's
// heading; blank lines and key bytes never replace it.
char gLine[sizeof StepFailure{}.what];
std::size_t gLineUsed = 0;
char gLastLine[sizeof StepFailure{}.what];

// Adds text to the string in buffer, as much of it as fits.
void Append(char* buffer, std::size_t size, const char* text) {
  std::size_t used = std::strlen(buffer);
  for (const char* c = text; *c != '\0' && used + 1 < size; ++c) buffer[used++] = *c;
  buffer[used] = '\0';
}

bool IsBlank(const char* line) { return line[std::strspn(line, " \r")] == '\0'; }

void FollowLines(const char* text) {
  for (const char* c = text; *c != '\0'; ++c) {
    if (*c != '\n') {
      if (gLineUsed + 1 < sizeof gLine) gLine[gLineUsed++] = *c;
      continue;
    }
    gLine[gLineUsed] = '\0';
    if (!IsBlank(gLine)) std::memcpy(gLastLine, gLine, sizeof gLastLine);
    gLineUsed = 0;
  }
  gLine[gLineUsed] = '\0';
}

// The heading of a failure: the line being said, or else the last one, as
// it reads without its line end.
void TakeHeading(char* what, std::size_t size) {
  std::snprintf(what, size, "%s", IsBlank(gLine) ? gLastLine : gLine);
  what[std::strcspn(what, "\r")] = '\0';
}

// What is said, formatted: room for any message, two paths of the longest
// the system allows among them; a longer one would be cut short.
char gSaid[16384];

// Prints what is said unless quiet, and keeps it: as more of an open
// failure's reason, or as the lines that give the next failure its heading.
void SayFormatted(const char* text) {
  if (!gQuiet) std::fputs(text, Console());
  if (gFailureOpen) {
    Append(gFailure.reason, sizeof gFailure.reason, text);
  } else {
    FollowLines(text);
  }
}

// Each function below formats through one of these two, which take the
// argument list their caller started. clang-tidy 14's analyzer loses sight
// of va_start in every file after the first it reads in one run, and then
// calls the list uninitialized: hence the two NOLINTs.
void SayList(const char* format, std::va_list args) {
  std::vsnprintf(gSaid, sizeof gSaid, format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
  SayFormatted(gSaid);
}

void PrintList(const char* format, std::va_list args) {
  std::vfprintf(Console(), format, args);  // NOLINT(clang-analyzer-valist.Uninitialized)
}

void OpenFailure(const char* what) {
  if (gFailureOpen) return;
  gFailure.failed = true;
  std::snprintf(gFailure.what, sizeof gFailure.what, "%s", what);
  gFailure.reason[0] = '\0';
  gFailureOpen = true;
}

void ResetFailure() {
  gFailure = StepFailure{};
  gFailureOpen = false;
  gLineUsed = 0;
  gLine[0] = '\0';
  gLastLine[0] = '\0';
}

}  // namespace

void Say(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  SayList(format, args);
  va_end(args);
}

void SaySecret(const char* format, ...) {
  if (gQuiet) return;
  std::va_list args;
  va_start(args, format);
  PrintList(format, args);
  va_end(args);
}

void SayWarning(const char* format, ...) {
  std::va_list args;
  va_start(args, format);
  PrintList(format, args);
  va_end(args);
}

void SayFailed(const char* format, ...) {
  char what[sizeof StepFailure{}.what];
  TakeHeading(what, sizeof what);
  if (!gQuiet) std::fputs(" failed\n", Console());
  OpenFailure(what);
  Append(gFailure.reason, sizeof gFailure.reason, " failed\n");
  std::va_list args;
  va_start(args, format);
  SayList(format, args);
  va_end(args);
}

void SayRefused(const char* format, ...) {
  OpenFailure("");
  std::va_list args;
  va_start(args, format);
  SayList(format, args);
  va_end(args);
}

void SayOnStandardError(bool on) {
  std::fflush(Console());
  gConsole = on ? stderr : nullptr;
}

void BeginQuietSteps() {
  std::fflush(stdout);
  ResetFailure();
  gQuiet = true;
}

void EndQuietSteps(StepFailure* failure) {
  gQuiet = false;
  TakeStepFailure(failure);
}

void TakeStepFailure(StepFailure* failure) {
  *failure = gFailure;
  ResetFailure();
}

}  // namespace sealtool
