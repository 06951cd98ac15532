#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and
# runs the whole test suite. CI runs exactly this.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages python3
configure -DSEALTOOL_BUILD_TESTS=ON -DSEALTOOL_WERROR=ON
build
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)"
