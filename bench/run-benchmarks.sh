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
#      unix socket, and with the token's CBC hidden (ECB chained here);
#   5. a release in one batch in CPU time beside its floor (bench/batch_floor:
#      what writing the images costs at least), on this file system and on a
#      tmpfs; RSA batches beside the private operation alone and beside
#      SoftHSM2's own C_Sign; the batch's peak memory. ROUNDS (default 5)
#      sets how often each is run, interleaved.
# RUNS (default 1000) sets hyperfine's runs per command.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

RUNS="${RUNS:-1000}"
BENCH_DIR="$PROJECT_ROOT/build-bench"
install_missing_packages libbenchmark-dev libssl-dev hyperfine valgrind python3 softhsm2 opensc openssl \
  p11-kit p11-kit-modules time

cmake -S "$PROJECT_ROOT" -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DSEALTOOL_BUILD_TESTS=OFF > /dev/null
cmake --build "$BENCH_DIR" -j "$(nproc)" --target sealtool sealkey copy_image batch_floor \
  sealtool_micro_bench make_example_image faulty_pkcs11 > /dev/null

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
print(f"{'run':<15}{'median ms':>11}{'x baseline':>12}{'cpu ms':>9}{'instructions':>14}{'x baseline':>12}")
for name, result, count in zip(names, results, instructions):
    # hyperfine's user and system times are means over the runs.
    cpu = (result["user"] + result["system"]) * 1000
    print(f"{name:<15}{result['median'] * 1000:>11.3f}{result['median'] / base_median:>12.2f}{cpu:>9.3f}"
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

# A release in one batch, held against the floor: what writing its images
# costs at least (bench/batch_floor.cpp: the input read, one SHA-256 and one
# AES-128-CBC at the fastest this machine has, a staged file renamed into
# place), in the same folder, on this file system and on a tmpfs. CPU time
# (user + system, from wait4) of each program, interleaved, ROUNDS times.
echo "== a release in one batch (--batch), in CPU time, beside its floor"
echo "   load average: $(cut -d' ' -f1-3 /proc/loadavg)"
ROUNDS="${ROUNDS:-5}"
prepare_release() {  # folder
  mkdir -p "$1/in" "$1/out" "$1/single" "$1/floor"
  cp aes.txt "$1/body.txt"
  cp "$PROJECT_ROOT/examples/keys/aes-bytes.txt" "$1/seal.txt"
  cp rsa_priv.txt rsa_pub.txt "$1/"
  for i in $(seq 1000); do "$BENCH_DIR/make_example_image" "$1/in/aes$i.bin" 753 24576 "$i" > /dev/null; done
  for i in $(seq 100); do "$BENCH_DIR/make_example_image" "$1/in/rsa$i.bin" 742 24576 "$i" > /dev/null; done
  python3 - "$1" "$MODULE" <<'PYTHON'
import json, sys
folder, module = sys.argv[1], sys.argv[2]
aes = {"defaults": {"chip": 753, "secure_boot": 1, "aes_key": "body.txt", "seal_key": "seal.txt"},
       "images": [{"input": f"in/aes{i}.bin", "output": f"out/aes{i}.sealed"} for i in range(1, 1001)]}
def rsa(count, key):
    return {"defaults": {"chip": 742, "secure_boot": 2, "aes_key": "body.txt", "rsa_pub": "rsa_pub.txt",
                         "rsa_key": key},
            "images": [{"input": f"in/rsa{i}.bin", "output": f"out/rsa{i}.sealed"} for i in range(1, count + 1)]}
token = f"pkcs11:token=bench;id=%01;type=private?module-path={module}"
json.dump(aes, open(f"{folder}/aes.json", "w"))
aes["images"] = aes["images"][:100]
json.dump(aes, open(f"{folder}/aes100.json", "w"))
for name, count, key in (("rsa", 100, "rsa_priv.txt"), ("rsa1", 1, "rsa_priv.txt"),
                         ("token", 100, token), ("token1", 1, token)):
    json.dump(rsa(count, key), open(f"{folder}/{name}.json", "w"))
PYTHON
}
FILE_RELEASE="$WORK/release"
SHM_RELEASE=$(mktemp -d /dev/shm/sealtool-bench.XXXXXX)
trap 'kill "$SERVER_PID" 2> /dev/null; rm -rf "$SHM_RELEASE"' EXIT
prepare_release "$FILE_RELEASE"
prepare_release "$SHM_RELEASE"
unset SEALTOOL_FAULT SEALTOOL_FAULTY_TARGET P11_KIT_SERVER_ADDRESS
python3 - "$BENCH_DIR" "$MODULE" "$ROUNDS" "$FILE_RELEASE" "$SHM_RELEASE" <<'PYTHON'
import os, subprocess, sys
bench, module, rounds = sys.argv[1], sys.argv[2], int(sys.argv[3])
folders = sys.argv[4:]
sealtool = f"{bench}/sealtool"
floor = f"{bench}/bench/batch_floor"

def run(command, cwd):
    """CPU seconds (user + system) of one child."""
    child = subprocess.Popen(command, cwd=cwd, stdout=subprocess.DEVNULL)
    _, status, usage = os.wait4(child.pid, 0)
    if status != 0:
        sys.exit(f"failed ({status}): {' '.join(command)}")
    return usage.ru_utime + usage.ru_stime

def peak(command, cwd):
    """The peak resident KiB of the program itself. A child's maximum RSS
    counts what it held before exec too, so it is started by GNU time (a
    small program), not forked from this script, whose own 14 MiB it would
    report."""
    result = subprocess.run(["/usr/bin/time", "-f", "%M", *command], cwd=cwd, stdout=subprocess.DEVNULL,
                            stderr=subprocess.PIPE, text=True, check=True)
    return int(result.stderr.strip().splitlines()[-1])

def median(values):
    values = sorted(values)
    return values[len(values) // 2]

def interleaved(commands, cwd):
    """The median CPU time of each command over the rounds, run in turn."""
    times = [[] for _ in commands]
    for _ in range(rounds):
        for i, command in enumerate(commands):
            times[i].append(run(command, cwd))
    return [median(t) for t in times]

def file_system(folder):
    return subprocess.run(["stat", "-f", "-c", "%T", folder], capture_output=True, text=True).stdout.strip()

def singles(cwd, count, key):
    total = 0.0
    for i in range(1, count + 1):
        command = [sealtool, "--aes-key", "body.txt"]
        if key == "aes":
            command += ["--seal-key", "seal.txt", f"in/aes{i}.bin", f"single/aes{i}.sealed", "753", "1"]
        else:
            command += ["--rsa-key", f"pkcs11:token=bench;id=%01;type=private?module-path={module}",
                        "--rsa-pub", "rsa_pub.txt", f"in/rsa{i}.bin", f"single/rsa{i}.sealed", "742", "2"]
        total += run(command, cwd)
    return total

for folder in folders:
    print(f"-- {folder} ({file_system(folder)})")
    batch, floor_time = interleaved([[sealtool, "--batch", "aes.json"],
                                     [floor, "aes", "in/aes1.bin", "floor", "1000"]], folder)
    print(f"1000 AES-seal images, key files: batch {batch * 1000:.1f} us an image, floor {floor_time * 1000:.1f} us: "
          f"{batch / floor_time:.2f} x the floor (target at most 1.5 x)")
    rsa100, rsa1, op100, op1 = interleaved([[sealtool, "--batch", "rsa.json"], [sealtool, "--batch", "rsa1.json"],
                                            [floor, "rsa", "100"], [floor, "rsa", "1"]], folder)
    further, operation = (rsa100 - rsa1) / 99, (op100 - op1) / 99
    print(f"RSA images, key files: a further image {further * 1000:.3f} ms, the blinded private operation alone "
          f"{operation * 1000:.3f} ms: {(further - operation) * 1000:+.3f} ms (target at most +0.3 ms)")

folder = folders[-1]
token100, token1, sign100, sign1 = interleaved([[sealtool, "--batch", "token.json"], [sealtool, "--batch", "token1.json"],
                                                [floor, "token", module, "100"], [floor, "token", module, "1"]], folder)
single = singles(folder, 100, "rsa")
further, c_sign = (token100 - token1) / 99, (sign100 - sign1) / 99
print(f"100 RSA images, key in SoftHSM2: batch {token100:.3f} s, 100 single runs {single:.3f} s: "
      f"{single / token100:.1f} x (target at least 10 x)")
print(f"  a further image {further * 1000:.3f} ms, SoftHSM2's C_Sign alone {c_sign * 1000:.3f} ms: "
      f"{further / c_sign:.2f} x (target at most 2 x)")
aes_single = singles(folder, 1000, "aes")
aes_batch = interleaved([[sealtool, "--batch", "aes.json"]], folder)[0]
print(f"1000 AES-seal images: batch {aes_batch:.3f} s, 1000 single runs {aes_single:.3f} s: {aes_single / aes_batch:.1f} x")
for i in (1, 500, 1000):
    if open(f"{folder}/out/aes{i}.sealed", "rb").read() != open(f"{folder}/single/aes{i}.sealed", "rb").read():
        sys.exit(f"aes{i}: the batch's image differs from the single run's")
for i in (1, 100):
    if open(f"{folder}/out/rsa{i}.sealed", "rb").read() != open(f"{folder}/single/rsa{i}.sealed", "rb").read():
        sys.exit(f"rsa{i}: the batch's image differs from the single run's")
peaks = [peak(command, folder) for command in
         ([sealtool, "--batch", "aes100.json"], [sealtool, "--batch", "aes.json"],
          [sealtool, "--aes-key", "body.txt", "--seal-key", "seal.txt", "in/aes1.bin", "single/x.sealed", "753", "1"])]
print(f"peak memory (max RSS, GNU time): batch of 100 images {peaks[0]} KiB, of 1000 {peaks[1]} KiB, "
      f"a single run {peaks[2]} KiB")
PYTHON
echo "   load average after: $(cut -d' ' -f1-3 /proc/loadavg)"
