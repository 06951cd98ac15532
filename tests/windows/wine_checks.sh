#!/usr/bin/env bash
# The Windows programs under wine against the Linux build: every golden run
# of each mode and chip group, the failure table's messages and exit
# statuses, aes.txt with either line end, a batch with a record, sealinfo's
# verdicts, a failed run that leaves the old output, keys in a token (the
# test modules, built for each system, loaded by the same path) and keys
# behind a helper program (likewise). Output bytes,
# console text and exit status must be the Linux build's, byte for byte.
# Usage: wine_checks.sh LINUX_BUILD_DIR WINDOWS_BUILD_DIR EXAMPLE_KEYS_DIR
set -euo pipefail

LINUX=$1
WINDOWS=$2
KEYS=$3
export WINEPREFIX="${WINEPREFIX:-$WINDOWS/wineprefix}" WINEDEBUG=-all
WINE=/usr/lib/wine/wine64
WORK=$(mktemp -d)
trap '[ -n "${KEEP_WORK:-}" ] || rm -rf "$WORK"' EXIT
failures=0
checks=0

# The wine prefix is made once; its first start prints its own lines.
"$WINE" wineboot -i > /dev/null 2>&1 || true

fail() {
  echo "FAILED: $*"
  failures=$((failures + 1))
}

# Runs a program of both builds in two copies of the same folder (prepared
# by the function named in $2), then compares exit status, standard output
# and every file the runs left. args: NAME PREPARE PROGRAM ARGS...
compare() {
  local name=$1 prepare=$2 program=$3
  shift 3
  checks=$((checks + 1))
  rm -rf "$WORK/linux" "$WORK/windows"
  mkdir -p "$WORK/linux" "$WORK/windows"
  (cd "$WORK/linux" && "$prepare")
  (cd "$WORK/windows" && "$prepare")
  local linuxStatus=0 windowsStatus=0
  "${BEFORE_LINUX:-true}"
  (cd "$WORK/linux" && "$LINUX/$program" "$@" > ../linux.out 2> ../linux.err) || linuxStatus=$?
  "${BEFORE_WINDOWS:-true}"
  (cd "$WORK/windows" && "$WINE" "$WINDOWS/$program.exe" "$@" > ../windows.out 2> ../windows.err) || windowsStatus=$?
  [ "$linuxStatus" = "$windowsStatus" ] || fail "$name: exit status $windowsStatus on Windows, $linuxStatus on Linux"
  cmp -s "$WORK/linux.out" "$WORK/windows.out" || {
    fail "$name: the console text differs"
    diff "$WORK/linux.out" "$WORK/windows.out" | head -10 || true
  }
  diff -r "$WORK/linux" "$WORK/windows" > /dev/null || fail "$name: the files written differ"
}

example() {  # CHIP: in.bin as the tests make it
  "$LINUX/make_example_image" in.bin "$1" > /dev/null
}
aes_token() { cp "$KEYS/aes-token.txt" aes.txt; }
aes_bytes() { cp "$KEYS/aes-bytes.txt" aes.txt; }
rsa_keys() { cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" .; }

plain753() { example 753; }
plain0() { example 0; }
keyRecord753() { example 753; aes_token; }
keyRecord731() { example 731; }
aesSeal775() { example 775; aes_token; }
aesSeal775Default() { example 775; }
aesSeal742Default() { example 742; }
aesSeal753ByteList() { example 753; aes_bytes; }
rsa742() { example 742; aes_token; rsa_keys; }
rsa742Default() { example 742; rsa_keys; }
compare plain753 plain753 sealtool in.bin out.bin 753 0
compare plain0 plain0 sealtool in.bin out.bin 0 0
compare keyRecord753 keyRecord753 sealtool in.bin out.bin 753 3
compare keyRecord731 keyRecord731 sealtool in.bin out.bin 731 3
compare aesSeal775 aesSeal775 sealtool in.bin out.bin 775 1
compare aesSeal775Default aesSeal775Default sealtool in.bin out.bin 775 1
compare aesSeal742Default aesSeal742Default sealtool in.bin out.bin 742 1
compare aesSeal753ByteListRefused aesSeal753ByteList sealtool in.bin out.bin 753 1
compare rsa742 rsa742 sealtool in.bin out.bin 742 2
compare rsa742Default rsa742Default sealtool in.bin out.bin 742 2

# The failure table: messages and exit statuses.
malformedKey() { example 753; printf '0123\n' > aes.txt; }
noPrivateKey() { example 742; cp "$KEYS/rsa_pub.txt" .; }
tooLong() { head -c 40000 /dev/zero > in.bin; }
oldOutput() { example 753; printf '0123\n' > aes.txt; printf 'old' > out.bin; }
compare malformedKey malformedKey sealtool in.bin out.bin 753 1
compare noPrivateKey noPrivateKey sealtool in.bin out.bin 742 2
compare noInput plain753 sealtool missing.bin out.bin 753 0
compare inputTooLong tooLong sealtool in.bin out.bin 753 0
compare badArguments plain753 sealtool in.bin out.bin
compare badChip plain753 sealtool in.bin out.bin 7x3 0
compare failedRunLeavesOldOutput oldOutput sealtool in.bin out.bin 753 1
[ "$(cat "$WORK/windows/out.bin")" = old ] || fail "the failed run changed the old output"

# Names outside any ANSI code page, and a path longer than 260 characters.
utf8Names() { "$LINUX/make_example_image" "ïmage-€.bin" 753 > /dev/null; }
long=.
for i in 1 2 3 4 5 6; do long="$long/a-folder-whose-name-is-long-enough-to-add-up-$i"; done
longPath() {
  mkdir -p "$long"
  "$LINUX/make_example_image" "$long/in.bin" 753 > /dev/null
}
compare utf8Names utf8Names sealtool "ïmage-€.bin" "öut-€.bin" 753 0
[ -f "$WORK/windows/öut-€.bin" ] || fail "the output with a UTF-8 name is not where its name says"
[ "${#long}" -gt 260 ] || fail "the long path is not long"
compare longPath longPath sealtool "$long/in.bin" "$long/out.bin" 753 1
longSealed() { longPath; cp "$KEYS/aes-token.txt" "$long/aes.txt"; "$LINUX/sealtool" "$long/in.bin" "$long/out.bin" 753 1 > /dev/null; }
compare sealinfoLongPath longSealed sealinfo "$long/out.bin" --keys "$long"

# aes.txt with "\r\n" line ends reads as with "\n" ones.
crlfKey() { example 775; sed 's/$/\r/' "$KEYS/aes-token.txt" > aes.txt; }
compare crlfKey crlfKey sealtool in.bin out.bin 775 1
(cd "$WORK/windows" && cmp -s out.bin ../linux/out.bin) || fail "crlf key: outputs differ"
lfOut=$(mktemp -d)
(cd "$lfOut" && example 775 && aes_token && "$LINUX/sealtool" in.bin out.bin 775 1 > /dev/null)
cmp -s "$lfOut/out.bin" "$WORK/windows/out.bin" || fail "aes.txt with \\r\\n gives another image than with \\n"
rm -rf "$lfOut"

# A batch with a record, and sealinfo on what it sealed.
batch() {
  "$LINUX/make_example_image" a.bin 753 > /dev/null
  "$LINUX/make_example_image" b.bin 742 > /dev/null
  aes_token
  cp "$KEYS/aes-bytes.txt" seal.txt
  rsa_keys
  cat > release.json <<MANIFEST
{"images": [
  {"name": "plain", "input": "a.bin", "output": "plain.sealed", "chip": 753, "secure_boot": 0},
  {"name": "seal", "input": "a.bin", "output": "seal.sealed", "chip": 753, "secure_boot": 1,
   "aes_key": "aes.txt", "seal_key": "seal.txt"},
  {"name": "rsa", "input": "b.bin", "output": "rsa.sealed", "chip": 742, "secure_boot": 2,
   "aes_key": "aes.txt", "rsa_key": "${RSA_KEY_REF:-rsa_priv.txt}", "rsa_pub": "rsa_pub.txt"}
]}
MANIFEST
}
export SOURCE_DATE_EPOCH=1700000000
compare batchWithRecord batch sealtool --batch release.json --record release.record.json
[ -f "$WORK/windows/rsa.sealed" ] || fail "the batch sealed nothing"
sealed() { batch; SOURCE_DATE_EPOCH=1700000000 "$LINUX/sealtool" --batch release.json --record r.json > /dev/null; }
compare sealinfoRsa sealed sealinfo rsa.sealed --keys .
compare sealinfoSeal sealed sealinfo seal.sealed --keys .
compare sealinfoRecord sealed sealinfo --record r.json plain.sealed seal.sealed rsa.sealed --keys .

# Keys in a token: the memory token (and the fault module in front of it)
# at one path, the Linux module for the Linux run, the DLL for the other.
TOKEN="$WORK/token"
mkdir -p "$TOKEN"
"$LINUX/sealkey" export --private --format der --out "$TOKEN/rsa.der" "$KEYS/rsa_priv.txt" > /dev/null
printf '1234\n' > "$TOKEN/pin.txt"
export SEALTOOL_MEMORY_RSA="$TOKEN/rsa.der" SEALTOOL_MEMORY_AES=000102030405060708090a0b0c0d0e0f
export SEALTOOL_FAULTY_TARGET="$TOKEN/memory.module"
linuxModules() {
  cp "$LINUX/tests/libmemory_pkcs11.so" "$TOKEN/memory.module"
  cp "$LINUX/tests/libfaulty_pkcs11.so" "$TOKEN/fault.module"
}
windowsModules() {
  cp "$WINDOWS/tests/windows/memory_pkcs11.dll" "$TOKEN/memory.module"
  cp "$WINDOWS/tests/windows/faulty_pkcs11.dll" "$TOKEN/fault.module"
}
BEFORE_LINUX=linuxModules BEFORE_WINDOWS=windowsModules
uri() {  # MODULE OBJECT [PIN-FILE]
  echo "pkcs11:token=memory;object=$2?module-path=$TOKEN/$1.module&pin-source=${3:-$TOKEN/pin.txt}"
}
tokenRsa() { example 742; aes_token; cp "$KEYS/rsa_pub.txt" .; }
compare tokenRsa tokenRsa sealtool --rsa-key "$(uri memory rsa)" in.bin out.bin 742 2
fileRsa=$(mktemp -d)
(cd "$fileRsa" && rsa742 && "$LINUX/sealtool" in.bin out.bin 742 2 > /dev/null)
cmp -s "$fileRsa/out.bin" "$WORK/windows/out.bin" || fail "tokenRsa: the token's image is not the key files' image"
rm -rf "$fileRsa"
compare tokenAes aesSeal775Default sealtool --aes-key "$(uri memory aes)" in.bin out.bin 775 1
printf '9999\n' > "$TOKEN/wrong-pin.txt"
compare tokenWrongPin tokenRsa sealtool --rsa-key "$(uri memory rsa "$TOKEN/wrong-pin.txt")" in.bin out.bin 742 2
for fault in sign-error login-locked init-fails no-raw-rsa; do
  SEALTOOL_FAULT=$fault compare "token-$fault" tokenRsa sealtool --rsa-key "$(uri fault rsa)" in.bin out.bin 742 2
done
tokenBatch() { RSA_KEY_REF=$(uri memory rsa) batch; }
compare tokenBatchWithRecord tokenBatch sealtool --batch release.json --record release.record.json
[ -f "$WORK/windows/rsa.sealed" ] || fail "the token batch sealed nothing"
BEFORE_LINUX= BEFORE_WINDOWS=

# Keys behind a helper program: the test helper built for each system at
# one path; its keys are the memory token's.
linuxHelper() { cp "$LINUX/tests/key_helper" "$TOKEN/key-helper"; }
windowsHelper() { cp "$WINDOWS/tests/windows/key_helper.exe" "$TOKEN/key-helper"; }
BEFORE_LINUX=linuxHelper BEFORE_WINDOWS=windowsHelper
compare helperRsa tokenRsa sealtool --rsa-key "helper:$TOKEN/key-helper" --aes-key "helper:$TOKEN/key-helper" \
  in.bin out.bin 742 2
compare helperAesSeal aesSeal775Default sealtool --aes-key "helper:$TOKEN/key-helper" in.bin out.bin 775 1
compare helperKeyRecord plain753 sealtool --aes-key "helper:$TOKEN/key-helper" in.bin out.bin 753 3
SEALTOOL_MEMORY_RSA="$TOKEN/missing.der" compare helperFails tokenRsa sealtool --rsa-key "helper:$TOKEN/key-helper" \
  in.bin out.bin 742 2
compare helperMissing tokenRsa sealtool --rsa-key "helper:$TOKEN/no-such-helper" in.bin out.bin 742 2
BEFORE_LINUX= BEFORE_WINDOWS=

# Without p11-kit, a module is named by its file: module-name is refused.
checks=$((checks + 1))
status=0
rm -rf "$WORK/windows" && mkdir "$WORK/windows"
(cd "$WORK/windows" && tokenRsa && "$WINE" "$WINDOWS/sealtool.exe" \
  --rsa-key "pkcs11:token=memory;object=rsa?module-name=soft" in.bin out.bin 742 2 > ../windows.out 2>&1) || status=$?
[ "$status" = 255 ] || fail "module-name: exit status $status"
grep -q "name the module's file with module-path" "$WORK/windows.out" || fail "module-name: no reason given"
[ ! -e "$WORK/windows/out.bin" ] || fail "module-name: an output was written"

# Ctrl+C removes a staged file and ends the run. The event needs a
# console: script gives wine a terminal to make one on. (Wine does not send
# Ctrl+Break to a process group of 0, so only Ctrl+C is tried.)
checks=$((checks + 1))
rm -rf "$WORK/windows" && mkdir "$WORK/windows"
(cd "$WORK/windows" && script -qec "$WINE $WINDOWS/tests/windows/ctrl_c_check.exe c; echo status=\$? > ../ctrl_c.status" /dev/null > /dev/null)
case "$(cat "$WORK/ctrl_c.status" 2> /dev/null)" in
  status=2 | "") fail "Ctrl+C: the check could not send the event" ;;
  status=3) fail "Ctrl+C did not end the run" ;;
esac
[ ! -e "$WORK/windows/.staged-check" ] || fail "Ctrl+C left the staged file"

# A key made on Windows (from the system's generator) passes the Linux
# build's check of its numbers.
checks=$((checks + 1))
rm -rf "$WORK/windows" && mkdir "$WORK/windows"
(cd "$WORK/windows" && "$WINE" "$WINDOWS/rsa_genkey.exe" > /dev/null && "$LINUX/sealkey" check rsa_priv.txt > ../check.out) ||
  fail "a key made by rsa_genkey.exe does not pass sealkey check: $(tail -3 "$WORK/check.out")"

echo "wine: $checks comparisons, $failures failed"
[ "$failures" -eq 0 ]
