#!/usr/bin/env bash
# The main job on a database this project generates: builds the module and
# the fixture writer (a line per step, then the build's own progress), writes
# a sample ESE database, and runs the `pellumo` command-line tool on it and on
# any database files given, showing engine values (dates as ISO 8601 dates,
# GUIDs as text, multi-values as arrays).
#
#   bash scripts/demo.sh                      # the generated sample only
#   bash scripts/demo.sh /evidence/SRUDB.dat  # the sample, then this file
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out="$root/out"
step=0
steps=5
say() {
  step=$((step + 1))
  printf '\n== [%d/%d] %s\n' "$step" "$steps" "$*"
}

say "checking the build's dependencies (installs what is missing)"
bash scripts/ensure-deps.sh
# The python3 users get on this machine; the module is built for it.
py=$(command -v python3)

say "configuring the build in build/ for $py"
cmake -S "$root" -B "$root/build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DPython3_EXECUTABLE="$py" >/dev/null
echo "configured"

say "building the module and the fixture writer (the first build takes a few minutes)"
cmake --build "$root/build" -j"$(nproc)" --target pellumo_module pellumo_fixture_tool

say "writing a sample database"
mkdir -p "$out"
sample="$out/sample.edb"
"$root/build/pellumo_fixture_tool" sample "$sample"
echo "generated $sample"

# The command-line tool from this checkout, on the module just built.
pellumo() {
  PYTHONPATH="$root/build/python:$root/python" "$py" -m pellumo_cli "$@"
}

# Runs one command, showing it first; the exit status is shown when it is
# not 0 (3: the file is damaged, every warning printed) and the demo goes on.
run() {
  printf '\n$ pellumo %s\n' "$*"
  local status=0
  pellumo "$@" || status=$?
  if [ "$status" -ne 0 ]; then echo "(exit status $status)"; fi
}

# What the tool shows of one database: its header, tables, the first
# records of a table in engine values, its check, and an export with its
# manifest.
show() {
  local db=$1 table=$2 name
  name=$(basename "$db")
  run info "$db"
  run tables "$db"
  run dump "$db" "$table" --values engine --limit 3
  run check "$db"
  run export "$db" "$out/$name-export" --overwrite
  if [ -f "$out/$name-export/manifest.json" ]; then
    echo "manifest: $out/$name-export/manifest.json"
  fi
}

say "running the pellumo command-line tool"
show "$sample" Events
for db in "$@"; do
  # Its first table after the catalog (MSysObjects when there is none).
  first=$(PYTHONPATH="$root/build/python" "$py" -c 'import sys, pellumo
names = [n for n in pellumo.EseDatabase(sys.argv[1]).get_tables() if n != "MSysObjects"]
print(names[0] if names else "MSysObjects")' "$db" 2>/dev/null) || first=MSysObjects
  show "$db" "$first"
done
echo
echo "The same reads from Python: PYTHONPATH=build/python python3 scripts/demo.py $sample"
