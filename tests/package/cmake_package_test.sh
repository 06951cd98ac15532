#!/usr/bin/env bash
# sealtool's CMake package from an installation in a temporary prefix and
# from the build tree: the example firmware project builds with Ninja and
# with Unix Makefiles, its images equal direct sealtool runs, a second build
# does nothing, a changed key, input or argument seals again, a pin-value is
# refused when the project is configured, a pin-source leaves no PIN in the
# build files, and a wrong expected key fails the build and leaves no image.
# Usage: cmake_package_test.sh SOURCE_DIR BUILD_DIR
set -euo pipefail
SOURCE_DIR=$1
BUILD_DIR=$2
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
for tool in ninja make; do
  command -v "$tool" > /dev/null || { echo "skipped: the package test needs $tool"; exit 77; }
done

fail() { echo "FAILED: $*" >&2; exit 1; }

PREFIX="$WORK/prefix"
cmake --install "$BUILD_DIR" --prefix "$PREFIX" > /dev/null
test -f "$PREFIX/lib/cmake/sealtool/sealtoolConfig.cmake" || fail "no package config installed"
test -f "$PREFIX/lib/cmake/sealtool/sealtoolConfigVersion.cmake" || fail "no version file installed"
BIN="$PREFIX/bin"
cp -r "$SOURCE_DIR/examples/keys" "$WORK/keys"

configure() {  # folder generator [cmake arguments...]
  local folder=$1 generator=$2
  shift 2
  cmake -S "$SOURCE_DIR/examples/cmake-firmware" -B "$folder" -G "$generator" \
    -DCMAKE_PREFIX_PATH="$PREFIX" -DKEYS="$WORK/keys" "$@" > "$folder.configure.log" 2>&1 ||
    { cat "$folder.configure.log"; fail "configure $folder"; }
}

build() {  # folder
  cmake --build "$1" > "$1.build.log" 2>&1 || { cat "$1.build.log"; fail "build $1"; }
}

# The images a direct run of the installed sealtool writes.
expect_direct_images() {  # folder
  local folder=$1 k="$WORK/keys"
  "$BIN/sealtool" --rsa-key "$k/rsa_priv.txt" --rsa-pub "$k/rsa_pub.txt" --aes-key "$k/aes-token.txt" \
    "$folder/firmware-742.bin" "$folder/direct-rsa.bin" 742 2 > /dev/null
  "$BIN/sealtool" --aes-key "$k/aes-token.txt" --seal-key "$k/aes-bytes.txt" \
    "$folder/firmware-775.bin" "$folder/direct-aes.bin" 775 1 > /dev/null
  cmp "$folder/direct-rsa.bin" "$folder/firmware-rsa.sealed.bin" || fail "$folder: RSA image differs"
  cmp "$folder/direct-aes.bin" "$folder/firmware-aes-seal.sealed.bin" || fail "$folder: AES-seal image differs"
}

stamps() { stat -c '%n %Y.%y' "$1"/firmware-*.sealed.bin; }

for generator in Ninja "Unix Makefiles"; do
  folder="$WORK/example-${generator// /-}"
  configure "$folder" "$generator"
  build "$folder"
  expect_direct_images "$folder"
  before=$(stamps "$folder")
  sleep 1
  build "$folder"
  [ "$(stamps "$folder")" = "$before" ] || fail "$generator: a second build sealed again"
  echo "$generator: the example builds, its images are sealtool's, a second build does nothing"
done

# What seals again, and only that (Ninja tells what it would run).
folder="$WORK/example-Ninja"
would_run() { ninja -C "$folder" -n | grep -o 'Sealing [^ ]*' | sort | tr '\n' ' '; }
[ -z "$(would_run)" ] || fail "work left after a build: $(would_run)"
touch "$WORK/keys/aes-bytes.txt"
[ "$(would_run)" = "Sealing firmware-aes-seal.sealed.bin " ] || fail "a touched seal key: $(would_run)"
build "$folder"
touch "$folder/firmware-742.bin"
[ "$(would_run)" = "Sealing firmware-rsa.sealed.bin " ] || fail "a touched input: $(would_run)"
build "$folder"
touch "$BIN/sealtool"
[ "$(would_run)" = "Sealing firmware-aes-seal.sealed.bin Sealing firmware-rsa.sealed.bin " ] ||
  fail "a new sealtool: $(would_run)"
build "$folder"
echo "a key, an input or the tool that changes seals again, and only what uses it"

# A project of the test's own for arguments, PINs and a wrong key.
project="$WORK/project"
mkdir -p "$project"
cat > "$project/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.20)
project(sealing_test NONE)
find_package(sealtool 1.0 CONFIG REQUIRED)
set(CHIP 775 CACHE STRING "")
set(AES_KEY "${KEYS}/aes-token.txt" CACHE STRING "")
set(EXPECT "" CACHE STRING "")
set(ODD OFF CACHE BOOL "")
set(GENEX OFF CACHE BOOL "")
set(HELPER OFF CACHE BOOL "")
set(KEYRING "" CACHE STRING "")
add_custom_command(OUTPUT plain.bin COMMAND sealtool::make_example_image plain.bin ${CHIP} VERBATIM)
if(ODD)
  # Paths with ';' in a folder name and '"' in the output's name.
  set(odd "${KEYS}/../odd;dir")
  sealtool_seal_image(odd ALL VERIFY INPUT "${odd}/in.bin" OUTPUT "odd\"out.bin" CHIP 775 SECURE_BOOT 1
    AES_KEY "${odd}/aes;key.txt" SEAL_KEY "${KEYS}/aes-bytes.txt" RECORD odd.record.json)
elseif(GENEX)
  sealtool_seal_image(genex ALL INPUT plain.bin OUTPUT genex.bin CHIP 775 SECURE_BOOT 1
    AES_KEY "$<IF:1,pkcs11:token=t;object=aes?pin-val$<1:ue>=1234,x>" SEAL_KEY "${KEYS}/aes-bytes.txt")
elseif(HELPER)
  # The helper is named from this folder.
  sealtool_seal_image(helped ALL INPUT "${CMAKE_CURRENT_BINARY_DIR}/plain.bin" OUTPUT helped.bin CHIP 775
    SECURE_BOOT 1 AES_KEY "helper:helper.sh?key=aes" SEAL_KEY "${KEYS}/aes-bytes.txt")
elseif(KEYRING)
  sealtool_seal_image(ringed ALL VERIFY KEYRING "${KEYRING}" INPUT "${CMAKE_CURRENT_BINARY_DIR}/plain.bin"
    OUTPUT ringed.bin CHIP 775 SECURE_BOOT 1 AES_KEY "${KEYS}/aes-token.txt" SEAL_KEY "${KEYS}/aes-bytes.txt"
    RECORD ringed.record.json)
elseif(EXPECT)
  add_custom_command(OUTPUT rsa.bin COMMAND sealtool::make_example_image rsa.bin 742 VERBATIM)
  sealtool_seal_image(rsa ALL EXPECT_KEY ${EXPECT} INPUT "${CMAKE_CURRENT_BINARY_DIR}/rsa.bin" OUTPUT rsa.sealed.bin
    CHIP 742 SECURE_BOOT 2 RSA_KEY "${KEYS}/rsa_priv.txt" RSA_PUB "${KEYS}/rsa_pub.txt" AES_KEY "${KEYS}/aes-token.txt")
else()
  sealtool_seal_image(image ALL INPUT "${CMAKE_CURRENT_BINARY_DIR}/plain.bin" OUTPUT image.sealed.bin
    CHIP ${CHIP} SECURE_BOOT 1 AES_KEY "${AES_KEY}" SEAL_KEY "${KEYS}/aes-bytes.txt")
endif()
CMAKE
own() {  # folder [cmake arguments...]
  local folder=$1
  shift
  cmake -S "$project" -B "$folder" -G Ninja -DCMAKE_PREFIX_PATH="$PREFIX" -DKEYS="$WORK/keys" "$@"
}
own "$WORK/own" > /dev/null
build "$WORK/own"
own "$WORK/own" -DCHIP=753 > /dev/null
[ "$(ninja -C "$WORK/own" -n | grep -c 'Sealing image.sealed.bin')" = 1 ] || fail "a changed CHIP does not seal again"
build "$WORK/own"
[ -z "$(ninja -C "$WORK/own" -n | grep Sealing || true)" ] || fail "work left after the CHIP changed"
echo "a changed argument seals again"

if own "$WORK/pin-value" -DAES_KEY="pkcs11:token=t;object=aes?pin-value=secret-1234" > "$WORK/pin-value.log" 2>&1; then
  fail "a pin-value was accepted"
fi
grep -q "holds a pin-value" "$WORK/pin-value.log" || { cat "$WORK/pin-value.log"; fail "no reason for the refusal"; }
grep -q "pin-source=file:PATH" "$WORK/pin-value.log" || fail "the refusal does not say what to do"
printf 'pin-in-a-file-5678\n' > "$WORK/pin.txt"
own "$WORK/pin-source" -DAES_KEY="pkcs11:token=t;object=aes?pin-source=file:$WORK/pin.txt" > /dev/null
! grep -rq "pin-in-a-file-5678" "$WORK/pin-source" || fail "the PIN reached the build files"
grep -q 'pkcs11:token=t;object=aes?pin-source=file:' "$WORK/pin-source/build.ninja" ||
  fail "the URI's ';' did not survive as one word"
echo "a pin-value is refused at configure time; a pin-source leaves no PIN in the build files"

own "$WORK/wrong-key" -DEXPECT="$(printf '0%.0s' $(seq 64))" > /dev/null
if cmake --build "$WORK/wrong-key" > "$WORK/wrong-key.log" 2>&1; then fail "a wrong expected key built"; fi
grep -q "sealinfo refused" "$WORK/wrong-key.log" || { cat "$WORK/wrong-key.log"; fail "no verifier's message"; }
grep -q "expected key" "$WORK/wrong-key.log" || fail "the verifier's reason is not shown"
[ ! -e "$WORK/wrong-key/rsa.sealed.bin" ] && [ ! -e "$WORK/wrong-key/rsa.sealed.bin.unverified" ] ||
  fail "a refused image was left behind"
echo "a wrong expected key fails the build and leaves no image"

# Paths with ';' and '"' are single words; the record names the final
# output; the build log shows one line an image and never a key byte.
odd="$WORK/odd;dir"
mkdir -p "$odd"
"$BIN/make_example_image" "$odd/in.bin" 775 > /dev/null
cp "$WORK/keys/aes-token.txt" "$odd/aes;key.txt"
own "$WORK/odd" -DODD=ON > /dev/null
build "$WORK/odd"
"$BIN/sealtool" --aes-key "$odd/aes;key.txt" --seal-key "$WORK/keys/aes-bytes.txt" "$odd/in.bin" \
  "$WORK/odd-direct.bin" 775 1 > /dev/null
cmp "$WORK/odd-direct.bin" "$WORK/odd/odd\"out.bin" || fail "the image of odd paths differs from a direct run"
python3 - "$WORK/odd/odd.record.json" <<'PY' || fail "the record does not name the final output"
import json, sys
image = json.load(open(sys.argv[1]))["images"][0]
assert image["output"]["path"] == 'odd"out.bin', image["output"]
assert image["name"] == 'odd"out.bin', image["name"]
PY
key_hex=$(grep -o '[0-9a-fA-F]\{32\}' "$WORK/keys/aes-token.txt" | head -1 | sed 's/../& /g; s/ $//' | tr 'A-F' 'a-f')
[ -n "$key_hex" ] || fail "no key in the example key file"
for log in "$WORK/odd.build.log" "$WORK/example-Ninja.build.log"; do
  ! grep -qi "AES-Key\|$key_hex" "$log" || { cat "$log"; fail "the build log of $log shows the AES key"; }
done
grep -q "odd\"out.bin: aes-seal, chip 775, sha256 $(sha256sum "$WORK/odd-direct.bin" | cut -c1-64)" \
  "$WORK/odd.build.log" || { cat "$WORK/odd.build.log"; fail "no line for the image"; }
if own "$WORK/genex" -DGENEX=ON > "$WORK/genex.log" 2>&1; then fail "a generator expression in a key was accepted"; fi
grep -q "holds a generator expression" "$WORK/genex.log" || { cat "$WORK/genex.log"; fail "no reason for the refusal"; }
echo "paths with ';' and '\"' work, the record names the final output, no key reaches the build log"

# A key behind a helper program: named from the source folder, depended on.
mkdir -p "$WORK/helper-keys"
sed -n 2p "$WORK/keys/aes-token.txt" > "$WORK/helper-keys/aes.aes"
cat > "$project/helper.sh" <<HELPER
#!/bin/sh
OPENSSL_HELPER_KEYS="$WORK/helper-keys" exec "$SOURCE_DIR/examples/helpers/openssl-helper" "\$@"
HELPER
chmod +x "$project/helper.sh"
own "$WORK/helper" -DHELPER=ON > /dev/null
build "$WORK/helper"
"$BIN/sealtool" --seal-key "$WORK/keys/aes-bytes.txt" --aes-key "$WORK/keys/aes-token.txt" \
  "$WORK/helper/plain.bin" "$WORK/helper-direct.bin" 775 1 > /dev/null
cmp "$WORK/helper-direct.bin" "$WORK/helper/helped.bin" || fail "the helper's image differs from the key file's"
touch "$project/helper.sh"
[ "$(ninja -C "$WORK/helper" -n | grep -c 'Sealing helped.bin')" = 1 ] || fail "a changed helper does not seal again"
echo "a helper key seals as the key file does, and a changed helper seals again"

# KEYRING: the keys held against it when sealing and named when verifying;
# the record carries the names; a key revoked since seals again, and fails.
"$BIN/sealkey" keyring "$project/ring.json" --add "$WORK/keys/aes-token.txt" --name body --use development > /dev/null
"$BIN/sealkey" keyring "$project/ring.json" --add "$WORK/keys/aes-bytes.txt" --name seal --use development > /dev/null
own "$WORK/ringed" -DKEYRING=ring.json > /dev/null
build "$WORK/ringed"
python3 - "$WORK/ringed/ringed.record.json" <<'PY' || fail "the record does not carry the keyring's names"
import json, sys
keys = json.load(open(sys.argv[1]))["images"][0]["keys"]
assert [(k["role"], k["keyring"]["name"], k["keyring"]["status"]) for k in keys] == \
    [("aes_key", "body", "active"), ("seal_key", "seal", "active")], keys
PY
sed -i 's/"active"/"revoked"/' "$project/ring.json"
if cmake --build "$WORK/ringed" > "$WORK/ringed.log" 2>&1; then fail "a revoked key built"; fi
grep -q "revoked in the keyring" "$WORK/ringed.log" || { cat "$WORK/ringed.log"; fail "no reason for the refusal"; }
[ ! -e "$WORK/ringed/ringed.bin" ] || fail "an image sealed under a revoked key was left behind"
echo "a keyring is held when sealing, named in the record, and a key revoked since fails the build"

# The package of the build tree.
cmake -S "$SOURCE_DIR/examples/cmake-firmware" -B "$WORK/from-build-tree" -G Ninja \
  -Dsealtool_DIR="$BUILD_DIR" -DKEYS="$WORK/keys" > /dev/null
build "$WORK/from-build-tree"
cmp "$WORK/from-build-tree/firmware-rsa.sealed.bin" "$WORK/example-Ninja/firmware-rsa.sealed.bin" ||
  fail "the build tree's package seals otherwise"
echo "the build tree's package works as the installed one"
