// A release record, staged beside its final name and moved into place
// together with the outputs it describes: both or neither.
#pragma once

#include <string>

#include "platform/staged_file.h"

namespace sealtool {

// Stages text at path (a link to a regular file is followed; a device, a
// pipe or a folder is refused). False after saying why on standard output;
// the caller closes staged->dirFd either way (-1 when none was opened).
bool StageRecordFile(const std::string& path, const std::string& text, StagedFile* staged);

}  // namespace sealtool
