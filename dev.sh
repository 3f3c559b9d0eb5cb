#!/usr/bin/env bash
# Set-up and everyday tasks of the project.
#   ./dev.sh main         set up, build, run the module as the main program
#   ./dev.sh test [ARGS]  set up, build, run the core's C++ tests (ctest) and the
#                         whole Python test suite (pytest ARGS)
#   ./dev.sh bench        set up, build, run the benchmarks (writes bench/results.md)
#   ./dev.sh setup        set up and build only
#   ./dev.sh asan [ARGS]  build both extensions (corvane and corvane_spectra's _core)
#                         with AddressSanitizer + UBSan into build/asan and run
#                         the test suite against them (pytest ARGS)
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

say() { printf '==> %s\n' "$*" >&2; }

# The C++ test framework of the core library's unit tests (Debian's
# doctest-dev), installed through apt when it is missing and apt can be used.
ensure_doctest() {
  [ -f /usr/include/doctest/doctest.h ] && return 0
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    say "installing doctest-dev (the C++ test framework) with apt-get"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq doctest-dev >/dev/null
  else
    say "doctest-dev (the C++ test framework) is missing: install it to run the core's C++ tests"
    return 1
  fi
}

# The browser the tests of the HTML reports open the reports in (Debian's
# chromium, driven by playwright), installed through apt like doctest-dev.
ensure_chromium() {
  command -v chromium >/dev/null 2>&1 && return 0
  if command -v apt-get >/dev/null 2>&1 && [ "$(id -u)" = 0 ]; then
    say "installing chromium (the browser of the HTML report tests) with apt-get"
    apt-get update -qq >/dev/null
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq chromium >/dev/null
  else
    say "chromium is missing: the HTML report tests will be skipped"
  fi
}

# The build requirements, the runtime dependencies and every optional extra
# of pyproject.toml but matchms, one per line.
pyproject_requirements() {
  .venv/bin/python - <<'PY'
import tomllib
with open("pyproject.toml", "rb") as f:
    d = tomllib.load(f)
reqs = d["build-system"]["requires"] + d["project"]["dependencies"]
for name, extra in d["project"].get("optional-dependencies", {}).items():
    if name != "matchms":   # pins its own numpy/numba: a throwaway venv of its own
        reqs += extra
print("\n".join(reqs))
PY
}

# One indented line per compiled or linked unit of the build's output ("[3/41] lpi_core.cpp").
build_progress() {
  awk '
    /^ *\[[0-9]+\/[0-9]+\] / {
      step = $1; sub(/^ *\[[0-9]+\/[0-9]+\] /, "")
      if (match($0, /[^ ]+\.(cpp|cc|c)\.o$/)) { verb = "compiling"; name = substr($0, RSTART, RLENGTH - 2) }
      else if ($0 ~ /^Linking/) { verb = "linking"; name = $NF }
      else next
      sub(/.*\.dir\//, "", name); printf "    %s %s %s\n", step, verb, name; fflush()
    }' >&2
}

build_dir() { ls -d build/cp313-* 2>/dev/null | head -n 1; }

setup() {
  local t0=$SECONDS
  if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    say "creating the virtual environment .venv (CPython 3.13)"
    rm -rf .venv
    "$(find_python)" -m venv .venv
  fi
  local stamp=.venv/.deps-stamp
  if [ ! -f "$stamp" ] || [ pyproject.toml -nt "$stamp" ]; then
    say "installing the dependencies listed in pyproject.toml (about 1.5 minutes the first time)"
    .venv/bin/python -m pip install -q --upgrade pip
    local reqs
    reqs=$(pyproject_requirements)
    # shellcheck disable=SC2086
    .venv/bin/python -m pip install -q $reqs
    touch "$stamp"
  fi
  local tests=OFF
  ensure_doctest && tests=ON
  ensure_chromium || true
  say "building and installing corvane (about 1 to 3 minutes on two cores from scratch, seconds after a small change)"
  mkdir -p build
  local log=build/setup-build.log
  # pip -v lets ninja's "[k/n]" line of each compiled unit through; the rest goes to the log only.
  if ! .venv/bin/python -m pip install -v --no-build-isolation --no-deps -Ccmake.define.CORVANE_TESTS=$tests . \
      2>&1 | tee "$log" | build_progress; then
    say "the build failed; its last lines follow (the whole log: $log)"
    tail -n 60 "$log" >&2
    return 1
  fi
  say "set-up done in $((SECONDS - t0)) s"
}

# The core library's C++ unit tests, from the build that setup made.
core_tests() {
  local dir
  dir=$(build_dir)
  if [ -z "$dir" ] || [ ! -f "$dir/CTestTestfile.cmake" ]; then
    say "no C++ tests were built (doctest-dev missing): skipping them"
    return 0
  fi
  say "running the core library's C++ tests (ctest)"
  local log
  log=$(mktemp)
  if .venv/bin/ctest --test-dir "$dir" --output-on-failure >"$log" 2>&1; then
    grep -E "tests passed" "$log" >&2 || true
    rm -f "$log"
  else
    cat "$log" >&2
    rm -f "$log"
    return 1
  fi
}

cmd=${1:-test}
[ $# -gt 0 ] && shift
case "$cmd" in
  setup) setup ;;
  main) setup; MPLBACKEND=${MPLBACKEND:-Agg} .venv/bin/corvane-main ;;
  # -P: the tests import the installed build, not the source folders beside them.
  test) setup; core_tests; MPLBACKEND=Agg .venv/bin/python -P -m pytest -p no:cacheprovider "$@" ;;
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
    # Both extensions come from this build: corvane.so from the build folder,
    # corvane_spectra as its sources with the sanitized _core beside them
    # (the installed package would bring the plain build's _core).  -P keeps
    # the source folders of the work tree off the path; batch workers inherit
    # the path and the preloaded sanitizers.
    pkg=$dir/pkg
    rm -rf "$pkg"
    mkdir -p "$pkg"
    cp -r corvane_spectra "$pkg/"
    rm -rf "$pkg/corvane_spectra/src"
    cp "$dir"/_core.*.so "$pkg/corvane_spectra/"
    PYTHONPATH="$PWD/$pkg:$PWD/$dir" MPLBACKEND=Agg \
      LD_PRELOAD="$(g++ -print-file-name=libasan.so):$(g++ -print-file-name=libubsan.so)" \
      ASAN_OPTIONS=detect_leaks=0:abort_on_error=1 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
      .venv/bin/python -P -m pytest -p no:cacheprovider "$@" ;;
  bench) setup; MPLBACKEND=Agg .venv/bin/python bench/run.py "$@" ;;
  *) echo "usage: ./dev.sh main|test|bench|setup" >&2; exit 2 ;;
esac
