#!/usr/bin/env bash
# Runs the Python suite against the extension built with AddressSanitizer and
# UndefinedBehaviorSanitizer. The interpreter itself is not instrumented, so
# the sanitizer runtime is preloaded; leak checking is off because the
# interpreter keeps objects alive until exit by design.
set -euo pipefail
cd "$(dirname "$0")/.."
source scripts/quiet.sh
export PATH="$PWD/.venv/bin:$PATH"
build=build/asan-python
quiet cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Debug -DBRINDLE_SANITIZE=ON -DBRINDLE_TESTS=OFF -DBRINDLE_WERROR=ON \
  -DPython_EXECUTABLE="$PWD/.venv/bin/python"
quiet ninja -C "$build" -j "$(nproc)" _brindle _tools
package="$build/package/brindle"
rm -rf "$package"
mkdir -p "$package"
cp brindle/*.py brindle/py.typed "$package"/
cp "$build"/_brindle*.so "$build"/_tools*.so "$build"/_version.py "$package"/
runtime=$(g++ -print-file-name=libasan.so)
(cd tests && PYTHONPATH="$PWD/../$build/package" LD_PRELOAD="$runtime" \
  ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  BRINDLE_UNDER_SANITIZER=1 python -m pytest -q -p no:cacheprovider python)
