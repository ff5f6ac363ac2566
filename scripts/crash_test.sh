#!/usr/bin/env bash
# Kills a writer process KILLS times (default 50) and checks after each kill
# that the database opens through brindle.open with nothing acknowledged
# lost and its backlinks in step. Uses the package installed in .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
kills=${1:-50}
shift || true
# Run from a scratch directory so the installed package is imported.
cd "$(mktemp -d)"
exec "$OLDPWD/.venv/bin/python" "$OLDPWD/scripts/crash_test.py" "$kills" "$@"
