# Shared by the project's scripts: installs what the build needs on a Debian
# 12 machine and configures and builds the project.
set -euo pipefail

PROJECT_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$PROJECT_ROOT/build}"
REQUIRED_PACKAGES=(cmake make g++ libmbedtls-dev libgtest-dev nlohmann-json3-dev libp11-kit-dev)

install_missing_packages() {
  local missing=()
  for package in "${REQUIRED_PACKAGES[@]}" "$@"; do
    if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      missing+=("$package")
    fi
  done
  if [ "${#missing[@]}" -gt 0 ]; then
    echo "== Installing: ${missing[*]}"
    if [ "$(id -u)" -ne 0 ]; then
      echo "Packages are missing and this is not root: install ${missing[*]}" >&2
      exit 1
    fi
    DEBIAN_FRONTEND=noninteractive apt-get update -q
    DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}"
  fi
}

configure() {
  cmake -S "$PROJECT_ROOT" -B "$BUILD_DIR" -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@"
}

build() {  # [target...]
  local targets=()
  for target in "$@"; do targets+=(--target "$target"); done
  cmake --build "$BUILD_DIR" -j "$(nproc)" "${targets[@]}"
}
