#!/usr/bin/env bash
# Packaging checks: the wheel is tagged for the stable ABI and passes
# abi3audit, the type stubs match the modules (stubtest), the package and the
# examples pass mypy --strict, and the one built extension imports and works
# under every CPython 3.10+ on this machine.
set -euo pipefail
cd "$(dirname "$0")/.."
export PATH="$PWD/.venv/bin:$PATH"

wheel_dir=build/wheel
rm -rf "$wheel_dir"
python -m pip wheel -q --disable-pip-version-check --no-build-isolation --no-deps -w "$wheel_dir" .
wheel=$(ls "$wheel_dir"/brindle-*.whl)
case "$(basename "$wheel")" in
  *-cp310-abi3-*.whl) echo "wheel: $(basename "$wheel")" ;;
  *) echo "wheel is not tagged cp310-abi3: $wheel" >&2; exit 1 ;;
esac
abi3audit --strict --report "$wheel" | tail -n 3

(cd tests && python -m mypy.stubtest brindle._brindle && python -m mypy.stubtest brindle._tools)
# The examples type-check strictly against the installed package and its stubs
# (run from tests/, so the source folder does not shadow the package).
(cd tests && python -m mypy --strict --no-incremental ../examples)
(cd tests && python -m mypy --strict --no-incremental -p brindle)

unpacked=$(mktemp -d)
trap 'rm -rf "$unpacked"' EXIT
python -m zipfile -e "$wheel" "$unpacked"
# Run from the unpacked wheel, so the script's own folder provides brindle.
cp tests/smoke.py "$unpacked"/
interpreters=()
if command -v pyenv >/dev/null 2>&1; then
  for version in $(pyenv versions --bare 2>/dev/null); do
    candidate="$(pyenv root)/versions/$version/bin/python3"
    [ -x "$candidate" ] && interpreters+=("$candidate")
  done
fi
interpreters+=("$(command -v python3)")
# The same interpreter can be reached from two places (a pyenv shim on PATH
# and pyenv's own folder): ask each for its real executable and test each
# real one once.
declare -A seen=()
tested=0
for interpreter in "${interpreters[@]}"; do
  real=$("$interpreter" -c 'import os, sys; sys.version_info >= (3, 10) and print(os.path.realpath(sys.executable))' \
    2>/dev/null) || continue
  [ -n "$real" ] && [ -z "${seen[$real]:-}" ] || continue
  seen[$real]=1
  printf '%s: ' "$real"
  "$interpreter" "$unpacked/smoke.py"
  tested=$((tested + 1))
done
echo "smoke test passed under $tested distinct interpreter(s)"
