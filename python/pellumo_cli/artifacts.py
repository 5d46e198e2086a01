"""`pellumo artifacts`: artifact databases (SRUM, User Access Logging, BITS,
File History, catroot, ...) turned into their named, resolved tables as
Parquet, CSV or JSON Lines, and a timeline of them all.

Each input gets a folder named as `pellumo export` names its per-file
folders (the file's path below the inputs' common folder; a single input's
own name) holding TABLE.EXT and warnings.txt, and OUT_DIR/manifest.json
lists every input (size, SHA-256, kind, the damage its reads met) and every
table written (records, damage, SHA-256), as `pellumo export` writes it.
Files are written under temporary names in a private folder and renamed when
complete, so Ctrl-C (exit status 130) never leaves a half-written file. Files
of no known kind, and files that cannot be read, are listed and skipped (exit
status 1). Damage met while reading is printed once per table read on stderr
and, the output being complete as far as the files allow, exits 3. Existing
outputs are not replaced without --overwrite, and OUT_DIR may not hold an
input (exit status 2)."""

from __future__ import annotations

import argparse
import datetime
import fnmatch
import json
import math
import os
import shutil
import tempfile
import threading
import uuid
import warnings
from collections.abc import Callable
from dataclasses import dataclass, field
from typing import Any, TextIO

from pellumo_cli import status
from pellumo_cli.damage import DamageLog
from pellumo_cli.export import (
    _PARTIAL_PREFIX,
    Outcome,
    Progress,
    Settings,
    _csv_converter,
    _run,
    expand_inputs,
    output_dirs,
    output_file_name,
    partial_folder,
    require_pyarrow,
    write_manifest,
)
from pellumo_cli.manifest import DAMAGE_KEYS, Manifest, describe_input, describe_table
from pellumo_cli.manifest import FILE_NAME as MANIFEST_NAME
from pellumo_cli.safeguards import refuse_input_folder, refuse_overwrite
from pellumo_cli.shared import CliError, jobs
from pellumo_cli.text import printable

FORMATS = ("parquet", "csv", "jsonl")
_EXTENSIONS = {"parquet": ".parquet", "csv": ".csv", "jsonl": ".jsonl"}
WARNINGS_FILE = "warnings.txt"


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds the artifacts command to the subcommand set of the main parser."""
    sub: argparse.ArgumentParser = commands.add_parser(
        "artifacts", help="turn artifact databases (SRUM, UAL, BITS, ...) into named, resolved tables",
        description="Turn artifact databases into the tables an analyst reads: SRUM (SRUDB.dat), User Access "
                    "Logging (*.mdb, with SystemIdentity.mdb), BITS (qmgr.db), File History (Catalog*.edb), "
                    "catroot (catdb) and the other kinds pellumo_artifacts knows. Each input's tables go to "
                    "OUT_DIR/<input>/TABLE.EXT with the warnings met in OUT_DIR/<input>/warnings.txt; <input> is "
                    "the file's path below the folder holding every input (one input: its own name). A folder is "
                    "searched for the file names of the known kinds; the kind is recognised from the tables "
                    "inside. Files of no known kind are listed and skipped (exit status 1). OUT_DIR/manifest.json "
                    "lists the inputs and tables written with their SHA-256 and the damage met; existing outputs "
                    "are not replaced without --overwrite, and OUT_DIR may not hold an input (exit status 2).",
        epilog=status.EPILOG)
    sub.add_argument("inputs", metavar="FILE|DIR", nargs="+", help="artifact databases, or folders to search")
    sub.add_argument("out_dir", metavar="OUT_DIR", help="output directory")
    sub.add_argument("--format", choices=FORMATS, default="parquet",
                     help="parquet (zstd, the default), csv or jsonl; times are ISO 8601 UTC ending in Z in csv "
                          "and jsonl")
    sub.add_argument("--recovered", action="store_true",
                     help="also the deleted and superseded records the files still hold, with _recovered true")
    sub.add_argument("--timeline", action="store_true",
                     help="also OUT_DIR/timeline.EXT: one row per record and time column, sorted by time")
    sub.add_argument("--jobs", metavar="N", type=jobs, default=1, help="files read at the same time (default 1)")
    sub.add_argument("--overwrite", action="store_true",
                     help="replace output files (and manifest.json) that exist; without it the run is refused "
                          "when any would be replaced")
    sub.add_argument("-q", "--quiet", action="store_true", help="no progress line")
    return sub


# --- inputs ------------------------------------------------------------------------


def known_file_names() -> list[str]:
    """The file-name patterns of every kind, for searching folders."""
    import pellumo_artifacts

    patterns: list[str] = []
    for kind in pellumo_artifacts.kinds():
        patterns.extend(p for p in kind.file_names if p not in patterns)
    return patterns


def find_inputs(arguments: list[str]) -> list[str]:
    """Files as given (a quoted glob expanded as `pellumo export` does);
    folders searched, depth first in name order, for files whose names
    match a known kind's (letter case ignored). Each file once."""
    patterns = [p.lower() for p in known_file_names()]
    files: list[str] = []
    for argument in arguments:
        if os.path.isdir(argument):
            for folder, subfolders, names in os.walk(argument):
                subfolders.sort()
                for name in sorted(names):
                    if any(fnmatch.fnmatch(name.lower(), p) for p in patterns):
                        files.append(os.path.join(folder, name))
        else:
            files.extend(expand_inputs([argument]))
    return expand_inputs(files) if files else []


def input_dirs(files: list[str], out_dir: str) -> list[str]:
    """Each input's folder: its own name for one input, else its path below
    the inputs' common folder."""
    if len(files) == 1:
        return [os.path.join(out_dir, os.path.basename(os.path.abspath(files[0])))]
    return output_dirs(files, out_dir)


# --- writing tables ------------------------------------------------------------------


def times_as_text(table: Any) -> Any:
    """The table with timestamps as ISO 8601 text in UTC ending in Z, with
    every digit their unit has (nine for FILETIMEs), and dates as
    YYYY-MM-DD: the form timeline viewers and spreadsheets read."""
    import pyarrow as pa  # type: ignore[import-untyped]
    import pyarrow.compute as pc  # type: ignore[import-untyped]

    for i, f in enumerate(table.schema):
        column = table.column(i)
        if pa.types.is_timestamp(f.type):
            utc = column if f.type.tz is not None else pc.assume_timezone(column, "UTC")
            text = pc.strftime(utc, format="%Y-%m-%dT%H:%M:%S", locale="C")
            table = table.set_column(i, pa.field(f.name, pa.string()), pc.binary_join_element_wise(text, "Z", ""))
        elif pa.types.is_date(f.type):
            table = table.set_column(i, pa.field(f.name, pa.string()), pc.cast(column, pa.string()))
    return table


def _json_safe(value: Any) -> Any:
    """A value of to_pylist() as JSON holds it: bytes as lowercase hex, UUIDs
    as text, non-finite floats as null; inside lists, maps (pairs) and
    structs also times (ISO 8601 ending in Z) and durations (nanoseconds),
    which a table's own columns have as text and integers already."""
    if isinstance(value, float) and not math.isfinite(value):
        return None
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [_json_safe(v) for v in value]
    if isinstance(value, dict):
        return {k: _json_safe(v) for k, v in value.items()}
    if isinstance(value, datetime.datetime):
        return value.isoformat().replace("+00:00", "Z")
    if isinstance(value, datetime.timedelta):
        # pandas' Timedelta (what pyarrow gives for nanoseconds) keeps the last digits apart.
        return value // datetime.timedelta(microseconds=1) * 1000 + int(getattr(value, "nanoseconds", 0))
    return value


def write_table(table: Any, path: str, fmt: str, cancel: threading.Event) -> int:
    """Writes the table to `path` in `fmt`; returns the rows written."""
    import pyarrow.csv as pa_csv  # type: ignore[import-untyped]
    import pyarrow.parquet as pq  # type: ignore[import-untyped]

    if fmt == "parquet":
        pq.write_table(table, path, compression="zstd")
        return int(table.num_rows)
    ready = times_as_text(table)
    if fmt == "csv":
        # Bytes as hex, UUIDs as text, lists as JSON: as `pellumo export` writes CSV.
        convert, schema = _csv_converter(ready.schema)
        with pa_csv.CSVWriter(path, schema) as writer:
            for batch in ready.to_batches():
                if cancel.is_set():
                    raise KeyboardInterrupt
                writer.write_batch(batch if convert is None else convert(batch))
        return int(table.num_rows)
    names = ready.column_names
    with open(path, "w", encoding="utf-8", newline="\n") as out:
        for batch in ready.to_batches(max_chunksize=4096):
            if cancel.is_set():
                raise KeyboardInterrupt
            columns = [c.to_pylist() for c in batch.columns]
            lines = []
            for row in zip(*columns, strict=True):
                record = {name: _json_safe(value) for name, value in zip(names, row, strict=True)}
                lines.append(json.dumps(record, ensure_ascii=False, separators=(",", ":")) + "\n")
            out.write("".join(lines))
    return int(table.num_rows)


# --- one input ------------------------------------------------------------------------


@dataclass
class ArtifactOutcome(Outcome):
    kind: str | None = None
    companions: list[str] = field(default_factory=list)
    timeline: Any = None


def export_artifact(path: str, out_dir: str, settings: Settings, fmt: str, want_timeline: bool) -> ArtifactOutcome:
    """Writes one input's tables and warnings.txt (through a private folder);
    problems with the input are warnings, output failures `fatal`."""
    outcome = ArtifactOutcome(path)
    try:
        _export_artifact(path, out_dir, settings, fmt, want_timeline, outcome)
    except KeyboardInterrupt:
        raise
    except CliError as error:
        outcome.fatal = str(error)
    except Exception as error:  # noqa: BLE001 - one line for the user, the run stops
        outcome.fatal = f"{printable(path)}: {type(error).__name__}: {printable(str(error))}"
    return outcome


def _export_artifact(path: str, out_dir: str, settings: Settings, fmt: str, want_timeline: bool,
                     outcome: ArtifactOutcome) -> None:
    import pellumo_artifacts

    reason: str | None = None
    try:
        art = pellumo_artifacts.open(path, recovered=settings.recovered)
    except pellumo_artifacts.UnknownKindError:
        reason = "no known artifact kind"
    except ValueError as error:
        reason = printable(str(error))
    except UnicodeEncodeError:
        reason = "file names that are not valid UTF-8 are not supported"
    except OSError as error:
        reason = printable(str(error))
    if reason is not None:
        outcome.skipped = True
        outcome.warnings.append(f"skipped {printable(path)}: {reason}")
        if settings.manifest is not None:
            settings.manifest.set_input(path, describe_input(path, None, error=reason))
        return
    outcome.kind = art.kind
    outcome.companions = art.companion_paths
    names = art.table_names
    outcome.tables_total = len(names)
    entry: dict[str, Any] = {}
    if settings.manifest is not None:
        entry = describe_input(path, art.database)
        entry.update(kind=art.kind, companions=art.companion_paths, damage=[])
        settings.manifest.set_input(path, entry)
    partial_dir = partial_folder(out_dir, outcome)
    if partial_dir is None:
        return
    try:
        used: set[str] = set()
        extension = _EXTENSIONS[fmt]
        for index, name in enumerate(names):
            if settings.cancel.is_set():
                return
            before = len(art.damage)
            table = art.table(name)
            final = os.path.join(out_dir, output_file_name(name, used, extension))
            partial = os.path.join(partial_dir, f"{index}{extension}")
            try:
                rows = write_table(table, partial, fmt, settings.cancel)
                os.replace(partial, final)
            except OSError as error:
                outcome.fatal = f"{printable(final)}: {printable(str(error))}"
                return
            outcome.tables += 1
            outcome.records += rows
            with settings.lock:
                settings.records[0] += rows
            if settings.manifest is not None:
                settings.manifest.add_table(path, describe_table(name, rows, _damage_sum(art.damage[before:]), final))
                # Every damaged read so far, by database table: a table built
                # from reads an earlier one made shows none of its own.
                entry["damage"] = art.damage
                settings.manifest.set_input(path, entry)
        if want_timeline:
            outcome.timeline = art.timeline()
        # Written last: the warnings of every table built.
        final = os.path.join(out_dir, WARNINGS_FILE)
        partial = os.path.join(partial_dir, WARNINGS_FILE)
        try:
            with open(partial, "w", encoding="utf-8") as f:
                f.write("".join(line + "\n" for line in art.warnings))
            os.replace(partial, final)
        except OSError as error:
            outcome.fatal = f"{printable(final)}: {printable(str(error))}"
    finally:
        shutil.rmtree(partial_dir, ignore_errors=True)


def _damage_sum(reads: list[dict[str, Any]]) -> dict[str, int] | None:
    """The damage counts of the database reads that built one table, summed."""
    if not reads:
        return None
    return {key: sum(int(r.get(key, 0)) for r in reads) for key in DAMAGE_KEYS}


def planned_outputs(files: list[str], targets: list[str], out_dir: str, fmt: str, timeline: bool) -> list[str]:
    """The files a run over `files` would write (a file of no known kind, or
    that cannot be opened, writes nothing)."""
    import pellumo_artifacts

    extension = _EXTENSIONS[fmt]
    planned = [os.path.join(out_dir, MANIFEST_NAME)]
    if timeline:
        planned.append(os.path.join(out_dir, "timeline" + extension))
    for path, target in zip(files, targets, strict=True):
        if not os.path.isdir(target):
            continue  # nothing there to write over: the file need not be opened
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                names = pellumo_artifacts.open(path, companions=[]).table_names
        except (OSError, ValueError, UnicodeEncodeError):
            continue
        used: set[str] = set()
        planned.extend(os.path.join(target, output_file_name(name, used, extension)) for name in names)
        planned.append(os.path.join(target, WARNINGS_FILE))
    return planned


# --- the command ---------------------------------------------------------------------


def cmd_artifacts(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    require_pyarrow(args.format)
    try:
        import pellumo_artifacts  # noqa: F401
    except ImportError as error:
        raise CliError(f"pellumo_artifacts cannot be loaded: {error}") from None
    files = find_inputs(args.inputs)
    if not files:
        raise CliError("no input file: the folders given hold no file of a known artifact name ("
                       + ", ".join(known_file_names()) + ")")
    out_dir = args.out_dir
    targets = input_dirs(files, out_dir)
    # Refused before anything is written: evidence folders, existing files.
    refuse_input_folder(files, out_dir)
    if not args.overwrite:
        refuse_overwrite(planned_outputs(files, targets, out_dir, args.format, args.timeline))
    progress = not args.quiet and err.isatty()
    settings = Settings(args.format, "engine", None, recovered=args.recovered,
                        manifest=Manifest(getattr(args, "argv", ["pellumo", "artifacts"]), files))

    def task(path: str, target: str) -> Callable[[], Outcome]:
        return lambda: export_artifact(path, target, settings, args.format, args.timeline)

    bar = Progress(err, files, progress)
    complete = False
    try:
        # Damage warnings wait for the end of the run: a progress line may be showing.
        with DamageLog(err, deferred=True) as log:
            settings.log = log
            outcomes = _run([task(p, d) for p, d in zip(files, targets, strict=True)], files, args.jobs,
                            settings, bar)
            results = [o for o in outcomes if isinstance(o, ArtifactOutcome)]
            fatal = next((o.fatal for o in results if o.fatal), None)
            skips = [w for o in results for w in o.warnings]
            for warning in skips:
                err.write(f"pellumo: warning: {warning}\n")
            log.flush()
            if fatal:
                raise CliError(fatal)
            if args.timeline:
                _write_timeline(results, out_dir, args.format, settings.cancel)
        complete = True
    except KeyboardInterrupt:
        # What was finished is on record; the interruption goes on (status 130).
        write_manifest(settings.manifest, out_dir, complete=False, err=err, always=True)
        raise
    finally:
        if not complete:
            write_manifest(settings.manifest, out_dir, complete=False, err=err)
    write_manifest(settings.manifest, out_dir, complete=True, err=err, always=True)
    skipped = sum(o.skipped for o in results)
    if skipped:
        err.write(f"pellumo: {skipped} of {len(files)} files skipped\n")
    bar.finish(sum(o.tables for o in results), sum(o.tables_total for o in results), len(files) - skipped,
               len(files), sum(o.records for o in results), out_dir, warnings=len(skips) + log.count)
    return status.outcome(errors=bool(skips), damaged=log.damaged)


def _write_timeline(results: list[ArtifactOutcome], out_dir: str, fmt: str, cancel: threading.Event) -> None:
    """OUT_DIR/timeline.EXT over every input; an input that another input of
    the run read as its companion adds no rows of its own (they would be
    there twice)."""
    import pellumo_artifacts

    companions = {os.path.realpath(c) for o in results for c in o.companions}
    pieces = [o.timeline for o in results
              if o.timeline is not None and os.path.realpath(o.path) not in companions]
    timeline = pellumo_artifacts.merge_timelines(pieces)
    final = os.path.join(out_dir, "timeline" + _EXTENSIONS[fmt])
    os.makedirs(out_dir, exist_ok=True)
    partial_dir = tempfile.mkdtemp(prefix=_PARTIAL_PREFIX, dir=out_dir)
    try:
        partial = os.path.join(partial_dir, "timeline" + _EXTENSIONS[fmt])
        write_table(timeline, partial, fmt, cancel)
        os.replace(partial, final)
    except OSError as error:
        raise CliError(f"{printable(final)}: {printable(str(error))}") from None
    finally:
        shutil.rmtree(partial_dir, ignore_errors=True)
