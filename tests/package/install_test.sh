#!/usr/bin/env bash
# Installs the programs, man pages and copyright file with cmake --install and
# from the Debian package that cpack builds, into temporary roots, and runs
# them from there: make keys, seal an example image in RSA mode, verify it.
set -euo pipefail
BUILD_DIR=$1
MAKE_EXAMPLE=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT

round_trip() {  # bindir label
  local bin=$1 dir="$WORK/run-$2"
  mkdir -p "$dir"
  cd "$dir"
  "$bin/rsa_genkey" --aes > /dev/null
  # A fresh key refuses about one image in 256 or fewer (a header digest
  # ending in 0xff above N): take the next example image then.
  local seed=1
  until "$MAKE_EXAMPLE" firmware.bin 742 24576 "$seed" &&
        "$bin/sealtool" firmware.bin sealed.bin 742 2 > sealtool.log; do
    grep "its last byte 0xff" sealtool.log > /dev/null
    seed=$((seed + 1))
  done
  "$bin/sealinfo" --chip 742 sealed.bin > sealinfo.log
  grep -q '^result: ok$' sealinfo.log
  "$bin/sealinfo" --version > version.txt
  grep '^sealinfo ' version.txt > /dev/null
  "$bin/sealkey" id sealed.bin > id.txt
  "$bin/sealinfo" --chip 742 --expect-key rsa_pub.txt sealed.bin > pinned.log
  cd - > /dev/null
  echo "$2: keys made, image sealed and verified"
}

PROGRAMS="sealtool sealinfo sealkey rsa_genkey make_example_image"
for program in $PROGRAMS; do
  [ -x "$BUILD_DIR/$program" ] || { echo "not built: $program"; exit 1; }
done

cmake --install "$BUILD_DIR" --prefix "$WORK/prefix" > /dev/null
for program in $PROGRAMS; do
  test -x "$WORK/prefix/bin/$program"
  gzip -t "$WORK/prefix/share/man/man1/$program.1.gz"
done
test -f "$WORK/prefix/share/doc/sealtool/copyright"
round_trip "$WORK/prefix/bin" "cmake-install"

cpack -G DEB --config "$BUILD_DIR/CPackConfig.cmake" -B "$WORK/package" > /dev/null
deb=$(ls "$WORK"/package/*.deb)
dpkg-deb --info "$deb" > "$WORK/info.txt"
grep 'Package: sealtool' "$WORK/info.txt" > /dev/null
# Debian's own package checker, where it is installed (the test command
# installs it): no error and no warning.
if command -v lintian > /dev/null; then
  lintian --fail-on error,warning --tag-display-limit 0 "$deb" > "$WORK/lintian.txt" 2>&1 || {
    cat "$WORK/lintian.txt"
    echo "lintian finds faults in $deb"
    exit 1
  }
fi
# The CMake package, where find_package(sealtool CONFIG) looks under /usr.
dpkg-deb -c "$deb" > "$WORK/contents.txt"
for file in sealtoolConfig.cmake sealtoolConfigVersion.cmake sealtoolTargets.cmake sealtoolSealImage.cmake; do
  grep -q "/usr/lib/cmake/sealtool/$file\$" "$WORK/contents.txt" || { echo "the package lacks $file"; exit 1; }
done
dpkg-deb -x "$deb" "$WORK/root"
grep -E '^ ?Depends: .*libp11-kit0' "$WORK/info.txt" > /dev/null
for program in $PROGRAMS; do
  gzip -t "$WORK/root/usr/share/man/man1/$program.1.gz"
done
test -f "$WORK/root/usr/share/doc/sealtool/copyright"
round_trip "$WORK/root/usr/bin" "debian-package"
