// Where the steps' text goes. A single run prints it as it goes. A batch
// quiets it while it seals an image: then only warnings reach the console,
// and what a failing step says is kept as the image's failure, which the
// batch shows beside the image's name. Key bytes are said with SaySecret,
// which is printed only, never kept.
#pragma once

#include <cstddef>

// The compiler checks each message against its arguments, with the C99
// rules of the printf the programs use (on Windows, mingw-w64's own).
#if defined(__MINGW32__)
#define SEALTOOL_PRINTF_LIKE __attribute__((format(gnu_printf, 1, 2)))
#else
#define SEALTOOL_PRINTF_LIKE __attribute__((format(printf, 1, 2)))
#endif

namespace sealtool {

// Progress text, printed as printf prints it.
void Say(const char* format, ...) SEALTOOL_PRINTF_LIKE;

// A key's bytes as a run echoes them: printed unless quiet, never kept.
void SaySecret(const char* format, ...) SEALTOOL_PRINTF_LIKE;

// A warning ("  ! warning: ..."): printed even while quiet.
void SayWarning(const char* format, ...) SEALTOOL_PRINTF_LIKE;

// A step that fails: prints " failed\n" and then the reason. What is said
// after it, until the failure is taken, is more of the reason.
void SayFailed(const char* format, ...) SEALTOOL_PRINTF_LIKE;

// A step that refuses the image in words of its own, without " failed".
void SayRefused(const char* format, ...) SEALTOOL_PRINTF_LIKE;

// Sends all step text to standard error instead of standard output (for a
// program whose report owns standard output), or back.
void SayOnStandardError(bool on);

// What failed and why: the last line a step said before it failed (the
// "AES-Key:" heading, say; "" when none), and the lines of its message as
// the single run prints them, " failed" first where the step said so.
struct StepFailure {
  bool failed;
  char what[256];
  char reason[2048];
};

// From now on step text is kept back (warnings excepted), and the failure
// value starts empty.
void BeginQuietSteps();

// Ends the quiet and hands over the failure the steps said, if any.
void EndQuietSteps(StepFailure* failure);

// The failure said since the last BeginQuietSteps or TakeStepFailure, in a
// run that is not quiet too; clears it.
void TakeStepFailure(StepFailure* failure);

}  // namespace sealtool
