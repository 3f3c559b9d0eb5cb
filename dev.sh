#!/usr/bin/env bash
# Set-up and everyday tasks of the project.
#   ./dev.sh main         set up, build, run the module as the main program
#   ./dev.sh test [ARGS]  set up, build, run the whole test suite (pytest ARGS)
#   ./dev.sh bench        set up, build, run the benchmarks (writes bench/results.md)
#   ./dev.sh setup        set up and build only
#   ./dev.sh asan [ARGS]  build with AddressSanitizer + UBSan into build/asan and
#                         run the test suite against it (pytest ARGS)
#   ./dev.sh quick NAME [ARGS]  incremental build into build/dev-NAME, then
#                         pytest ARGS against it (for development; needs setup once)
set -euo pipefail
cd "$(dirname "$0")"

find_python() {
  for c in python3.13 "$HOME"/.pyenv/versions/3.13*/bin/python3.13 /usr/local/bin/python3.13 /usr/bin/python3.13; do
    if command -v "$c" >/dev/null 2>&1 && "$c" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
      command -v "$c"; return 0
    fi
  done
  echo "CPython 3.13 not found: install python3.13 (with venv) first" >&2
  return 1
}

setup() {
  if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    rm -rf .venv
    "$(find_python)" -m venv .venv
  fi
  local stamp=.venv/.deps-stamp
  if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
    .venv/bin/python -m pip install -q --upgrade pip
    .venv/bin/python -m pip install -q scikit-build-core pybind11 cmake ninja \
      numpy networkx matplotlib rdkit mendeleev requests tqdm pyarrow 'dask[distributed]' pytest hypothesis
    touch "$stamp"
  fi
  .venv/bin/python -m pip install -q --no-build-isolation --no-deps .
}

cmd=${1:-test}
[ $# -gt 0 ] && shift
case "$cmd" in
  setup) setup ;;
  main) setup; MPLBACKEND=${MPLBACKEND:-Agg} .venv/bin/corvane-main ;;
  # -P: test the installed package (with its compiled parts), not the source folder
  test) setup; MPLBACKEND=Agg .venv/bin/python -P -m pytest -p no:cacheprovider "$@" ;;
  quick)
    name=$1; shift
    dir=build/dev-$name
    if [ ! -f "$dir/build.ninja" ]; then
      .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" \
        -DPython_EXECUTABLE="$PWD/.venv/bin/python" -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
    fi
    .venv/bin/ninja -C "$dir" >/dev/null
    PYTHONPATH="$PWD/$dir" MPLBACKEND=Agg .venv/bin/python -m pytest -p no:cacheprovider "$@" ;;
  asan)
    setup
    dir=build/asan
    if [ ! -f "$dir/build.ninja" ]; then
      .venv/bin/cmake -S . -B "$dir" -G Ninja -DCMAKE_MAKE_PROGRAM="$PWD/.venv/bin/ninja" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCORVANE_SANITIZE=ON -DPython_EXECUTABLE="$PWD/.venv/bin/python" \
        -Dpybind11_DIR="$(.venv/bin/python -m pybind11 --cmakedir)" >/dev/null
    fi
    .venv/bin/ninja -C "$dir" >/dev/null
    PYTHONPATH="$PWD/$dir" MPLBACKEND=Agg \
      LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      .venv/bin/python -m pytest -p no:cacheprovider "$@" ;;
  bench) setup; MPLBACKEND=Agg .venv/bin/python bench/run.py "$@" ;;
  *) echo "usage: ./dev.sh main|test|bench|setup" >&2; exit 2 ;;
esac
