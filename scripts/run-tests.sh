#!/usr/bin/env bash
# Installs what is missing, then checks everything, in this order:
#   1. build with g++, warnings as errors
#   2. clang-tidy and cppcheck
#   3. the whole suite built with clang under AddressSanitizer and
#      UndefinedBehaviorSanitizer
#   4. the end-to-end cases with every program run under valgrind memcheck
#   5. each libFuzzer target for FUZZ_SECONDS (default 60) under ASan+UBSan
#   6. the SHA-256 engines of AArch64, cross-compiled and run under qemu-user
#   7. the Windows programs, cross-built with mingw-w64 and compared with the
#      Linux build's under wine
#   8. the whole suite of the g++ build, whose summary closes the output
# CI runs exactly this. Any failure stops it with a non-zero status.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

FUZZ_SECONDS="${FUZZ_SECONDS:-60}"
SANITIZE_DIR="$BUILD_DIR-sanitize"
FUZZ_DIR="$BUILD_DIR-fuzz"
SANITIZE_FLAGS="-fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"

stage() { echo; echo "=================== $* ==================="; }

# Runs a command into a log; shows its last lines, or all of it on failure.
quiet() {  # log command...
  local log=$1
  shift
  "$@" > "$log" 2>&1 || { cat "$log"; echo "failed: $*" >&2; exit 1; }
  tail -n 6 "$log"
}

install_missing_packages python3 clang libclang-rt-14-dev clang-tidy cppcheck valgrind libbenchmark-dev \
  softhsm2 opensc openssl lintian p11-kit p11-kit-modules util-linux ninja-build opencryptoki

stage "build (g++)"
configure -DSEALTOOL_BUILD_TESTS=ON -DSEALTOOL_WERROR=ON
build

stage "static checks"
# The Windows platform files are checked by the Windows build's compiler.
mapfile -t sources < <(cd "$PROJECT_ROOT" && find src tools fuzz -name '*.cpp' ! -name '*_windows.cpp' \
                         ! -name 'windows_*.cpp' | sort)
(cd "$PROJECT_ROOT" && clang-tidy -p "$BUILD_DIR" --quiet "${sources[@]}")
(cd "$PROJECT_ROOT" && cppcheck --enable=warning,performance,portability --std=c++20 \
  --inline-suppr --quiet --error-exitcode=1 -I src -I tools -I fuzz src tools fuzz)
echo "clang-tidy and cppcheck: clean"

stage "test suite under ASan and UBSan (clang)"
CXX=clang++ cmake -S "$PROJECT_ROOT" -B "$SANITIZE_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEALTOOL_WERROR=ON -DCMAKE_CXX_FLAGS="$SANITIZE_FLAGS"
cmake --build "$SANITIZE_DIR" -j "$(nproc)"
quiet "$SANITIZE_DIR/ctest.log" ctest --test-dir "$SANITIZE_DIR" --output-on-failure -j "$(nproc)"

stage "end-to-end cases under valgrind memcheck"
export SEALTOOL_TEST_WRAPPER="valgrind -q --error-exitcode=99 --suppressions=$PROJECT_ROOT/tests/valgrind.supp --leak-check=full --errors-for-leak-kinds=definite,indirect,possible"
quiet "$BUILD_DIR/valgrind.log" ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)" -L e2e -E LoadTest
unset SEALTOOL_TEST_WRAPPER

stage "fuzzing, ${FUZZ_SECONDS}s per target (clang, libFuzzer, ASan+UBSan)"
CXX=clang++ cmake -S "$PROJECT_ROOT" -B "$FUZZ_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DSEALTOOL_FUZZ=ON -DCMAKE_CXX_FLAGS="-fsanitize=fuzzer-no-link,address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer"
cmake --build "$FUZZ_DIR" -j "$(nproc)" --target fuzzers
mapfile -t fuzz_targets < "$FUZZ_DIR/fuzz/targets.txt"
for target in "${fuzz_targets[@]}"; do
  work="$FUZZ_DIR/corpus-work/$target"
  findings="$FUZZ_DIR/findings/$target"
  mkdir -p "$work" "$findings"
  echo "-- fuzz_$target"
  "$FUZZ_DIR/fuzz/fuzz_$target" -max_total_time="$FUZZ_SECONDS" -timeout=10 \
    -print_final_stats=1 -artifact_prefix="$findings/" \
    "$work" "$PROJECT_ROOT/fuzz/corpus/$target" > "$FUZZ_DIR/fuzz_$target.log" 2>&1 || {
      tail -n 60 "$FUZZ_DIR/fuzz_$target.log"
      echo "fuzz_$target found a failure; its input is in $findings" >&2
      exit 1
    }
  grep -E "DONE |stat::number_of_executed_units" "$FUZZ_DIR/fuzz_$target.log"
done

stage "SHA-256 engines on AArch64 (cross-compiled, qemu-user)"
bash "$PROJECT_ROOT/scripts/run-aarch64-sha256.sh"

stage "Windows programs (mingw-w64) under wine"
install_missing_packages wine64 wine
export WIN_DIR="$BUILD_DIR-windows"
quiet "$BUILD_DIR-windows.log" bash "$PROJECT_ROOT/scripts/build-windows.sh"
bash "$PROJECT_ROOT/tests/windows/wine_checks.sh" "$BUILD_DIR" "$BUILD_DIR-windows/sealtool" "$PROJECT_ROOT/examples/keys"

stage "test suite (g++ build)"
ctest --test-dir "$BUILD_DIR" --output-on-failure -j "$(nproc)"
