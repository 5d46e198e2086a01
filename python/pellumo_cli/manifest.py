"""manifest.json: what an export read and wrote, for the record of an
examination. Beside the output it lists the command, when it ran, whether it
finished, and every input with its size, SHA-256 and state, each table with
its record count, the damage met reading it, and its output file with that
file's SHA-256:

    {"tool": "pellumo", "version": "0.2.0", "command": ["pellumo", "export", ...],
     "started": "2024-03-01T12:00:00Z", "finished": "2024-03-01T12:00:07Z", "complete": true,
     "inputs": [{"path": "SRUDB.dat", "size": 1835008, "sha256": "...", "state": "dirty",
                 "catalog_damage": {"pages_refused": 0, "entries_skipped": 0, ...},
                 "tables": [{"name": "SruDbIdMapTable", "records": 476, "pages_refused": 0,
                             "entries_skipped": 0, "records_undecodable": 0, "values_unresolved": 0,
                             "output": "SruDbIdMapTable.jsonl", "output_sha256": "..."}]}]}

An input's "catalog_damage" counts what its open could not read of the
catalog (MSysObjects): the tables listed on a page it lost are missing from
its "tables".

"complete" is false when the run was interrupted or stopped: the manifest
then lists what was finished. An input that could not be read has "error";
a table that could not be read has "error" and no output. Output paths are
relative to the folder that holds the manifest.

The pieces are plain functions and one collecting class, for any command that
writes files from inputs (export, artifacts):

    manifest = Manifest(argv, inputs)
    manifest.set_input(path, describe_input(path, db))
    manifest.add_table(path, describe_table(name, records, damage, output_file))
    manifest.write(out_dir, complete=True)"""

from __future__ import annotations

import datetime
import hashlib
import json
import os
import tempfile
import threading
from collections.abc import Iterable, Mapping, Sequence
from typing import Any

import pellumo

from pellumo_cli.text import state_name

FILE_NAME = "manifest.json"
_CHUNK = 1 << 20
# The members of a table's entry that name a written file.
_OUTPUT_KEYS = ("output", "recovered_output")
DAMAGE_KEYS = ("pages_refused", "entries_skipped", "records_undecodable", "values_unresolved")


def utc_now() -> str:
    """The time as ISO 8601 in UTC, to the second: 2024-03-01T12:00:00Z."""
    now = datetime.datetime.now(datetime.timezone.utc).replace(microsecond=0, tzinfo=None)
    return now.isoformat() + "Z"


def file_digest(path: str) -> tuple[str, int]:
    """The file's SHA-256 (hex) and its count of newlines (the records of a
    JSON Lines file), read once. OSError when it cannot be read."""
    digest = hashlib.sha256()
    lines = 0
    with open(path, "rb") as f:
        while chunk := f.read(_CHUNK):
            digest.update(chunk)
            lines += chunk.count(b"\n")
    return digest.hexdigest(), lines


def file_sha256(path: str) -> str:
    return file_digest(path)[0]


def describe_input(path: str, db: pellumo.EseDatabase | None, error: str | None = None) -> dict[str, Any]:
    """An input's entry, its tables still to come. Hashing reads the whole
    file: call it on the thread (or process) that exports the file."""
    entry: dict[str, Any] = {"path": path}
    try:
        entry["size"] = os.path.getsize(path)
        entry["sha256"] = file_sha256(path)
    except OSError as problem:
        entry["size"] = entry["sha256"] = None
        error = error or f"cannot read the file: {problem.strerror or problem}"
    entry["state"] = state_name(db.state) if db is not None else None
    # What the open could not read of the catalog: tables listed there are
    # missing from the tables below, and only this says so.
    catalog = db.catalog_damage_warning if db is not None else None
    counts: Mapping[str, Any] = catalog.damage if catalog is not None else {}
    entry["catalog_damage"] = None if db is None else {key: int(counts.get(key, 0)) for key in DAMAGE_KEYS}
    if error is not None:
        entry["error"] = error
    entry["tables"] = []
    return entry


def describe_table(name: str, records: int, damage: Mapping[str, Any] | None, output: str | None,
                   *, output_sha256: str | None = None, error: str | None = None) -> dict[str, Any]:
    """A table's entry. `output` is the written file, hashed here unless its
    SHA-256 is given; None with `error` for a table that could not be read."""
    entry: dict[str, Any] = {"name": name, "records": records}
    for key in DAMAGE_KEYS:
        entry[key] = int(damage[key]) if damage else 0
    entry["output"] = output
    entry["output_sha256"] = output_sha256 if output_sha256 is not None or output is None else file_sha256(output)
    if error is not None:
        entry["error"] = error
    return entry


class Manifest:
    """The manifest of one run, filled as inputs and tables finish (from any
    thread) and written at the end, finished or not."""

    def __init__(self, command: Sequence[str], inputs: Iterable[str] = ()) -> None:
        self.started = utc_now()
        self.command = list(command)
        self._order = {path: i for i, path in enumerate(inputs)}
        self._inputs: dict[str, dict[str, Any]] = {}
        self._lock = threading.Lock()

    def set_input(self, path: str, entry: dict[str, Any]) -> None:
        """The input's entry (describe_input); tables already added stay."""
        with self._lock:
            before = self._inputs.get(path)
            entry = dict(entry, tables=list(entry.get("tables", [])) + (before["tables"] if before else []))
            self._inputs[path] = entry
            self._order.setdefault(path, len(self._order))

    def add_table(self, path: str, table: dict[str, Any]) -> None:
        """A finished table of the input (describe_table)."""
        with self._lock:
            if path not in self._inputs:
                self._inputs[path] = {"path": path, "tables": []}
                self._order.setdefault(path, len(self._order))
            self._inputs[path]["tables"].append(table)

    def inputs(self) -> int:
        """Inputs entered so far."""
        with self._lock:
            return len(self._inputs)

    def as_dict(self, out_dir: str, complete: bool) -> dict[str, Any]:
        with self._lock:
            inputs = [self._inputs[p] for p in sorted(self._inputs, key=lambda p: self._order[p])]
            listed = []
            for entry in inputs:
                tables = [{key: os.path.relpath(value, out_dir) if key in _OUTPUT_KEYS and value is not None
                           else value for key, value in t.items()} for t in entry["tables"]]
                listed.append(dict(entry, tables=tables))
        return {"tool": "pellumo", "version": pellumo.__version__, "command": self.command,
                "started": self.started, "finished": utc_now(), "complete": complete, "inputs": listed}

    def write(self, out_dir: str, complete: bool) -> str:
        """Writes out_dir/manifest.json, whole or not at all (a temporary file
        renamed into place); returns its path."""
        manifest = self.as_dict(out_dir, complete)
        data = json.dumps(manifest, indent=2, ensure_ascii=False) + "\n"
        try:
            data.encode("utf-8")
        except UnicodeEncodeError:
            # A name that is not UTF-8 (a str with surrogate escapes): JSON's
            # escapes keep it exact and the file valid.
            data = json.dumps(manifest, indent=2) + "\n"
        os.makedirs(out_dir, exist_ok=True)
        final = os.path.join(out_dir, FILE_NAME)
        fd, partial = tempfile.mkstemp(prefix=".manifest-", suffix=".json", dir=out_dir)
        try:
            with os.fdopen(fd, "w", encoding="utf-8") as f:
                f.write(data)
            os.replace(partial, final)
        except BaseException:
            try:
                os.unlink(partial)
            except OSError:
                pass
            raise
        return final
