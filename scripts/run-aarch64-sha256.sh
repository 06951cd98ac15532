#!/usr/bin/env bash
# Builds the SHA-256 self-test for AArch64 with Debian's cross compiler and
# runs it under qemu-user: with a CPU model that has the ARMv8 SHA-2
# instructions (the accelerated engine must be the one in use, and agree with
# the FIPS 180-4 examples and the portable rounds), and with the portable
# rounds forced. Every AArch64 CPU model of qemu 7.2 has the instructions, so
# a CPU without them is not emulated; forcing the portable rounds runs the
# same fallback.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages g++-aarch64-linux-gnu qemu-user

OUT="$BUILD_DIR-aarch64"
FLAGS=(-std=c++20 -O2 -Wall -Wextra -Wpedantic -Werror -I "$PROJECT_ROOT/src")
mkdir -p "$OUT"
# The ARMv8 engine gets the crypto extension for its file only, as the
# CMake build gives it.
aarch64-linux-gnu-g++ "${FLAGS[@]}" -march=armv8-a+crypto \
  -c "$PROJECT_ROOT/src/digest/sha256_armv8.cpp" -o "$OUT/sha256_armv8.o"
aarch64-linux-gnu-g++ "${FLAGS[@]}" -static -o "$OUT/sha256_selftest" \
  "$PROJECT_ROOT/src/digest/sha256.cpp" "$PROJECT_ROOT/src/digest/sha256_x86.cpp" \
  "$PROJECT_ROOT/src/platform/cpu_features_linux.cpp" \
  "$PROJECT_ROOT/tests/digest/sha256_selftest.cpp" "$OUT/sha256_armv8.o"

run() {  # label expected-engine command...
  local label=$1 expected=$2
  shift 2
  echo "-- $label: $*"
  local log="$OUT/$label.log"
  "$@" "$OUT/sha256_selftest" | tee "$log"
  grep -q "engine in use: $expected" "$log" || { echo "expected the engine '$expected'" >&2; exit 1; }
  grep -q "all digests agree" "$log"
}

run cpu-max "ARMv8 SHA-2 instructions" qemu-aarch64 -cpu max
run cpu-max-portable "portable" env SEALTOOL_SHA256=portable qemu-aarch64 -cpu max
run cortex-a53 "ARMv8 SHA-2 instructions" qemu-aarch64 -cpu cortex-a53
echo "aarch64: the SHA-256 engines agree"
