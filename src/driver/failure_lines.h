// How a batch shows why one image failed: under the image's name, the
// failing step's heading and message, two blanks further in.
#pragma once

#include "console/console.h"

namespace sealtool {

void PrintFailureLines(const StepFailure& failure);

}  // namespace sealtool
