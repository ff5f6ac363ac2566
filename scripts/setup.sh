#!/usr/bin/env bash
# Installs what building and testing Brindle needs, skipping what is there:
# Debian packages (compiler, GoogleTest, Google Benchmark, and any named as
# arguments, as scripts/fuzz.sh names clang's) with apt-get, and a virtual
# environment in .venv made from the `python3` on PATH (on our machines the
# pyenv CPython 3.11) with the Python build and test tools.
set -euo pipefail
cd "$(dirname "$0")/.."

debian_packages=(g++ libgtest-dev libbenchmark-dev "$@")
missing=()
for package in "${debian_packages[@]}"; do
  dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed" || missing+=("$package")
done
if ((${#missing[@]})); then
  echo "setup: installing ${missing[*]} from Debian"
  sudo_cmd=()
  [ "$(id -u)" -eq 0 ] || sudo_cmd=(sudo)
  "${sudo_cmd[@]}" apt-get update -qq
  DEBIAN_FRONTEND=noninteractive "${sudo_cmd[@]}" apt-get install -y -qq "${missing[@]}" >/dev/null
fi

python=${PYTHON:-python3}
if [ ! -x .venv/bin/python ]; then
  echo "setup: creating .venv with $("$python" --version 2>&1) ($(command -v "$python"))"
  "$python" -m venv .venv
fi
stamp=.venv/.brindle-tools
tools="scikit-build-core>=0.10 cmake>=3.24 ninja pytest hypothesis mypy abi3audit tqdm"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$tools" ]; then
  echo "setup: installing Python tools into .venv"
  .venv/bin/python -m pip install -q --disable-pip-version-check $tools
  echo "$tools" > "$stamp"
fi
