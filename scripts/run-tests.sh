#!/usr/bin/env bash
# Installs what is missing, builds everything with warnings as errors, and
# runs the whole test suite. CI runs exactly this.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages
configure_and_build -DSEALTOOL_WERROR=ON
cd "$BUILD_DIR"
ctest --output-on-failure -j "$(nproc)"
