#!/usr/bin/env bash
# Every test: C++ unit tests plain and under AddressSanitizer +
# UndefinedBehaviorSanitizer, the Python suite against the installed module
# (plain, then again with the module built under the sanitizers), a crash
# test that kills a writer 50 times, the stub and stable-ABI checks, an import
# smoke test of one wheel under every CPython 3.10+ on the machine, and last a
# short run of every fuzz target.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/quiet.sh
bash scripts/setup.sh
export PATH="$PWD/.venv/bin:$PATH"
jobs=$(nproc)

step() { printf '\n=== %s\n' "$*"; }

step "C++ unit tests"
quiet cmake -S . -B build/release -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DBRINDLE_PYTHON=OFF -DBRINDLE_BENCH=ON -DBRINDLE_WERROR=ON
quiet ninja -C build/release -j "$jobs"
ctest --test-dir build/release -j "$jobs" --output-on-failure

step "C++ unit tests under ASan + UBSan"
quiet cmake -S . -B build/asan -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRINDLE_SANITIZE=ON -DBRINDLE_PYTHON=OFF -DBRINDLE_WERROR=ON
quiet ninja -C build/asan -j "$jobs"
ASAN_OPTIONS=detect_leaks=1 ctest --test-dir build/asan -j "$jobs" --output-on-failure

step "Python tests"
bash scripts/build_module.sh -C cmake.define.BRINDLE_WERROR=ON
(cd tests && python -m pytest -q -p no:cacheprovider python)

step "Crash test: a writer killed 50 times (longer runs: bash scripts/crash_test.sh KILLS)"
bash scripts/crash_test.sh 50

step "Stub and stable-ABI checks"
bash scripts/check_package.sh

step "Python tests with the module under ASan + UBSan"
bash scripts/asan_python_tests.sh

step "Fuzzing, 20 s per target (longer runs: bash scripts/fuzz.sh SECONDS)"
bash scripts/fuzz.sh 20
