#!/usr/bin/env bash
# Builds the extension module and installs the package into .venv. Extra
# arguments go to pip, e.g. `-C cmake.define.BRINDLE_WERROR=ON` as the test
# command passes.
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps "$@" .
