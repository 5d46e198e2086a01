#!/usr/bin/env bash
# Builds every libFuzzer target (tests/fuzz/*_fuzz.cpp) with clang and runs
# each in turn for a given time, starting from the committed seeds.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); TARGETs by name (open_fuzz, ...), every
# target when none is named. The build goes to build-fuzz/; what a run adds
# to a corpus stays in build-fuzz/corpus/<target>/ (copy a finding worth
# keeping into tests/fuzz/corpus/ by hand), crashes land in
# build-fuzz/crashes/<target>/. Exits 1 when any target crashed.
#
# Needs clang and libFuzzer: on Debian 12, `apt-get install clang
# libclang-rt-14-dev` (the default clang; any later one works too, named by
# CXX=clang++-16 for example).
set -euo pipefail

seconds=${1:-60}
shift || true
case $seconds in
  '' | *[!0-9]*) echo "usage: scripts/fuzz.sh [SECONDS] [TARGET...]" >&2; exit 2 ;;
esac

root=$(cd "$(dirname "$0")/.." && pwd)
build=$root/build-fuzz
cxx=${CXX:-clang++}
if ! command -v "$cxx" >/dev/null 2>&1; then
  echo "fuzz.sh: $cxx not found; on Debian: apt-get install clang libclang-rt-14-dev" >&2
  exit 2
fi
if ! echo 'extern "C" int LLVMFuzzerTestOneInput(const char*, unsigned long) { return 0; }' |
    "$cxx" -x c++ -fsanitize=fuzzer - -o /dev/null 2>/dev/null; then
  echo "fuzz.sh: $cxx cannot link libFuzzer; on Debian: apt-get install libclang-rt-14-dev" >&2
  exit 2
fi

# Largest input each target may grow to. libFuzzer otherwise never goes past
# its largest seed: the file-level targets get room for databases of many
# pages (16 pages of 32 KiB), the others a page or a record and a bit.
max_len() {
  case $1 in
    open_fuzz | recover_fuzz | long_value_fuzz | carve_request_fuzz | arrow_fuzz) echo 524288 ;;
    page_fuzz | carve_range_fuzz) echo 32800 ;;
    json_fuzz) echo 65536 ;;
    *) echo 32768 ;;
  esac
}

targets=("$@")
if [ ${#targets[@]} -eq 0 ]; then
  for source in "$root"/tests/fuzz/*_fuzz.cpp; do
    targets+=("$(basename "$source" .cpp)")
  done
fi

launcher=()
command -v ccache >/dev/null 2>&1 && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
cmake -S "$root" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER="$cxx" "${launcher[@]}" \
  -DPELLUMO_FUZZ=ON -DPELLUMO_BUILD_PYTHON=OFF >/dev/null
cmake --build "$build" -j2 --target "${targets[@]}"

failed=()
for target in "${targets[@]}"; do
  corpus=$build/corpus/$target
  crashes=$build/crashes/$target
  mkdir -p "$corpus" "$crashes"
  echo "== $target: ${seconds}s, inputs up to $(max_len "$target") bytes"
  # New inputs go to the first directory; the seeds are only read.
  if ! "$build/$target" "$corpus" "$root/tests/fuzz/corpus/$target" -max_total_time="$seconds" \
      -max_len="$(max_len "$target")" -timeout=30 -rss_limit_mb=4096 -print_final_stats=1 \
      -artifact_prefix="$crashes/" 2>"$build/$target.log"; then
    failed+=("$target")
    tail -n 40 "$build/$target.log" >&2
  fi
  grep -E '^stat::(number_of_executed_units|peak_rss_mb)|^Done ' "$build/$target.log" || true
done

if [ ${#failed[@]} -ne 0 ]; then
  echo "crashed: ${failed[*]} (inputs in $build/crashes/)" >&2
  exit 1
fi
echo "no crash in ${#targets[@]} targets"
