#!/usr/bin/env bash
# Fuzzing: builds the libFuzzer programs under fuzz/ with clang, AddressSanitizer
# and UndefinedBehaviorSanitizer, and runs each for SECONDS on one core,
# starting from the committed seeds (fuzz/corpus) and past findings
# (fuzz/regressions). Prints executions and findings per target; exits 1 on
# any finding, whose input is kept under build/fuzz/findings/<target>.
#
#   bash scripts/fuzz.sh SECONDS [TARGET...]    (targets: decode_value data_file
#                                                backlink_file database json_value
#                                                tools)
# FUZZ_RUNS=N also stops each target after N executions, whichever comes first.
# Replay one input: build/fuzz/fuzz/fuzz_<target> FILE
# (the database target prints its steps with BRINDLE_FUZZ_TRACE=1).
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/quiet.sh
if [ $# -lt 1 ] || ! [[ $1 =~ ^[0-9]+$ ]]; then
  echo "usage: bash scripts/fuzz.sh SECONDS [TARGET...]" >&2
  exit 2
fi
seconds=$1
shift
targets=("$@")
((${#targets[@]})) || targets=(decode_value data_file backlink_file database json_value tools)

clang_version=19
bash scripts/setup.sh "clang-$clang_version" "libfuzzer-$clang_version-dev" "libclang-rt-$clang_version-dev"
export PATH="$PWD/.venv/bin:$PATH"

build=build/fuzz
quiet cmake -S . -B "$build" -G Ninja -DCMAKE_CXX_COMPILER="clang++-$clang_version" \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_FUZZ=ON -DBRINDLE_TESTS=OFF -DBRINDLE_PYTHON=OFF \
  -DBRINDLE_WERROR=ON
quiet ninja -C "$build" -j "$(nproc)"

# The targets create and remove files for every input: on a memory file
# system that costs far less. One folder for the run, removed at the end even
# when a target stopped on a finding and left its files behind.
scratch_parent=/tmp
if [ -d /dev/shm ] && [ -w /dev/shm ]; then scratch_parent=/dev/shm; fi
TMPDIR=$(mktemp -d "$scratch_parent/brindle-fuzz.XXXXXX")
export TMPDIR
trap 'rm -rf "$TMPDIR"' EXIT

findings_total=0
for target in "${targets[@]}"; do
  program="$build/fuzz/fuzz_$target"
  [ -x "$program" ] || { echo "no fuzz target named $target" >&2; exit 2; }
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  rm -rf "$findings"
  mkdir -p "$corpus" "$findings"
  seeds=(fuzz/corpus/"$target")
  [ -d fuzz/regressions/"$target" ] && seeds+=(fuzz/regressions/"$target")
  log="$build/$target.log"
  # New inputs go to the first folder; the seeds stay as committed.
  status=0
  nice "$program" "$corpus" "${seeds[@]}" -max_total_time="$seconds" -runs="${FUZZ_RUNS:--1}" -timeout=10 -rss_limit_mb=2048 \
    -max_len=8192 -print_final_stats=1 -artifact_prefix="$findings/" >"$log" 2>&1 || status=$?
  executions=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
  found=$(find "$findings" -type f | wc -l)
  if ((status)) && ((found == 0)); then
    # Stopped without leaving an input behind (e.g. failed to start).
    tail -n 30 "$log" >&2
    found=1
  fi
  printf '%-14s %12s executions  %d finding(s)\n' "$target" "${executions:-0}" "$found"
  if ((found)); then
    find "$findings" -type f -printf '  %p\n'
    grep -m 1 -E 'fuzz check failed|ERROR: (AddressSanitizer|libFuzzer|LeakSanitizer)|runtime error' "$log" |
      sed 's/^/  /' || true
  fi
  findings_total=$((findings_total + found))
done
((findings_total == 0)) || { echo "fuzzing: $findings_total finding(s); logs in $build/*.log" >&2; exit 1; }
