#!/usr/bin/env bash
# The main job: set up, build and install Brindle, then run the quickstart.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
bash scripts/build_module.sh
cd examples && ../.venv/bin/python quickstart.py
