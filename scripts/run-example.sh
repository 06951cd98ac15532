#!/usr/bin/env bash
# Installs what is missing, builds sealtool, makes the synthetic example
# images and seals them in each of the four modes with the example keys,
# showing what every run printed and what it wrote; then signs one in two
# steps, as an offline signing station would.
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"

install_missing_packages openssl
configure
# every program the README uses, so that its blocks and cmake --install work
build sealtool sealinfo sealkey rsa_genkey make_example_image manpages changelog

KEYS="$PROJECT_ROOT/examples/keys"
WORK="$BUILD_DIR/example-run"
rm -rf "$WORK"
mkdir -p "$WORK"

show_bytes() {  # file offset count label
  printf '   %-26s' "$4"
  od -An -v -tx1 -j "$2" -N "$3" "$1" | tr -s ' \n' ' '
  echo
}

verify() {  # name chip mode
  local dir="$WORK/$1"
  echo "-- sealinfo --chip $2 --mode $3 sealed.bin:"
  (cd "$dir" && "$BUILD_DIR/sealinfo" --chip "$2" --mode "$3" sealed.bin | grep -E '^  [a-z]|^warning|^result' | sed 's/^/   /') || true
}

run_mode() {  # name chip secure_boot aes_key_file(or -) rsa(yes/no)
  local name=$1 chip=$2 secure=$3 aes=$4 rsa=$5
  local dir="$WORK/$name"
  mkdir -p "$dir"
  "$BUILD_DIR/make_example_image" "$dir/firmware.bin" "$chip"
  [ "$aes" != "-" ] && cp "$KEYS/$aes" "$dir/aes.txt"
  [ "$rsa" = yes ] && cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" "$dir/"
  echo
  echo "================================================================"
  echo "== $name: sealtool firmware.bin sealed.bin $chip $secure   (in $dir)"
  echo "================================================================"
  local status=0
  (cd "$dir" && "$BUILD_DIR/sealtool" firmware.bin sealed.bin "$chip" "$secure") || status=$?
  echo "-- exit status $status"
  if [ -f "$dir/sealed.bin" ]; then
    echo "-- wrote sealed.bin, $(stat -c %s "$dir/sealed.bin") bytes; header fields it holds:"
  else
    echo "-- no sealed.bin was written"
  fi
  return 0
}

run_mode plain 753 0 - no
show_bytes "$WORK/plain/sealed.bin" 48 4 "marker, checksum @48:"
show_bytes "$WORK/plain/sealed.bin" 56 2 "DRAM count field @56:"
verify plain 753 plain

run_mode key-record 753 3 aes-token.txt no
show_bytes "$WORK/key-record/sealed.bin" 48 4 "marker, checksum @48:"
show_bytes "$WORK/key-record/sealed.bin" 128 16 "wrapped key @128:"
verify key-record 753 key-record

run_mode aes-seal 775 1 aes-token.txt no
show_bytes "$WORK/aes-seal/sealed.bin" 448 32 "digest seal @448:"
show_bytes "$WORK/aes-seal/sealed.bin" 480 32 "image digest @480:"
show_bytes "$WORK/aes-seal/sealed.bin" 512 16 "encrypted body @512:"
verify aes-seal 775 aes-seal

run_mode rsa 742 2 aes-token.txt yes
show_bytes "$WORK/rsa/sealed.bin" 192 16 "modulus (first 16) @192:"
show_bytes "$WORK/rsa/sealed.bin" 320 4 "exponent @320:"
show_bytes "$WORK/rsa/sealed.bin" 352 16 "signature (first 16) @352:"
show_bytes "$WORK/rsa/sealed.bin" 480 32 "image digest @480:"
verify rsa 742 rsa

echo
echo "A refused run, for comparison: in the AES-seal mode the body key is read"
echo "in the token form, so an aes.txt in the byte-list form stops the run."
run_mode refused-byte-list 753 1 aes-bytes.txt no

echo
echo "================================================================"
echo "== offline signing: --sign-later writes the RSA input block, openssl signs"
echo "== it with a PEM of the same key, --signature seals: the image is the one"
echo "== the RSA run above wrote"
echo "================================================================"
dir="$WORK/offline"
mkdir -p "$dir"
cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" "$dir/"
cp "$KEYS/aes-token.txt" "$dir/aes.txt"
(
  cd "$dir"
  "$BUILD_DIR/make_example_image" firmware.bin 742
  "$BUILD_DIR/sealtool" --sign-later block.bin firmware.bin sealed.bin 742 2 | tail -n 12
  "$BUILD_DIR/sealkey" export --private --out key.pem
  openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey key.pem -in block.bin -out sig.bin
  "$BUILD_DIR/sealtool" --signature sig.bin firmware.bin sealed.bin 742 2 | tail -n 2
  cmp sealed.bin "$WORK/rsa/sealed.bin" && echo "-- the two-step image equals the one-step image"
  "$BUILD_DIR/sealinfo" --chip 742 --expect-key rsa_pub.txt sealed.bin | grep -E '^key id|expected key|^result'
)

echo
echo "================================================================"
echo "== sealing from CMake: the example firmware project against the installed package"
echo "================================================================"
# Installed into a folder of the build, not the system.
cmake --install "$BUILD_DIR" --prefix "$BUILD_DIR/install" > /dev/null
cmake -S "$PROJECT_ROOT/examples/cmake-firmware" -B "$BUILD_DIR/cmake-firmware" \
  -DCMAKE_PREFIX_PATH="$BUILD_DIR/install" > /dev/null
cmake --build "$BUILD_DIR/cmake-firmware" | grep -E 'Sealing|Built target firmware'
ls -l "$BUILD_DIR/cmake-firmware"/firmware-*.sealed.bin
