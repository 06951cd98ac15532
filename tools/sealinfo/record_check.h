// sealinfo --record: a release checked against its record. Each recorded
// output (or those named) must have the recorded SHA-256 and key ids, and
// pass sealinfo's own checks with the recorded mode and chip.
#pragma once

#include "inspect.h"

namespace sealtool::inspect {

// Checks the images of the record at recordPath that names (count of them:
// an image's name or its output's path) picks, all of them when count is
// 0. keyDir is where the checks find aes.txt and rsa_pub.txt. Returns the
// exit status: 0 every image matches and passes; 1 one does not; 2 the
// record or an image cannot be read, or a name is not in the record; 3 no
// image fails but one could not be fully verified.
int CheckAgainstRecord(const char* recordPath, char* const* names, int count, const char* keyDir,
                       bool assumeZero);

}  // namespace sealtool::inspect
