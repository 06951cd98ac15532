#!/usr/bin/env bash
# Keys behind a helper program, end to end: the example helper (openssl and
# key files) seals every mode and chip group to the bytes the key files
# give; helpers that misbehave each fail with their reason, write nothing
# and leave no process behind; a batch mixes a helper RSA key with an AES
# key in a token.
# Usage: helper_keys_test.sh BUILD_DIR PROJECT_DIR
set -euo pipefail

BUILD=$1
PROJECT=$2
KEYS="$PROJECT/examples/keys"
HELPER="$PROJECT/examples/helpers/openssl-helper"
command -v openssl > /dev/null || { echo "openssl is not installed"; exit 77; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# The helper's keys: the example keys in its own forms.
HKEYS="$WORK/helper-keys"
mkdir -p "$HKEYS"
"$BUILD/sealkey" export --private --format pem --out "$HKEYS/rsa.pem" "$KEYS/rsa_priv.txt" > /dev/null
cp "$KEYS/rsa_pub.txt" "$HKEYS/rsa.pub.txt"
sed -n 2p "$KEYS/aes-token.txt" > "$HKEYS/aes.aes"
tr -d ' \n' < <(head -2 "$KEYS/aes-bytes.txt" | sed 's/0x//g') > "$HKEYS/seal.aes"
export OPENSSL_HELPER_KEYS="$HKEYS"

# CHIP MODE FILE-OPTIONS -- HELPER-OPTIONS: the same image both ways.
same_bytes() {
  local chip=$1 mode=$2 dir="$WORK/golden-$1-$2"
  shift 2
  local fileOptions=() helperOptions=()
  while [ "$1" != -- ]; do fileOptions+=("$1"); shift; done
  shift
  helperOptions=("$@")
  mkdir -p "$dir" && cd "$dir"
  "$BUILD/make_example_image" in.bin "$chip" > /dev/null
  cp "$KEYS/aes-token.txt" aes.txt
  cp "$KEYS/aes-bytes.txt" seal.txt
  cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" .
  "$BUILD/sealtool" "${fileOptions[@]}" in.bin file.bin "$chip" "$mode" > file.out ||
    fail "chip $chip mode $mode: the key files do not seal"
  "$BUILD/sealtool" "${helperOptions[@]}" in.bin helper.bin "$chip" "$mode" > helper.out ||
    fail "chip $chip mode $mode: the helper does not seal: $(tail -4 helper.out)"
  cmp -s file.bin helper.bin || fail "chip $chip mode $mode: the helper's image differs from the key files'"
}
same_bytes 753 3 -- --aes-key "helper:$HELPER"
same_bytes 731 3 --aes-key aes.txt -- --aes-key "helper:$HELPER"
same_bytes 753 1 --seal-key seal.txt -- --aes-key "helper:$HELPER?key=aes" --seal-key "helper:$HELPER?key=seal"
same_bytes 775 1 -- --aes-key "helper:$HELPER"
same_bytes 742 2 -- --rsa-key "helper:$HELPER" --aes-key "helper:$HELPER"
same_bytes 742 2 -- --rsa-key "helper:$HELPER?key=rsa" --rsa-pub rsa_pub.txt

# Helpers that misbehave. Each records its pid and that of a child it
# leaves running, so that the test can see both are gone.
misbehaving() {  # NAME BODY
  local path="$WORK/bad/$1"
  mkdir -p "$WORK/bad"
  cat > "$path" <<SCRIPT
#!/bin/sh
echo \$\$ >> "$WORK/bad/$1.pid"
sleep 300 < /dev/null > /dev/null 2>&1 &
echo \$! >> "$WORK/bad/$1.pid"
if [ "\$1" = rsa-public-key ]; then exec cat "$HKEYS/rsa.pub.txt"; fi
$2
SCRIPT
  chmod +x "$path"
  echo "$path"
}
other=$(mktemp -d)
(cd "$other" && "$BUILD/rsa_genkey" > /dev/null && "$BUILD/sealkey" export --private --format pem --out key.pem rsa_priv.txt > /dev/null)
running() {  # PID: alive and not a zombie
  local state
  state=$(awk '{print $3}' "/proc/$1/stat" 2> /dev/null) || return 1
  [ "$state" != Z ]
}
# A killed process is gone once the kernel delivered the signal: waits for
# that, up to a bound far above it.
ends_soon() {  # PID
  local tries=0
  while running "$1" && [ "$tries" -lt 500 ]; do
    sleep 0.01
    tries=$((tries + 1))
  done
  ! running "$1"
}
# NAME EXPECTED-TEXT BODY
refused() {
  local name=$1 expected=$2 program dir="$WORK/refused-$1" status=0
  program=$(misbehaving "$name" "$3")
  mkdir -p "$dir" && cd "$dir"
  "$BUILD/make_example_image" in.bin 742 > /dev/null
  cp "$KEYS/aes-token.txt" aes.txt
  SEALTOOL_HELPER_TIMEOUT=2 "$BUILD/sealtool" --rsa-key "helper:$program" in.bin out.bin 742 2 > out.txt 2>&1 ||
    status=$?
  [ "$status" = 255 ] || fail "$name: exit status $status"
  [ ! -e out.bin ] || fail "$name: an image was written"
  grep -qF "$expected" out.txt || { fail "$name: no \"$expected\""; tail -5 out.txt; }
  local pid
  for pid in $(cat "$WORK/bad/$name.pid"); do
    ends_soon "$pid" || fail "$name: process $pid outlived the run"
  done
}
refused otherKey "does not verify under the public key" \
  "exec openssl pkeyutl -decrypt -inkey $other/key.pem -pkeyopt rsa_padding_mode:none"
refused short "128 expected" "head -c 127 /dev/zero"
refused long "129 bytes back (128 expected)" "cat > /dev/null; head -c 129 /dev/zero"
refused exitThree "exit status 3" "echo 'the signing server says no' >&2; exit 3"
refused exitThreeMessage "the signing server says no" "echo 'the signing server says no' >&2; exit 3"
refused hangs "time limit of 2 s" "exec sleep 300"
refused killed "ended by signal 9" "kill -9 \$\$"
refused deaf "without reading its input" "head -c 128 /dev/zero"

# sealkey check: each operation tried through the helper, per mode a verdict.
dir="$WORK/check" && mkdir -p "$dir" && cd "$dir"
"$BUILD/sealkey" check "helper:$HELPER" > rsa.out || fail "check: the RSA helper fails: $(cat rsa.out)"
grep -qx "RSA mode (signing key): can seal" rsa.out || fail "check: no RSA verdict"
cat > aes-only <<SCRIPT
#!/bin/sh
[ "\$1" != rsa-public-key ] || exit 1
exec "$HELPER" "\$@"
SCRIPT
chmod +x aes-only
"$BUILD/sealkey" check "helper:./aes-only" > aes.out 2> aes.err || fail "check: the AES helper fails: $(cat aes.out)"
[ "$(grep -c ": can seal$" aes.out)" = 3 ] || fail "check: the AES helper has not three modes that can seal"
status=0
"$BUILD/sealkey" check "helper:$(misbehaving checkOther "exec openssl pkeyutl -decrypt -inkey $other/key.pem \
  -pkeyopt rsa_padding_mode:none")" > other.out 2>&1 || status=$?
[ "$status" = 1 ] || fail "check: a helper that signs with another key gives $status"
grep -q "cannot seal: the signature does not verify" other.out || fail "check: no reason for the other key"
rm -rf "$other"

# A signal that ends sealtool ends the helper, and what it started, too.
program=$(misbehaving waits "exec sleep 300")
dir="$WORK/signalled" && mkdir -p "$dir" && cd "$dir"
"$BUILD/make_example_image" in.bin 742 > /dev/null
cp "$KEYS/aes-token.txt" aes.txt
rm -f "$WORK/bad/waits.pid"
"$BUILD/sealtool" --rsa-key "helper:$program" in.bin out.bin 742 2 > out.txt 2>&1 &
sealtool=$!
# The signing run is the helper's second (after rsa-public-key): four pids.
for _ in $(seq 1000); do
  [ "$(wc -l < "$WORK/bad/waits.pid" 2> /dev/null || echo 0)" -ge 4 ] && break
  sleep 0.01
done
kill -TERM "$sealtool"
status=0
wait "$sealtool" || status=$?
[ "$status" = 143 ] || fail "signalled: sealtool ended with $status, not by its signal"
for pid in $(cat "$WORK/bad/waits.pid"); do
  ends_soon "$pid" || fail "signalled: process $pid outlived sealtool"
done
[ ! -e out.bin ] || fail "signalled: an image was written"

# What the helper is told: the operation and the key's name in its
# arguments, its role and the stored key's id in its environment; no secret.
dir="$WORK/told" && mkdir -p "$dir" && cd "$dir"
cat > told <<SCRIPT
#!/bin/sh
if [ "\$1" = rsa-sign-raw ]; then { echo "args: \$*"; env; } > "$dir/told.txt"; fi
exec "$HELPER" "\$@"
SCRIPT
chmod +x told
"$BUILD/make_example_image" in.bin 742 > /dev/null
cp "$KEYS/aes-token.txt" aes.txt
SEALTOOL_PIN=pin-for-a-token-9917 "$BUILD/sealtool" --rsa-key "helper:$dir/told?key=rsa" in.bin out.bin 742 2 \
  > /dev/null || fail "told: no image"
spki=$("$BUILD/sealkey" id "$KEYS/rsa_pub.txt" | awk '/SubjectPublicKeyInfo/ {print $NF}')
grep -qx "args: rsa-sign-raw rsa" told.txt || fail "told: the arguments are not the operation and the name"
grep -qx "SEALTOOL_KEY_ROLE=rsa_key" told.txt || fail "told: no key role"
[ -n "$spki" ] && grep -qix "SEALTOOL_KEY_ID=$spki" told.txt || fail "told: the key id is not the stored key's ($spki)"
aesHex=$(cat "$HKEYS/aes.aes")
! grep -qi "$aesHex" told.txt || fail "told: the AES key reached the helper"
! grep -q "pin-for-a-token-9917" told.txt || fail "told: the token PIN reached the helper"

# A batch: the RSA key behind the helper (named from the manifest's
# folder), the AES key in a token, and a record that names both.
dir="$WORK/batch" && mkdir -p "$dir" && cd "$dir"
cp "$HELPER" ./helper
cp "$BUILD/tests/libmemory_pkcs11.so" memory.module
printf '1234\n' > pin.txt
"$BUILD/make_example_image" a.bin 742 > /dev/null
"$BUILD/make_example_image" b.bin 775 > /dev/null
uri="pkcs11:token=memory;object=aes?module-path=$dir/memory.module&pin-source=$dir/pin.txt"
cat > release.json <<MANIFEST
{"images": [
  {"name": "a", "input": "a.bin", "output": "a.sealed", "chip": 742, "secure_boot": 2,
   "aes_key": "$uri", "rsa_key": "helper:./helper"},
  {"name": "b", "input": "b.bin", "output": "b.sealed", "chip": 742, "secure_boot": 2,
   "aes_key": "$uri", "rsa_key": "helper:./helper?key=rsa"},
  {"name": "c", "input": "b.bin", "output": "c.sealed", "chip": 775, "secure_boot": 1, "aes_key": "$uri",
   "seal_key": "helper:./helper?key=seal"}
]}
MANIFEST
SEALTOOL_MEMORY_AES=$aesHex "$BUILD/sealtool" --batch release.json --record release.record.json > batch.out 2>&1 ||
  { fail "batch: $(tail -5 batch.out)"; }
for image in a:a:742:2 b:b:742:2 c:b:775:1; do
  IFS=: read -r name input chip mode <<< "$image"
  sealKey=()
  [ "$mode" != 1 ] || sealKey=(--seal-key "$KEYS/aes-bytes.txt")
  (mkdir -p "file-$name" && cd "file-$name" && cp "../$input.bin" in.bin && cp "$KEYS/aes-token.txt" aes.txt &&
    cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" . &&
    "$BUILD/sealtool" "${sealKey[@]}" in.bin out.bin "$chip" "$mode" > /dev/null) || fail "batch: $name: no file-key image"
  cmp -s "file-$name/out.bin" "$name.sealed" || fail "batch: $name differs from the key files' image"
done
grep -q '"helper"' release.record.json || fail "batch: the record does not name the helper source"
grep -q 'helper:./helper?key=rsa' release.record.json || fail "batch: the record does not name the helper and key"

SEALTOOL_MEMORY_AES=$aesHex "$BUILD/sealtool" --batch release.json --check > check.out 2>&1 ||
  fail "batch: --check does not seal the same again: $(tail -3 check.out)"
status=0
"$BUILD/sealinfo" --record release.record.json --manifest release.json a.sealed b.sealed c.sealed > gate.out 2>&1 ||
  status=$?
# The AES key in the token leaves the images unverified; the record reads.
[ "$status" = 3 ] || fail "batch: the release gate ended with $status: $(tail -3 gate.out)"

# A helper that fails stops the batch: nothing is written.
cp "$(misbehaving batchFails "exit 3")" ./failing
sed 's|helper:./helper?key=rsa|helper:./failing|' release.json > failing.json
rm -f a.sealed b.sealed c.sealed release.record.json
status=0
SEALTOOL_MEMORY_AES=$aesHex "$BUILD/sealtool" --batch failing.json --record release.record.json > failing.out 2>&1 ||
  status=$?
[ "$status" = 255 ] || fail "batch: a failing helper ended the batch with $status"
for file in a.sealed b.sealed c.sealed release.record.json; do
  [ ! -e "$file" ] || fail "batch: a failing helper let $file be written"
done
grep -q "exit status 3" failing.out || fail "batch: the failing helper's reason is not given"

# AES key check values: the same for the key as a file (either form), in
# a token and behind a helper, and equal to openssl's AES-128-ECB of a zero
# block.
check_value_of() {  # HEX: openssl's check value
  head -c 16 /dev/zero | openssl enc -aes-128-ecb -nopad -K "$1" | head -c 3 | od -An -tx1 | tr -d ' \n'
}
sealkey_check_value() {  # REF
  "$BUILD/sealkey" id "$1" 2> /dev/null | awk '/key check value/ {print $NF}'
}
aesValue=$(check_value_of "$aesHex")
sealValue=$(check_value_of "$(cat "$HKEYS/seal.aes")")
[ "$(sealkey_check_value "$KEYS/aes-token.txt")" = "$aesValue" ] || fail "check value: aes-token.txt is not $aesValue"
[ "$(sealkey_check_value "$KEYS/aes-bytes.txt")" = "$sealValue" ] || fail "check value: aes-bytes.txt is not $sealValue"
[ "$(SEALTOOL_MEMORY_AES=$aesHex sealkey_check_value "${uri}")" = "$aesValue" ] ||
  fail "check value: the token's key is not $aesValue"
[ "$(sealkey_check_value "helper:$WORK/check/aes-only")" = "$aesValue" ] ||
  fail "check value: the helper's key is not $aesValue"

if [ "$failures" -ne 0 ]; then
  echo "$failures helper checks failed"
  exit 1
fi
echo "helper keys: all checks passed"
