#!/usr/bin/env bash
# Builds everything and runs every test:
#   1. lint and type checks of the Python code (ruff, mypy --strict);
#   2. an optimised build: the C++ tests and fuzz-corpus replays (ctest);
#   3. the distribution: an sdist, a wheel built from that sdist, installed
#      into the project's virtual environment; the type stub checked against
#      the installed module (stubtest); the Python tests against that install;
#   4. a build under AddressSanitizer and UndefinedBehaviorSanitizer: ctest
#      and the Python tests again, against the sanitized module.
# Debian's packages and the pinned Python packages are installed when missing.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
start=$SECONDS
bash scripts/ensure-deps.sh
py=$(bash scripts/venv.sh | tail -1)
jobs=$(nproc)
export PIP_DISABLE_PIP_VERSION_CHECK=1

run_ctest() {  # build-dir, cmake options...
  local dir=$1
  shift
  cmake -S "$root" -B "$root/$dir" -DPython3_EXECUTABLE="$py" "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  (cd "$root/$dir" && ctest --output-on-failure -j"$jobs")
}

# pytest exits 5 when it collects nothing: that is a failure here too.
run_pytest() {
  "$py" -m pytest -q -p no:cacheprovider "$@" tests/python
}

echo "== lint and types"
python_packages=(python/pellumo_cli)
for extra in python/pellumo_fleet python/pellumo_artifacts; do [ -d "$extra" ] && python_packages+=("$extra"); done
"$py" -m ruff check python bench scripts
"$py" -m mypy --strict "${python_packages[@]}" python/pellumo.pyi

echo "== optimised build"
run_ctest build -DCMAKE_BUILD_TYPE=RelWithDebInfo

echo "== sdist, wheel from the sdist, install"
rm -rf "$root/dist"
"$py" -m build --outdir "$root/dist" "$root" >"$root/build/dist.log" 2>&1 || { tail -50 "$root/build/dist.log"; exit 1; }
"$py" -m pip install -q --force-reinstall --no-deps "$root"/dist/pellumo-*.whl
# The stub checked against the installed module; MYPYPATH names the source
# copy of the stub, which the wheel installs unchanged (a test checks that).
MYPYPATH="$root/python" "$py" -m mypy.stubtest pellumo

echo "== Python tests against the installed wheel"
PELLUMO_INSTALLED=1 PELLUMO_BUILD_DIR="$root/build" PELLUMO_DIST_DIR="$root/dist" run_pytest

echo "== sanitizer build (ASan + UBSan + libstdc++ assertions)"
run_ctest build-asan -DCMAKE_BUILD_TYPE=Debug -DPELLUMO_SANITIZE=ON
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it; CPython's own allocations are not leak-checked. The
# tests that start Spark or a Dask cluster exercise the same native code as
# the rest and only take time here: they run in the pass above.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PELLUMO_BUILD_DIR="$root/build-asan" PELLUMO_SANITIZED=1 \
  run_pytest -m "not integration"

echo "== all tests passed in $((SECONDS - start)) s"
