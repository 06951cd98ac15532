#!/usr/bin/env bash
# sealkey keyring and sealkey id for keys of every source: ids worked out
# from the keys (RSA: the SubjectPublicKeyInfo key id as sealkey id shows
# it; AES: the check value, held against openssl's), names and ids held
# once, malformed keyrings refused with the field's path, and no key byte
# ever shown.
# Usage: keyring_test.sh BUILD_DIR PROJECT_DIR
set -euo pipefail

BUILD=$1
KEYS="$2/examples/keys"
HELPER="$2/examples/helpers/openssl-helper"
command -v openssl > /dev/null || { echo "openssl is not installed"; exit 77; }
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
cd "$WORK"
failures=0
fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

aesHex=$(sed -n 2p "$KEYS/aes-token.txt")
sealHex=$(head -2 "$KEYS/aes-bytes.txt" | sed 's/0x//g' | tr -d ' \n')
check_value_of() {  # HEX: openssl's AES-128-ECB of a zero block, first 3 bytes
  head -c 16 /dev/zero | openssl enc -aes-128-ecb -nopad -K "$1" | head -c 3 | od -An -tx1 | tr -d ' \n'
}
spki=$("$BUILD/sealkey" id "$KEYS/rsa_pub.txt" | awk '/SubjectPublicKeyInfo/ {print $NF}')
mkdir helper-keys
"$BUILD/sealkey" export --private --format pem --out helper-keys/rsa.pem "$KEYS/rsa_priv.txt" > /dev/null
cp "$KEYS/rsa_pub.txt" helper-keys/rsa.pub.txt
export OPENSSL_HELPER_KEYS="$WORK/helper-keys"
cp "$BUILD/tests/libmemory_pkcs11.so" memory.module
printf '1234\n' > pin.txt
export SEALTOOL_MEMORY_AES=$sealHex
tokenAes="pkcs11:token=memory;object=aes?module-path=$WORK/memory.module&pin-source=$WORK/pin.txt"

# NAME REF USE EXPECTED-ID
add() {
  "$BUILD/sealkey" keyring ring.json --add "$2" --name "$1" --use "$3" > add.out 2>&1 ||
    { fail "$1: not added: $(cat add.out)"; return; }
  grep -q "id $4)" add.out || fail "$1: added with another id than $4: $(cat add.out)"
  ! grep -qi "$aesHex\|$sealHex\|3f 9c 2a" add.out || fail "$1: a key byte was shown"
}
add example-rsa "$KEYS/rsa_pub.txt" development "$spki"
add example-aes "$KEYS/aes-token.txt" development "$(check_value_of "$aesHex")"
add token-seal "$tokenAes" production "$(check_value_of "$sealHex")"
"$BUILD/sealkey" keyring ring.json > list.out || fail "the keyring does not read back"
[ "$(grep -c 'development\|production' list.out)" = 3 ] || fail "the keyring does not list three keys"

# The same key again, by another reference, and a name held already.
status=0
"$BUILD/sealkey" keyring ring.json --add "helper:$HELPER" --name prod --use production > again.out 2>&1 || status=$?
[ "$status" = 1 ] || fail "the helper's RSA key (the example key again) was added: $status"
grep -q "is keys\[0\]'s id too" again.out || fail "the second id is not named: $(cat again.out)"
status=0
"$BUILD/sealkey" keyring ring.json --add "$KEYS/aes-bytes.txt" --name example-aes --use production > again.out 2>&1 ||
  status=$?
[ "$status" = 1 ] || fail "a name held already was added: $status"
"$BUILD/sealkey" keyring ring.json > list.out
[ "$(grep -c 'development\|production' list.out)" = 3 ] || fail "a refused key changed the keyring"

# Malformed keyrings: refused, exit 1, the field named.
printf '{"version": 1, "keys": [{"name": "a", "id": "417f8b", "use": "testing", "status": "active"}]}\n' > bad.json
status=0
"$BUILD/sealkey" keyring bad.json > bad.out 2>&1 || status=$?
[ "$status" = 1 ] || fail "a malformed keyring gives $status"
grep -q "keys\[0\].use: development or production is needed" bad.out || fail "no field named: $(cat bad.out)"

# A URI that names its slot: the slot the memory token is in (1) finds the
# key, another finds no token, and a slot-id that is no slot number is
# refused rather than read as slot 0.
slotUri() { echo "pkcs11:token=memory;slot-id=$1;object=aes?module-path=$WORK/memory.module&pin-source=$WORK/pin.txt"; }
[ "$("$BUILD/sealkey" id "$(slotUri 1)" 2> /dev/null | awk '/check value/ {print $NF}')" = "$(check_value_of "$sealHex")" ] ||
  fail "slot-id=1 does not find the token's key"
"$BUILD/sealkey" id "$(slotUri 2)" > slot.out 2>&1 && fail "slot-id=2 found a key"
"$BUILD/sealkey" id "$(slotUri 18446744073709551617)" > slot.out 2>&1 && fail "an overflowing slot-id found a key"
grep -q "slot-id is not a slot number" slot.out || fail "an overflowing slot-id is not refused: $(cat slot.out)"

# sealkey id shows no key byte of an AES key.
"$BUILD/sealkey" id "$KEYS/aes-token.txt" > id.out
! grep -qi "3f 9c\|$aesHex" id.out || fail "sealkey id showed the AES key"

# sealtool --keyring: the keys of the run held against it before anything
# is written. The token's AES key here is the seal key's bytes; a helper
# holds the RSA key.
"$BUILD/make_example_image" in.bin 742 > /dev/null
status_of() {  # NAME STATUS: the keyring with that key's status changed
  python3 - "$1" "$2" <<'PY'
import json, sys
ring = json.load(open("ring.json"))
for key in ring["keys"]:
    if key["name"] == sys.argv[1]:
        key["status"] = sys.argv[2]
json.dump(ring, open("changed.json", "w"))
PY
}
# NAME EXPECTED-STATUS EXPECTED-TEXT SEALTOOL-ARGUMENTS...
sealed() {
  local name=$1 expected=$2 text=$3 status=0
  shift 3
  rm -f out.bin
  "$BUILD/sealtool" "$@" in.bin out.bin 742 2 > run.out 2>&1 || status=$?
  [ "$status" = "$expected" ] || fail "$name: exit status $status, not $expected"
  grep -qF "$text" run.out || { fail "$name: no \"$text\""; tail -4 run.out; }
  if [ "$expected" != 0 ] && [ -e out.bin ]; then fail "$name: an image was written"; fi
}
fileKeys=(--rsa-key "$KEYS/rsa_priv.txt" --rsa-pub "$KEYS/rsa_pub.txt")
sealed allHeld 0 "Keyring: aes_key $(check_value_of "$aesHex") is example-aes (development, active)" \
  --keyring ring.json "${fileKeys[@]}" --aes-key "$KEYS/aes-token.txt"
status_of example-rsa retired
sealed retired 0 "warning: example-rsa is retired" --keyring changed.json "${fileKeys[@]}" --aes-key "$KEYS/aes-token.txt"
status_of example-rsa revoked
sealed revokedFile 255 "is example-rsa, revoked in the keyring changed.json" \
  --keyring changed.json "${fileKeys[@]}" --aes-key "$KEYS/aes-token.txt"
printf '00112233445566778899aabbccddeeff\n' > other-aes.txt
sealed unknown 255 "aes_key $(check_value_of 00112233445566778899aabbccddeeff) is not in the keyring ring.json" \
  --keyring ring.json "${fileKeys[@]}" --aes-key other-aes.txt
status_of token-seal revoked
sealed revokedToken 255 "is token-seal, revoked in the keyring changed.json" \
  --keyring changed.json --rsa-key "helper:$HELPER" --aes-key "$tokenAes"
sealed helperAndToken 0 "Keyring: rsa_key" --keyring ring.json --rsa-key "helper:$HELPER" --aes-key "$tokenAes"
printf '{"version": 1, "keys": [{"name": "a"}]}\n' > malformed.json
sealed malformed 255 "the keyring malformed.json is refused: keys[0]: id is needed" --keyring malformed.json

# A release: "keyring" and "release" in the manifest. A production
# release takes no example or built-in key, even one a keyring calls
# production; a development release takes what the keyring holds.
"$BUILD/make_example_image" b.bin 775 > /dev/null
release() {  # RELEASE KEYRING-FIELD ALLOW-BUILT-IN AES-KEY
  cat > release.json <<MANIFEST
{"release": "$1", $2 "allow_built_in_keys": $3, "images": [
  {"name": "rsa", "input": "in.bin", "output": "rsa.sealed", "chip": 742, "secure_boot": 2,
   "aes_key": "$KEYS/aes-token.txt", "rsa_key": "$KEYS/rsa_priv.txt", "rsa_pub": "$KEYS/rsa_pub.txt"},
  {"name": "seal", "input": "b.bin", "output": "seal.sealed", "chip": 775, "secure_boot": 1 $4}
]}
MANIFEST
}
batch() {  # NAME EXPECTED-STATUS EXPECTED-TEXT
  local status=0
  rm -f rsa.sealed seal.sealed
  "$BUILD/sealtool" --batch release.json > batch.out 2>&1 || status=$?
  [ "$status" = "$2" ] || fail "$1: exit status $status, not $2"
  grep -qF "$3" batch.out || { fail "$1: no \"$3\""; tail -4 batch.out; }
  if [ "$2" != 0 ] && { [ -e rsa.sealed ] || [ -e seal.sealed ]; }; then fail "$1: an image was written"; fi
}
release development '"keyring": "ring.json",' false ", \"aes_key\": \"$KEYS/aes-token.txt\", \"seal_key\": \"$KEYS/aes-bytes.txt\""
batch developmentRelease 0 "sealed 2 images"
python3 - <<'PY'
import json
ring = json.load(open("ring.json"))
for key in ring["keys"]:
    key["use"] = "production"
json.dump(ring, open("all-production.json", "w"))
PY
release production '"keyring": "all-production.json",' false ", \"aes_key\": \"$KEYS/aes-token.txt\", \"seal_key\": \"$KEYS/aes-bytes.txt\""
batch exampleKeysInProduction 255 "is example-rsa, a development key: a production release takes none"
release production "" true ""
batch builtInKeysInProduction 255 "is a built-in or example key: a production release takes none"
release testing "" false ""
batch unknownRelease 255 "release: production or development is needed"

# The record carries each AES key's check value and what the keyring said
# of every key.
rm -f out.bin
"$BUILD/sealtool" --keyring ring.json --record single.json "${fileKeys[@]}" --aes-key "$KEYS/aes-token.txt" \
  in.bin out.bin 742 2 > /dev/null || fail "a run with --keyring and --record failed"
python3 - single.json "$(check_value_of "$aesHex")" <<'PY' || fail "the record does not name the keys"
import json, sys
keys = {k["role"]: k for k in json.load(open(sys.argv[1]))["images"][0]["keys"]}
for role in ("rsa_key", "rsa_pub"):
    assert keys[role]["keyring"] == {"name": "example-rsa", "use": "development", "status": "active"}, keys[role]
    assert "check_value" not in keys[role], keys[role]
assert keys["aes_key"]["check_value"] == sys.argv[2], keys["aes_key"]
assert keys["aes_key"]["keyring"]["name"] == "example-aes", keys["aes_key"]
PY
"$BUILD/sealtool" --record plain-record.json --aes-key "$KEYS/aes-token.txt" --seal-key "$KEYS/aes-bytes.txt" \
  b.bin b.sealed 775 1 > /dev/null || fail "a run with --record failed"
python3 - "$(check_value_of "$sealHex")" <<'PY' || fail "a record without a keyring lacks the check values"
import json, sys
keys = {k["role"]: k for k in json.load(open("plain-record.json"))["images"][0]["keys"]}
assert keys["seal_key"]["check_value"] == sys.argv[1] and "keyring" not in keys["seal_key"], keys
PY

# sealinfo --keyring names each key of an image and fails one the keyring
# does not hold, or holds as revoked; a retired key passes with a warning.
# NAME EXPECTED-STATUS EXPECTED-TEXT SEALINFO-ARGUMENTS...
verified() {
  local name=$1 expected=$2 text=$3 status=0
  shift 3
  "$BUILD/sealinfo" "$@" > info.out 2>&1 || status=$?
  [ "$status" = "$expected" ] || fail "sealinfo $name: exit status $status, not $expected"
  grep -qF -- "$text" info.out || { fail "sealinfo $name: no \"$text\""; grep -v '^ *[0-9@]' info.out | tail -6; }
}
infoKeys=(--keys "$KEYS" --aes-key "$KEYS/aes-token.txt")
verified named 0 "keyring        ok: signed by example-rsa, development, active" --keyring ring.json "${infoKeys[@]}" out.bin
verified namedAes 0 "keyring        ok: body encrypted under example-aes, development, active" \
  --keyring ring.json "${infoKeys[@]}" out.bin
status_of example-rsa revoked
verified revoked 1 "keyring        FAILED: signed by example-rsa, development, revoked" \
  --keyring changed.json "${infoKeys[@]}" out.bin
status_of example-rsa retired
verified retired 0 "warning: example-rsa is retired in the keyring changed.json" \
  --keyring changed.json "${infoKeys[@]}" out.bin
printf '{"version": 1, "keys": [{"name": "other", "id": "%s", "use": "production", "status": "active"}]}\n' \
  "$(check_value_of 00112233445566778899aabbccddeeff)" > other-ring.json
verified unknown 1 "rsa_key key $spki is not in the keyring other-ring.json (a built-in or example key: development)" \
  --keyring other-ring.json "${infoKeys[@]}" out.bin
verified malformed 2 "the keyring 'malformed.json' is refused: keys[0]: id is needed" --keyring malformed.json out.bin
"$BUILD/sealinfo" --json --keyring ring.json "${infoKeys[@]}" out.bin > info.json || true
python3 - <<'PY' || fail "sealinfo --json does not name the keys"
import json
named = json.load(open("info.json"))["keyring"]
assert [(k["role"], k["name"], k["use"], k["status"]) for k in named] == \
    [("rsa_key", "example-rsa", "development", "active"), ("aes_key", "example-aes", "development", "active")], named
PY
# A key-record image names the key it wraps (unwrapped from the image).
"$BUILD/make_example_image" kr.bin 775 > /dev/null
"$BUILD/sealtool" --aes-key other-aes.txt kr.bin kr.sealed 775 3 > /dev/null
verified wrapped 0 "keyring        ok: wraps other, production, active" --keyring other-ring.json \
  --chip 775 --mode key-record --aes-key other-aes.txt kr.sealed
verified wrappedUnknown 1 "aes_key key $(check_value_of 00112233445566778899aabbccddeeff) is not in the keyring" \
  --keyring ring.json --chip 775 --mode key-record --aes-key other-aes.txt kr.sealed

# The release gate: --keyring anchors the images whose every key it names;
# a manifest's own keyring and release kind hold when the gate names none.
verified recordNamed 0 "signed by example-rsa, development, active" --record single.json --keyring ring.json
status_of example-rsa revoked
verified recordRevoked 1 "signed by example-rsa, development, revoked" --record single.json --keyring changed.json
release development '"keyring": "ring.json",' false ", \"aes_key\": \"$KEYS/aes-token.txt\", \"seal_key\": \"$KEYS/aes-bytes.txt\""
rm -f rsa.sealed seal.sealed
"$BUILD/sealtool" --batch release.json --record release-record.json > batch.out 2>&1 || fail "the release did not seal"
python3 - <<'PY' || fail "the batch's record does not name the keys"
import json
for image in json.load(open("release-record.json"))["images"]:
    for key in image["keys"]:
        assert key["keyring"]["status"] == "active", (image["name"], key)
PY
verified manifestKeyring 0 "digest sealed under token-seal, development, active" \
  --record release-record.json --manifest release.json --keys "$KEYS"
sed -i 's/"release": "development"/"release": "production"/' release.json
verified productionGate 1 "development: a production release takes no development key" \
  --record release-record.json --manifest release.json --keys "$KEYS"

if [ "$failures" -ne 0 ]; then
  echo "$failures keyring checks failed"
  exit 1
fi
echo "keyring: all checks passed"
