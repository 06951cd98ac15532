// Writing a release record beside the outputs it describes.
#pragma once

#include <string>

namespace sealtool {

// Writes text to path atomically (a temporary file beside it, moved into
// place). False after saying why on standard output.
bool WriteRecordFile(const std::string& path, const std::string& text);

}  // namespace sealtool
