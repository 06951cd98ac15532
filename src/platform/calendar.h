// The calendar time of a moment in UTC, from the C library of each system.
#pragma once

#include <ctime>

namespace sealtool {

inline bool UtcCalendarTime(std::time_t time, std::tm* utc) {
#if defined(_WIN32)
  return gmtime_s(utc, &time) == 0;
#else
  return gmtime_r(&time, utc) != nullptr;
#endif
}

}  // namespace sealtool
