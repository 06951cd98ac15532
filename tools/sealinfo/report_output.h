// The report of sealinfo as text for people or as JSON for build pipelines.
#pragma once

#include <cstdint>

#include "inspect.h"

namespace sealtool::inspect {

void PrintTextReport(const char* path, const std::uint8_t* image, const Report& report);
void PrintJsonReport(const char* path, const std::uint8_t* image, const Report& report);

}  // namespace sealtool::inspect
