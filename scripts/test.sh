#!/usr/bin/env bash
# Builds everything and runs every test: the C++ tests and fuzz-corpus replays
# (ctest) and the Python tests (pytest), first in an optimised build, then
# again under AddressSanitizer and UndefinedBehaviorSanitizer.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/ensure-deps.sh

py=/usr/bin/python3
jobs=$(nproc)

run_suite() {  # build-dir, cmake options...
  local dir=$1
  shift
  cmake -S "$root" -B "$root/$dir" -DPython3_EXECUTABLE="$py" "$@" >/dev/null
  cmake --build "$root/$dir" -j"$jobs"
  (cd "$root/$dir" && ctest --output-on-failure -j"$jobs")
}

echo "== optimised build"
run_suite build -DCMAKE_BUILD_TYPE=RelWithDebInfo
PELLUMO_BUILD_DIR="$root/build" "$py" -m pytest -q -p no:cacheprovider tests/python

echo "== sanitizer build (ASan + UBSan + libstdc++ assertions)"
run_suite build-asan -DCMAKE_BUILD_TYPE=Debug -DPELLUMO_SANITIZE=ON
# The interpreter itself is not instrumented, so the sanitizer runtimes are
# preloaded into it; CPython's own allocations are not leak-checked.
LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libubsan.so)" \
  ASAN_OPTIONS=detect_leaks=0 UBSAN_OPTIONS=halt_on_error=1:print_stacktrace=1 \
  PELLUMO_BUILD_DIR="$root/build-asan" PELLUMO_SANITIZED=1 \
  "$py" -m pytest -q -p no:cacheprovider tests/python
