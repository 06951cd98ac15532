#!/usr/bin/env bash
# A second real token beside SoftHSM2: opencryptoki's soft token, run in a
# private mount namespace (its configuration, store and socket in folders
# of the test's own, over the system's paths), with its slot daemon started
# and ended by the test. RSA mode with the key in it seals as the key files
# do; an AES key imported into it has no CKA_VALUE_LEN, and the run says so.
# Needs root (for the namespace); skips with the reason otherwise.
# Usage: opencryptoki_test.sh SEALTOOL SEALKEY MAKE_EXAMPLE KEYS_DIR
set -euo pipefail
SEALTOOL=$1 SEALKEY=$2 MAKE_EXAMPLE=$3 KEYS=$4
MODULE=/usr/lib/x86_64-linux-gnu/pkcs11/libopencryptoki.so
skip() { echo "skipped: $*"; exit 77; }
[ "$(id -u)" -eq 0 ] || skip "opencryptoki's token needs root for a private mount namespace"
[ -x /usr/sbin/pkcsslotd ] && [ -e "$MODULE" ] || skip "opencryptoki is not installed"
command -v pkcs11-tool > /dev/null || skip "needs pkcs11-tool (opensc)"
unshare -m true 2> /dev/null || skip "this machine gives no private mount namespace"
getent group pkcs11 > /dev/null || skip "opencryptoki's group pkcs11 is missing"

WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
mkdir -p "$WORK/etc" "$WORK/lib/swtok/TOK_OBJ" "$WORK/run" "$WORK/seal"
printf 'version opencryptoki-3.1\nslot 3\n{\nstdll = libpkcs11_sw.so\n}\n' > "$WORK/etc/opencryptoki.conf"
chgrp -R pkcs11 "$WORK/lib"
chmod -R 770 "$WORK/lib"

cat > "$WORK/inside.sh" <<'INSIDE'
set -euo pipefail
WORK=$1 SEALTOOL=$2 SEALKEY=$3 MAKE_EXAMPLE=$4 KEYS=$5 MODULE=$6
mount --bind "$WORK/etc" /etc/opencryptoki
mount --bind "$WORK/lib" /var/lib/opencryptoki
mount --bind "$WORK/run" /run
mkdir -p /run/opencryptoki /run/lock/opencryptoki
chgrp pkcs11 /run/opencryptoki /run/lock/opencryptoki
chmod 770 /run/opencryptoki /run/lock/opencryptoki
/usr/sbin/pkcsslotd
# The daemon is ended by the id it wrote (in this namespace's /run).
stop() { [ -s /run/pkcsslotd.pid ] && kill "$(cat /run/pkcsslotd.pid)" 2> /dev/null || true; }
trap stop EXIT
for _ in $(seq 50); do [ -s /run/pkcsslotd.pid ] && break; sleep 0.1; done
printf 'sealing\n' | pkcsconf -I -c 3 -S 87654321 > /dev/null
pkcsconf -P -c 3 -S 87654321 -n 12345678 > /dev/null
pkcsconf -u -c 3 -S 12345678 -n 1234 > /dev/null
cd "$WORK/seal"
cp "$KEYS/rsa_priv.txt" "$KEYS/rsa_pub.txt" .
cp "$KEYS/aes-token.txt" aes.txt
"$SEALKEY" export --private --out key.pem > /dev/null
"$SEALKEY" export --out pub.pem > /dev/null
tool() { pkcs11-tool --module "$MODULE" --token-label sealing --login --pin 1234 "$@" > /dev/null 2>&1; }
tool --write-object key.pem --type privkey --id 01 --label rsa
tool --write-object pub.pem --type pubkey --id 01 --label rsa
printf '\077\234\052\161\330\344\266\005\132\301\351\322\167\117\010\275' > aes.bin
tool --write-object aes.bin --type secrkey --key-type AES:16 --id 02 --label aes
"$MAKE_EXAMPLE" in.bin 742 > /dev/null
export SEALTOOL_PIN=1234
"$SEALTOOL" in.bin file.bin 742 2 > file.log
"$SEALTOOL" --rsa-key "pkcs11:token=sealing;object=rsa;type=private?module-path=$MODULE" \
  in.bin token.bin 742 2 > token.log || { cat token.log; exit 1; }
cmp file.bin token.bin
echo "RSA mode with the key in opencryptoki seals as the key files do"
if "$SEALTOOL" --aes-key "pkcs11:token=sealing;object=aes?module-path=$MODULE" in.bin aes.out 753 1 > aes.log; then
  echo "an AES key without CKA_VALUE_LEN was used"; exit 1
fi
grep -q "the token does not state the AES key's length (CKA_VALUE_LEN)" aes.log || { cat aes.log; exit 1; }
[ ! -e aes.out ]
echo "an imported AES key without CKA_VALUE_LEN is refused for that reason"
INSIDE
# opencryptoki 3.8 leaves its own allocations at C_Finalize, in a slot
# library it has unloaded by then, so a leak report could not even name it:
# in a sanitizer build this test does not ask for one. Every other token
# test (SoftHSM2) still checks the tool's own code for leaks.
export ASAN_OPTIONS="${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0"
unshare -m bash "$WORK/inside.sh" "$WORK" "$SEALTOOL" "$SEALKEY" "$MAKE_EXAMPLE" "$KEYS" "$MODULE"
