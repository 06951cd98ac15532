#include "platform/cpu_features.h"

#include <windows.h>

namespace sealtool {

bool CpuHasArmSha2() {
#if defined(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE)
  return IsProcessorFeaturePresent(PF_ARM_V8_CRYPTO_INSTRUCTIONS_AVAILABLE) != 0;
#else
  return false;
#endif
}

}  // namespace sealtool
