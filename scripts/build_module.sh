#!/usr/bin/env bash
# Builds the extension module and installs the package into .venv.
set -euo pipefail
cd "$(dirname "$0")/.."
.venv/bin/python -m pip install -q --disable-pip-version-check --no-build-isolation --no-deps .
