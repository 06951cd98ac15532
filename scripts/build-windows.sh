#!/usr/bin/env bash
# Builds the Windows programs with Debian's mingw-w64 into build-windows/:
# first mbedtls from Debian's own source package (fetched with apt, which
# checks its signature, through a private apt configuration that leaves the
# system's alone), cross-built with its own CMake; then the project with
# cmake/mingw-w64.cmake.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

WIN_DIR="${WIN_DIR:-$PROJECT_ROOT/build-windows}"
MBEDTLS_VERSION="2.28.3-1"  # the version Debian 12's libmbedtls-dev has
MBEDTLS_PREFIX="$WIN_DIR/mbedtls"

install_missing_packages g++-mingw-w64-x86-64 dpkg-dev

# apt with a deb-src entry of its own, in $WIN_DIR/apt.
private_apt() {
  local root="$WIN_DIR/apt"
  mkdir -p "$root/lists/partial" "$root/cache/archives/partial"
  cat > "$root/sources.list" <<SOURCES
deb-src [signed-by=/usr/share/keyrings/debian-archive-keyring.gpg] http://deb.debian.org/debian bookworm main
SOURCES
  apt-get -q -o Dir::Etc::SourceList="$root/sources.list" -o Dir::Etc::SourceParts=/nonexistent \
    -o Dir::State::Lists="$root/lists" -o Dir::Cache="$root/cache" -o APT::Sandbox::User=root "$@"
}

fetch_mbedtls() {
  local source_dir="$WIN_DIR/source"
  if [ -d "$source_dir/mbedtls-2.28.3" ]; then return; fi
  mkdir -p "$source_dir"
  private_apt update
  (cd "$source_dir" && private_apt source "mbedtls=$MBEDTLS_VERSION")
}

build_mbedtls() {
  if [ -f "$MBEDTLS_PREFIX/lib/libmbedcrypto.a" ]; then return; fi
  cmake -S "$WIN_DIR/source/mbedtls-2.28.3" -B "$WIN_DIR/mbedtls-build" \
    -DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/mingw-w64.cmake" -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_INSTALL_PREFIX="$MBEDTLS_PREFIX" -DENABLE_TESTING=OFF -DENABLE_PROGRAMS=OFF \
    -DUSE_STATIC_MBEDTLS_LIBRARY=ON -DUSE_SHARED_MBEDTLS_LIBRARY=OFF -DMBEDTLS_FATAL_WARNINGS=OFF
  cmake --build "$WIN_DIR/mbedtls-build" -j "$(nproc)"
  cmake --install "$WIN_DIR/mbedtls-build"
}

# The JSON header from Debian's package, in a folder of its own: the
# package's CMake target would put the build machine's /usr/include on the
# Windows include path.
json_headers() {
  mkdir -p "$WIN_DIR/include"
  ln -sfn /usr/include/nlohmann "$WIN_DIR/include/nlohmann"
}

build_programs() {
  cmake -S "$PROJECT_ROOT" -B "$WIN_DIR/sealtool" -DCMAKE_TOOLCHAIN_FILE="$PROJECT_ROOT/cmake/mingw-w64.cmake" \
    -DCMAKE_BUILD_TYPE=Release -DSEALTOOL_BUILD_TESTS=OFF -DSEALTOOL_WERROR=ON \
    -DMBEDTLS_INCLUDE_DIR="$MBEDTLS_PREFIX/include" -DMBEDCRYPTO_STATIC_LIBRARY="$MBEDTLS_PREFIX/lib/libmbedcrypto.a" \
    -DP11KIT_INCLUDE_DIR=/usr/include/p11-kit-1 -DSEALTOOL_JSON_INCLUDE_DIR="$WIN_DIR/include"
  cmake --build "$WIN_DIR/sealtool" -j "$(nproc)"
  (cd "$WIN_DIR/sealtool" && cpack -G ZIP)
}

install_missing_packages libp11-kit-dev nlohmann-json3-dev zip
fetch_mbedtls
build_mbedtls
json_headers
build_programs
echo "Windows programs: $WIN_DIR/sealtool/*.exe, zipped in $WIN_DIR/sealtool/sealtool-*-windows-x86_64.zip"
