"""What a command that writes files from evidence refuses to do, checked
before anything is written (each a RefusedError: one line, exit status 2):

- write into a folder that holds one of its inputs, at any depth: evidence
  folders stay as they were found;
- write over files that exist, unless the user said --overwrite.

    refuse_input_folder(files, out_dir)
    if not args.overwrite:
        refuse_overwrite(paths_the_run_will_write)"""

from __future__ import annotations

import os
from collections.abc import Iterable

from pellumo_cli.shared import RefusedError
from pellumo_cli.text import printable


def _holds(folder: str, path: str) -> bool:
    try:
        return os.path.commonpath([folder, path]) == folder
    except ValueError:  # different drives
        return False


def refuse_input_folder(inputs: Iterable[str], out_dir: str) -> None:
    """RefusedError when out_dir is, or is above, the folder of an input
    (the input's path as given, and the file a link leads to)."""
    folders = {os.path.abspath(out_dir), os.path.realpath(out_dir)}
    for path in inputs:
        for where in {os.path.abspath(path), os.path.realpath(path)}:
            if any(_holds(folder, where) for folder in folders):
                raise RefusedError(f"the output folder {printable(out_dir)} holds the input {printable(path)}: "
                                   "choose a folder outside the evidence")


def refuse_overwrite(paths: Iterable[str]) -> None:
    """RefusedError when any of the paths exists (a file, a link or a
    folder), naming the first and how many more."""
    existing = [p for p in paths if os.path.lexists(p)]
    if existing:
        more = f" (and {len(existing) - 1} more)" if len(existing) > 1 else ""
        raise RefusedError(f"{printable(existing[0])} exists{more}: pass --overwrite to replace")
