#include "platform/cpu_features.h"

#include <sys/auxv.h>

namespace sealtool {

#if defined(__aarch64__)
bool CpuHasArmSha2() { return (getauxval(AT_HWCAP) & HWCAP_SHA2) != 0; }
#else
bool CpuHasArmSha2() { return false; }
#endif

}  // namespace sealtool
