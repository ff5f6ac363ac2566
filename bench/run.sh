#!/usr/bin/env bash
# The benchmark in one command: makes .venv when missing, installs lmdb into
# it, builds and installs the module, then prints the side-by-side table
# (Brindle, sqlite3, lmdb, plain dicts), the scaling table and the link-upkeep
# figures, each with the ratio its target names.
#
#   bash bench/run.sh            # 50,000 books; scaling at 20k and 200k records
#   bash bench/run.sh --scale    # adds the 1,000,000-record scaling run
#   bash bench/run.sh --n=20000  # a smaller side-by-side working set
#   bash bench/run.sh --rounds=1 # one round of the side by side instead of 3
#   bash bench/run.sh --no-build # measure the module already in .venv
#   bash bench/run.sh --quick --n=5000 --links=10000  # a smoke run of seconds
#
# Runs nice'd: the figures are for comparing within one run, not absolute.
set -euo pipefail
cd "$(dirname "$0")/.."
[ -x .venv/bin/python ] || bash scripts/setup.sh
.venv/bin/python -c "import lmdb" 2>/dev/null || .venv/bin/python -m pip install -q --disable-pip-version-check lmdb
args=()
build=1
for arg in "$@"; do
  if [ "$arg" = "--no-build" ]; then build=0; else args+=("$arg"); fi
done
[ "$build" = 1 ] && nice bash scripts/build_module.sh
exec nice .venv/bin/python bench/run.py "${args[@]}"
