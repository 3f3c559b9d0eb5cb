#!/usr/bin/env bash
# Builds the throwaway environment in which tests/test_matchms_export.py
# checks that matchms reads our exported libraries.  matchms pins its own
# numpy/scipy/rdkit versions, so it lives in a venv of its own, never in
# the project's.  Needs the package index; the test skips without it.
#   tests/make_matchms_env.sh [VENV_DIR]     (default: build/matchms-venv)
set -euo pipefail
cd "$(dirname "$0")/.."
dir=${1:-build/matchms-venv}
py=$(.venv/bin/python -c 'import sys; print(sys._base_executable)')
"$py" -m venv "$dir"
"$dir/bin/python" -m pip install -q --upgrade pip
"$dir/bin/python" -m pip install -q matchms
"$dir/bin/python" -c 'import matchms; print("matchms", matchms.__version__, "in", "'"$dir"'")'
