#!/usr/bin/env bash
# Creates the project's virtual environment (.venv) when it is missing and
# installs the pinned test and benchmark packages (requirements/test.txt)
# into it; reinstalls them only when that list changes. Prints the path of
# the environment's interpreter on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
venv="$root/.venv"
pins="$root/requirements/test.txt"

pick_python() {
  # The interpreter users get by typing python3, provided it can make a venv.
  for candidate in python3 /usr/bin/python3; do
    command -v "$candidate" >/dev/null 2>&1 || continue
    if "$candidate" -c 'import sys, venv, ensurepip; sys.exit(sys.version_info < (3, 10))' 2>/dev/null; then
      command -v "$candidate"
      return
    fi
  done
  echo "venv.sh: no python3 (3.10 or newer) with venv and ensurepip" >&2
  exit 1
}

if [ ! -x "$venv/bin/python" ]; then
  base=$(pick_python)
  echo "creating $venv with $base" >&2
  "$base" -m venv "$venv"
fi
stamp="$venv/.pins.sha256"
want=$( (sha256sum "$pins"; "$venv/bin/python" -VV) | sha256sum | cut -d' ' -f1)
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$want" ]; then
  echo "installing the pinned packages into $venv" >&2
  PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q -r "$pins" >&2
  echo "$want" >"$stamp"
fi
echo "$venv/bin/python"
