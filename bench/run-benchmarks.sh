#!/usr/bin/env bash
# Both benchmarks in one command, on a release build (-O2):
#   1. the micro-benchmarks (Google Benchmark): SHA-256 beside mbedtls, body
#      encryption, RSA signing, each whole mode in process;
#   2. whole runs of sealtool in each of the four modes beside copy_image,
#      a program that only reads the 32768-byte image and writes it back:
#      median wall time with hyperfine, and instructions per run with
#      valgrind's callgrind, measured side by side in one run.
# RUNS (default 1000) sets hyperfine's runs per command.
source "$(dirname "${BASH_SOURCE[0]}")/../scripts/common.sh"

RUNS="${RUNS:-1000}"
BENCH_DIR="$PROJECT_ROOT/build-bench"
install_missing_packages libbenchmark-dev hyperfine valgrind python3

cmake -S "$PROJECT_ROOT" -B "$BENCH_DIR" -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" -DSEALTOOL_BUILD_TESTS=OFF > /dev/null
cmake --build "$BENCH_DIR" -j "$(nproc)" --target sealtool copy_image sealtool_micro_bench \
  make_example_image > /dev/null

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

names=(baseline plain key-record aes-seal rsa)
commands=(
  "$BENCH_DIR/bench/copy_image image753.bin out.bin"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 0"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 3"
  "$BENCH_DIR/sealtool image753.bin out.bin 753 1"
  "$BENCH_DIR/sealtool image742.bin out.bin 742 2"
)
for command in "${commands[@]}"; do
  $command > /dev/null || { echo "failed: $command" >&2; exit 1; }
done

echo "== whole runs: hyperfine, $RUNS runs each, one command after the other in one session"
hyperfine -N --warmup 100 --runs "$RUNS" --style none --export-json hyperfine.json \
  "${commands[@]}" > /dev/null 2>&1

echo "== instructions per run (callgrind)"
for i in "${!commands[@]}"; do
  valgrind --tool=callgrind --callgrind-out-file=/dev/null ${commands[$i]} 2> "callgrind-$i.log" > /dev/null
  grep -o 'Collected : [0-9]*' "callgrind-$i.log" | awk '{print $3}' > "instructions-$i.txt"
done

python3 - "${names[@]}" <<'PYTHON'
import json, sys
names = sys.argv[1:]
results = json.load(open("hyperfine.json"))["results"]
instructions = [int(open(f"instructions-{i}.txt").read()) for i in range(len(names))]
base_median = results[0]["median"]
base_instr = instructions[0]
print(f"{'run':<12}{'median ms':>11}{'x baseline':>12}{'instructions':>14}{'x baseline':>12}")
for name, result, count in zip(names, results, instructions):
    print(f"{name:<12}{result['median'] * 1000:>11.3f}{result['median'] / base_median:>12.2f}"
          f"{count:>14,}{count / base_instr:>12.2f}")
PYTHON
