// What the processor offers beyond its base instruction set, as the
// operating system reports it.
#pragma once

namespace sealtool {

// The ARMv8 SHA-2 instructions (an AArch64 build only).
bool CpuHasArmSha2();

}  // namespace sealtool
