#!/usr/bin/env bash
# The main job on a database this project generates: builds the module and
# the fixture writer, writes a sample ESE database, and shows what pellumo
# reads from it. Pass a path to use your own database instead.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
bash scripts/ensure-deps.sh
# The python3 users get on this machine; the module is built for it.
py=$(command -v python3)
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE="$py" >/dev/null
cmake --build "$root/build" -j"$(nproc)" --target pellumo_module pellumo_fixture_tool >/dev/null
db=${1:-}
if [ -z "$db" ]; then
  mkdir -p "$root/out"
  db="$root/out/sample.edb"
  "$root/build/pellumo_fixture_tool" sample "$db"
  echo "generated $db"
fi
PYTHONPATH="$root/build/python" "$py" "$root/scripts/demo.py" "$db" "$root/out"
