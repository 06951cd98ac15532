#!/usr/bin/env bash
# The benchmarks in one command, on a release build (-O2):
#   1. the micro-benchmarks (Google Benchmark): SHA-256 through each engine
#      beside mbedtls and OpenSSL, body encryption, RSA signing and the
#      signature check of --signature, each whole mode in process;
#   2. whole runs of sealtool in each of the four modes, with a supplied
#      signature, and sealkey id, beside copy_image, a program that only reads
#      the 32768-byte image and writes it back: median wall time with
#      hyperfine, and instructions per run with valgrind's callgrind, measured
#      side by side in one session; once with the fastest SHA-256 engine and
#      once with the portable rounds;
#   3. a token-backed RSA run beside pkcs11-tool signing with the same key on
#      the same SoftHSM2 token;
#   4. the token on a signing host: RSA and AES-seal runs with the keys in
#      SoftHSM2 directly, through p11-kit's server and client module on a
#      unix socket, and with the token's CBC hidden (ECB chained here).
# RUNS (default 1000) sets hyperfine's runs per command.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

RUNS="${RUNS:-1000}"
BENCH_DIR="$PROJECT_ROOT/build-bench"
install_missing_packages libbenchmark-dev libssl-dev hyperfine valgrind python3 softhsm2 opensc openssl \
  p11-kit p11-kit-modules

cmake -S "$PROJECT_ROOT" -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DSEALTOOL_BUILD_TESTS=OFF > /dev/null
cmake --build "$BENCH_DIR" -j "$(nproc)" --target sealtool sealkey copy_image sealtool_micro_bench \
  make_example_image faulty_pkcs11 > /dev/null

echo "== machine"
echo "$(nproc) cores: $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2 | sed 's/^ //')"
echo "== micro-benchmarks"
"$BENCH_DIR/bench/sealtool_micro_bench" --benchmark_min_time=0.5

WORK="$BENCH_DIR/whole-runs"
rm -rf "$WORK"
mkdir -p "$WORK"
cd "$WORK"
"$BENCH_DIR/make_example_image" image753.bin 753
"$BENCH_DIR/make_example_image" image742.bin 742
cp "$PROJECT_ROOT/examples/keys/aes-token.txt" aes.txt
cp "$PROJECT_ROOT/examples/keys/rsa_priv.txt" "$PROJECT_ROOT/examples/keys/rsa_pub.txt" .

# The signature of image742.bin's RSA input block, made elsewhere (openssl on
# a PEM of the example key), for the run that takes it with --signature.
"$BENCH_DIR/sealkey" export --private --out key.pem --force > /dev/null
"$BENCH_DIR/sealtool" --sign-later block.bin image742.bin out.bin 742 2 > /dev/null
openssl pkeyutl -decrypt -pkeyopt rsa_padding_mode:none -inkey key.pem -in block.bin -out sig.bin

names=(baseline plain key-record aes-seal rsa rsa-signature sealkey-id)
commands=(
  "$BENCH_DIR/bench/copy_image image753.bin out.bin"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 0"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 3"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 1"
  "$BENCH_DIR/sealtool image742.bin out.bin 742 2"
  "$BENCH_DIR/sealtool --signature sig.bin image742.bin out.bin 742 2"
  "$BENCH_DIR/sealkey id"
)
for command in "${commands[@]}"; do
  $command > /dev/null || { echo "failed: $command" >&2; exit 1; }
done

# Median wall time with hyperfine and instructions with callgrind, for each
# command, in one session; tag names the session's files.
measure() {  # tag
  hyperfine -N --warmup 100 --runs "$RUNS" --style none --export-json "hyperfine-$1.json" \
    "${commands[@]}" > /dev/null 2>&1
  for i in "${!commands[@]}"; do
    valgrind --tool=callgrind --callgrind-out-file=/dev/null ${commands[$i]} 2> "callgrind-$1-$i.log" > /dev/null
    grep -o 'Collected : [0-9]*' "callgrind-$1-$i.log" | awk '{print $3}' > "instructions-$1-$i.txt"
  done
  python3 - "$1" "${names[@]}" <<'PYTHON'
import json, sys
tag, names = sys.argv[1], sys.argv[2:]
results = json.load(open(f"hyperfine-{tag}.json"))["results"]
instructions = [int(open(f"instructions-{tag}-{i}.txt").read()) for i in range(len(names))]
base_median = results[0]["median"]
base_instr = instructions[0]
print(f"{'run':<15}{'median ms':>11}{'x baseline':>12}{'instructions':>14}{'x baseline':>12}")
for name, result, count in zip(names, results, instructions):
    print(f"{name:<15}{result['median'] * 1000:>11.3f}{result['median'] / base_median:>12.2f}"
          f"{count:>14,}{count / base_instr:>12.2f}")
PYTHON
}

echo "== whole runs: hyperfine, $RUNS runs each, one command after the other in one session"
echo "   SHA-256 engine: the fastest this CPU has"
measure fastest
echo "== the same with the portable SHA-256 rounds (SEALTOOL_SHA256=portable)"
SEALTOOL_SHA256=portable measure portable

# A token-backed RSA run beside the token's own floor: pkcs11-tool making
# the same raw RSA signature with the same key on the same SoftHSM2 token.
echo "== RSA mode with the key in a token (SoftHSM2), beside pkcs11-tool on the same key"
TOKEN_DIR="$WORK/token"
MODULE=$(ls /usr/lib/softhsm/libsofthsm2.so /usr/lib/*/softhsm/libsofthsm2.so 2>/dev/null | head -n 1)
mkdir -p "$TOKEN_DIR/tokens"
printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' \
  "$TOKEN_DIR/tokens" > "$TOKEN_DIR/softhsm2.conf"
export SOFTHSM2_CONF="$TOKEN_DIR/softhsm2.conf" SEALTOOL_PIN=1234
softhsm2-util --init-token --free --label bench --pin 1234 --so-pin 5678 > /dev/null
softhsm2-util --import key.pem --token bench --label rsa --id 01 --pin 1234 > /dev/null
token_commands=(
  "pkcs11-tool --module $MODULE --token-label bench --login --pin 1234 --sign -m RSA-X-509 --id 01 -i block.bin -o token-sig.bin"
  "$BENCH_DIR/sealtool --rsa-key pkcs11:token=bench;id=%01;type=private?module-path=$MODULE --rsa-pub rsa_pub.txt image742.bin out.bin 742 2"
)
for command in "${token_commands[@]}"; do
  $command > /dev/null 2>&1 || { echo "failed: $command" >&2; exit 1; }
done
hyperfine -N --warmup 10 --runs "${TOKEN_RUNS:-200}" --style none --export-json hyperfine-token.json \
  "${token_commands[@]}" > /dev/null 2>&1
python3 - <<'PYTHON'
import json
results = json.load(open("hyperfine-token.json"))["results"]
floor, run = results[0]["median"], results[1]["median"]
print(f"pkcs11-tool --sign (the floor)  {floor * 1000:8.3f} ms")
print(f"sealtool, RSA key in the token  {run * 1000:8.3f} ms   {run / floor:.2f} x the floor")
PYTHON

# The same token, once in this process's reach and once behind p11-kit's
# server on a unix socket, as a signing host would offer it; and once with
# its CBC hidden by the fault-injecting module, so that the body and the
# digest seal are chained from single-block ECB here, as through the remote
# protocol, but without its round trips.
echo "== the token on a signing host: local, through p11-kit remoting, and CBC from ECB"
CLIENT=$(ls /usr/lib/*/pkcs11/p11-kit-client.so 2>/dev/null | head -n 1)
FAULTY="$BENCH_DIR/bench/libfaulty_pkcs11.so"
python3 -c "import sys; sys.stdout.buffer.write(bytes.fromhex('2b7e151628aed2a6abf7158809cf4f3c'))" > body.bin
python3 -c "import sys; sys.stdout.buffer.write(bytes.fromhex('603deb1015ca71be2b73aef0857d7781'))" > seal.bin
for key in body:02 seal:03; do
  pkcs11-tool --module "$MODULE" --token-label bench --login --pin 1234 --write-object "${key%%:*}.bin" \
    --type secrkey --key-type AES:16 --label "${key%%:*}" --id "${key##*:}" --sensitive > /dev/null 2>&1
done
SOCKET="$TOKEN_DIR/signing.sock"
p11-kit server -f -n "$SOCKET" --provider "$MODULE" "pkcs11:token=bench" > "$TOKEN_DIR/server.log" 2>&1 &
SERVER_PID=$!
trap 'kill "$SERVER_PID" 2> /dev/null' EXIT
for _ in $(seq 100); do [ -S "$SOCKET" ] && break; sleep 0.05; done
export P11_KIT_SERVER_ADDRESS="unix:path=$SOCKET" SEALTOOL_FAULTY_TARGET="$MODULE" SEALTOOL_FAULT=no-aes-cbc
rsa_run() {  # module
  echo "$BENCH_DIR/sealtool --rsa-key pkcs11:token=bench;id=%01;type=private?module-path=$1 --rsa-pub rsa_pub.txt image742.bin out.bin 742 2"
}
seal_run() {  # module
  echo "$BENCH_DIR/sealtool --aes-key pkcs11:token=bench;object=body?module-path=$1 --seal-key pkcs11:token=bench;object=seal?module-path=$1 image753.bin out.bin 753 1"
}
remote_names=("RSA, local token" "RSA, remote token" "AES-seal, local token" "AES-seal, remote (ECB)" "AES-seal, local, ECB")
remote_commands=("$(rsa_run "$MODULE")" "$(rsa_run "$CLIENT")" "$(seal_run "$MODULE")" "$(seal_run "$CLIENT")"
                 "$(seal_run "$FAULTY")")
for command in "${remote_commands[@]}"; do
  $command > /dev/null 2>&1 || { echo "failed: $command" >&2; exit 1; }
done
hyperfine -N --warmup 10 --runs "${TOKEN_RUNS:-200}" --style none --export-json hyperfine-remote.json \
  "${remote_commands[@]}" > /dev/null 2>&1
python3 - "${remote_names[@]}" <<'PYTHON'
import json, sys
names = sys.argv[1:]
medians = [r["median"] * 1000 for r in json.load(open("hyperfine-remote.json"))["results"]]
for name, median in zip(names, medians):
    print(f"{name:<26}{median:8.3f} ms")
print(f"remote RSA / local RSA            {medians[1] / medians[0]:.2f} x   (target at most 1.5 x)")
print(f"remote AES-seal / local AES-seal  {medians[3] / medians[2]:.2f} x   (target at most 5 x)")
print(f"CBC from ECB, locally, costs      {medians[4] - medians[2]:.3f} ms a run")
PYTHON

# A release in one batch beside the same images one run each: 1,000 AES-seal
# images with key files, and 100 RSA images with the private key in the
# token; the batch's peak memory beside a single run's.
echo "== a release in one batch (--batch) beside one run per image"
RELEASE="$WORK/release"
mkdir -p "$RELEASE/in" "$RELEASE/out" "$RELEASE/single"
cp aes.txt "$RELEASE/body.txt"
cp "$PROJECT_ROOT/examples/keys/aes-bytes.txt" "$RELEASE/seal.txt"
cp rsa_pub.txt "$RELEASE/"
for i in $(seq 1000); do "$BENCH_DIR/make_example_image" "$RELEASE/in/aes$i.bin" 753 24576 "$i" > /dev/null; done
for i in $(seq 100); do "$BENCH_DIR/make_example_image" "$RELEASE/in/rsa$i.bin" 742 24576 "$i" > /dev/null; done
python3 - "$RELEASE" "$MODULE" <<'PYTHON'
import json, sys
folder, module = sys.argv[1], sys.argv[2]
aes = {"defaults": {"chip": 753, "secure_boot": 1, "aes_key": "body.txt", "seal_key": "seal.txt"},
       "images": [{"input": f"in/aes{i}.bin", "output": f"out/aes{i}.sealed"} for i in range(1, 1001)]}
rsa = {"defaults": {"chip": 742, "secure_boot": 2, "aes_key": "body.txt", "rsa_pub": "rsa_pub.txt",
                    "rsa_key": f"pkcs11:token=bench;id=%01;type=private?module-path={module}"},
       "images": [{"input": f"in/rsa{i}.bin", "output": f"out/rsa{i}.sealed"} for i in range(1, 101)]}
json.dump(aes, open(f"{folder}/aes.json", "w"))
json.dump(rsa, open(f"{folder}/rsa.json", "w"))
PYTHON
cd "$RELEASE"
unset SEALTOOL_FAULT SEALTOOL_FAULTY_TARGET
timed() {  # command... : wall seconds of the command (bash's own clock, no process started)
  local start=$EPOCHREALTIME end
  "$@" > /dev/null || { echo "failed: $*" >&2; exit 1; }
  end=$EPOCHREALTIME
  python3 -c "print(f'{$end - $start:.3f}')"
}
aes_singles() {
  for i in $(seq 1000); do
    "$BENCH_DIR/sealtool" --aes-key body.txt --seal-key seal.txt "in/aes$i.bin" "single/aes$i.sealed" 753 1 > /dev/null
  done
}
rsa_singles() {
  for i in $(seq 100); do
    "$BENCH_DIR/sealtool" --rsa-key "pkcs11:token=bench;id=%01;type=private?module-path=$MODULE" \
      --rsa-pub rsa_pub.txt --aes-key body.txt "in/rsa$i.bin" "single/rsa$i.sealed" 742 2 > /dev/null
  done
}
aes_batch=$(timed "$BENCH_DIR/sealtool" --batch aes.json)
aes_single=$(timed aes_singles)
rsa_batch=$(timed "$BENCH_DIR/sealtool" --batch rsa.json)
rsa_single=$(timed rsa_singles)
for i in 1 500 1000; do cmp "out/aes$i.sealed" "single/aes$i.sealed"; done
for i in 1 100; do cmp "out/rsa$i.sealed" "single/rsa$i.sealed"; done
# The token's own C_Sign, 100 times in one login, for the per-image floor.
sign_floor=$(timed pkcs11-tool --module "$MODULE" --token-label bench --login --pin 1234 --sign -m RSA-X-509 \
  --id 01 -i ../block.bin -o /dev/null)
# Peak memory: the child's maximum resident set, from wait4.
peak() {  # command...
  python3 -c 'import os, subprocess, sys
child = subprocess.Popen(sys.argv[1:], stdout=subprocess.DEVNULL)
_, _, usage = os.wait4(child.pid, 0)
print(usage.ru_maxrss)' "$@"
}
peak_batch=$(peak "$BENCH_DIR/sealtool" --batch aes.json)
peak_single=$(peak "$BENCH_DIR/sealtool" --aes-key body.txt --seal-key seal.txt in/aes1.bin single/x.sealed 753 1)
# The marginal cost of one more RSA image in a batch: 100 images against one.
python3 -c 'import json; m = json.load(open("rsa.json")); m["images"] = m["images"][:1]; json.dump(m, open("rsa1.json", "w"))'
rsa_batch1=$(timed "$BENCH_DIR/sealtool" --batch rsa1.json)
python3 - "$aes_batch" "$aes_single" "$rsa_batch" "$rsa_single" "$sign_floor" "$peak_batch" "$peak_single" "$rsa_batch1" <<'PYTHON'
import sys
aes_batch, aes_single, rsa_batch, rsa_single, sign_floor = map(float, sys.argv[1:6])
peak_batch, peak_single = map(int, sys.argv[6:8])
rsa_batch1 = float(sys.argv[8])
print(f"1000 AES-seal images: batch {aes_batch:.3f} s, single runs {aes_single:.3f} s: {aes_single / aes_batch:.1f} x (target at least 15 x)")
print(f"  per image: batch {aes_batch:.3f} ms, single run {aes_single:.3f} ms")
print(f"100 RSA images, key in the token: batch {rsa_batch:.3f} s, single runs {rsa_single:.3f} s: {rsa_single / rsa_batch:.1f} x (target at least 10 x)")
print(f"  per image in the batch {rsa_batch * 10:.3f} ms; one more image costs {(rsa_batch - rsa_batch1) / 99 * 1000:.3f} ms"
      f" (search, C_Sign, seal); a whole pkcs11-tool run (load, login, one C_Sign) {sign_floor * 1000:.3f} ms")
print(f"peak memory (max RSS): batch of 1000 images {peak_batch} KiB, a single run {peak_single} KiB")
PYTHON
