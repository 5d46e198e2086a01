"""`pellumo export`: the tables of one or many database files, as JSON Lines,
Parquet or CSV, several files at a time.

Each output file is written under a temporary name in a private folder beside
it and renamed when complete, so an interrupted run (Ctrl-C, a full disk)
never leaves a half-written file under a final name. Files are exported side
by side on threads: JSON Lines are the bytes `write_table_jsonl` writes (with
the stored values or the engine's), and Parquet and CSV are written with
pyarrow from the module's Arrow stream; both decode without the interpreter
lock. A stopped run (Ctrl-C, an output failure) ends every table at its next
block of output."""

from __future__ import annotations

import argparse
import json
import os
import shutil
import tempfile
import threading
import time
import uuid
import warnings
from collections.abc import Callable, Iterator
from concurrent.futures import FIRST_COMPLETED, ThreadPoolExecutor, wait
from dataclasses import dataclass, field
from typing import Any, TextIO

import pellumo

from pellumo_cli import status
from pellumo_cli.damage import Damage, DamageLog
from pellumo_cli.manifest import FILE_NAME as MANIFEST_NAME
from pellumo_cli.manifest import Manifest, describe_input, describe_table, file_digest
from pellumo_cli.paths import is_pattern, matching_files
from pellumo_cli.recover import write_recovered
from pellumo_cli.safeguards import refuse_input_folder, refuse_overwrite
from pellumo_cli.shared import CliError, open_database, require_table
from pellumo_cli.text import printable

_EXTENSIONS = {"jsonl": ".jsonl", "parquet": ".parquet", "csv": ".csv"}
_PARTIAL_PREFIX = ".pellumo-partial-"
_REFRESH_SECONDS = 0.25


class _Cancelled(Exception):
    """The run was stopped while a table was being written."""


class _Unreadable(Exception):
    """The table could not be read at all (the message says why; `damaged`:
    because the file is damaged)."""

    def __init__(self, message: str, *, damaged: bool) -> None:
        super().__init__(message)
        self.damaged = damaged


# Kinds of the module's errors that mean the file's bytes are damaged, as
# opposed to what this reader does not support (an unknown column type or
# code page) or a failing disk: a table they stop is reported as damage.
_DAMAGE_KINDS = frozenset({"corrupt_structure", "invalid_page_number", "invalid_tag_number", "invalid_catalog_entry",
                           "page_data_too_short", "tag_offset_out_of_bounds", "parse"})


def is_damage(error: BaseException) -> bool:
    """Whether a read error of the module says the file is damaged: a read
    of records that stopped part-way, or an error of a damaged structure."""
    return bool(getattr(error, "reading_record", False)) or getattr(error, "kind", None) in _DAMAGE_KINDS


# --- naming -----------------------------------------------------------------------


def output_file_name(table_name: str, used: set[str], extension: str = ".jsonl") -> str:
    """The table's output file name: the name plus the extension, as
    export_all names it, with '/' and NUL replaced so that a table name can
    never reach outside the output directory; names that collide get ~2, ~3, ..."""
    base = table_name.replace("/", "_").replace("\0", "_")
    name, n = base + extension, 1
    while name in used:
        n += 1
        name = f"{base}~{n}{extension}"
    used.add(name)
    return name


def expand_inputs(arguments: list[str]) -> list[str]:
    """The database files the FILE arguments name: each argument as it is,
    unless no such file exists and it is a glob pattern (quoted, so that
    thousands of files do not pass through the shell): then its sorted
    matches. The same file named twice is exported once."""
    files: list[str] = []
    for argument in arguments:
        if not os.path.lexists(argument) and is_pattern(argument):
            files.extend(matching_files(argument) or [argument])
        else:
            files.append(argument)
    seen: set[str] = set()
    unique = []
    for path in files:
        key = os.path.abspath(path)
        if key not in seen:
            seen.add(key)
            unique.append(path)
    return unique


def output_dirs(files: list[str], out_dir: str) -> list[str]:
    """Where each file's tables go. One file: straight into OUT_DIR, as ever.
    Several: a folder per file, its path below the deepest folder that holds
    every input (/ev/h1/SRUDB.dat and /ev/h2/SRUDB.dat give OUT_DIR/h1/SRUDB.dat/
    and OUT_DIR/h2/SRUDB.dat/), so two inputs never share a folder."""
    if len(files) == 1:
        return [out_dir]
    absolute = [os.path.abspath(p) for p in files]
    common = os.path.commonpath([os.path.dirname(p) for p in absolute])
    return [os.path.join(out_dir, os.path.relpath(p, common)) for p in absolute]


# --- one file -----------------------------------------------------------------------


@dataclass
class Settings:
    format: str
    values: str
    tables: list[str] | None  # None: every table
    recovered: bool = False  # also TABLE.recovered.jsonl: the table's recovered records
    cancel: threading.Event = field(default_factory=threading.Event)
    records: list[int] = field(default_factory=lambda: [0])  # running total, for the progress line
    lock: threading.Lock = field(default_factory=threading.Lock)
    log: DamageLog | None = None  # the run's damage warnings
    manifest: Manifest | None = None  # what was read and written, as it finishes


def _deliver(settings: Settings, kind: str, path: str, entry: dict[str, Any]) -> None:
    """Hands a finished input ("input") or table ("table") to the manifest."""
    if settings.manifest is not None:
        if kind == "input":
            settings.manifest.set_input(path, entry)
        else:
            settings.manifest.add_table(path, entry)


@dataclass
class Outcome:
    """What exporting one file did."""

    path: str
    tables: int = 0
    tables_total: int = 0
    records: int = 0
    warnings: list[str] = field(default_factory=list)
    skipped: bool = False  # the file could not be read at all
    fatal: str | None = None  # an output failure that ends the run


def export_file(path: str, out_dir: str, settings: Settings) -> Outcome:
    """Exports the tables of one file into out_dir (multi-file runs: problems
    with the input become warnings, not errors)."""
    outcome = Outcome(path)
    try:
        _export_file(path, out_dir, settings, outcome)
    except CliError as error:
        outcome.fatal = str(error)
    except Exception as error:  # noqa: BLE001 - one line for the user, the run stops
        outcome.fatal = f"{printable(path)}: {type(error).__name__}: {printable(str(error))}"
    return outcome


def _export_file(path: str, out_dir: str, settings: Settings, outcome: Outcome) -> None:
    try:
        db = open_database(path, settings.log)
    except CliError as error:
        outcome.skipped = True
        outcome.warnings.append(f"skipped {printable(path)}: {error.reason}")
        _deliver(settings, "input", path, describe_input(path, None, error.reason))
        return
    _deliver(settings, "input", path, describe_input(path, db))
    names = list(dict.fromkeys(db.get_tables() if settings.tables is None else settings.tables))
    if settings.tables is not None:
        available = set(db.get_tables())
        for name in names:
            if name not in available:
                outcome.warnings.append(f"skipped table {printable(name)} of {printable(path)}: "
                                        f"Table not found: {printable(name)}")
        names = [n for n in names if n in available]
        if not names:
            outcome.skipped = True
            return
    write_tables(db, path, names, out_dir, settings, outcome)


def partial_folder(out_dir: str, outcome: Outcome) -> str | None:
    """out_dir (made when missing) and a private folder in it where files
    are written under temporary names; None, with outcome.fatal set, when
    either cannot be made."""
    try:
        os.makedirs(out_dir, exist_ok=True)
        return tempfile.mkdtemp(prefix=_PARTIAL_PREFIX, dir=out_dir)
    except OSError as error:
        outcome.fatal = f"cannot create output directory {printable(out_dir)}: {error.strerror or error}"
        return None


def write_tables(db: pellumo.EseDatabase, path: str, names: list[str], out_dir: str, settings: Settings,
                 outcome: Outcome, *, label: Callable[[str], str] | None = None) -> None:
    """Writes each table to out_dir through a private temporary folder."""
    outcome.tables_total = len(names)
    partial_dir = partial_folder(out_dir, outcome)
    if partial_dir is None:
        return
    try:
        _write_all(db, path, names, out_dir, partial_dir, settings, outcome, label)
    finally:
        shutil.rmtree(partial_dir, ignore_errors=True)


def _write_all(db: pellumo.EseDatabase, path: str, names: list[str], out_dir: str, partial_dir: str,
               settings: Settings, outcome: Outcome, label: Callable[[str], str] | None) -> None:
    extension = _EXTENSIONS[settings.format]
    used: set[str] = set()
    where = label or (lambda name: f"{printable(name)} of {printable(path)}")
    for index, name in enumerate(names):
        if settings.cancel.is_set():
            return
        final = os.path.join(out_dir, output_file_name(name, used, extension))
        partial = os.path.join(partial_dir, f"{index}{extension}")
        try:
            records, problem = _write_table(db, name, partial, settings)
        except ValueError as error:
            # Only a listed name that was not valid UTF-8 in the file gets here:
            # lookups compare the stored bytes, so it cannot be read by name.
            outcome.warnings.append(f"skipped table {where(name)}: {printable(str(error))}")
            continue
        except _Unreadable as error:
            # The run goes on with the next table; the manifest lists this one
            # with the reason and no output.
            _read_failure(settings, outcome, path, name, f"skipped table {where(name)}: {printable(str(error))}",
                          damaged=error.damaged)
            _deliver(settings, "table", path, describe_table(name, 0, None, None, error=str(error)))
            continue
        except _Cancelled:
            return
        except OSError as error:
            outcome.fatal = f"{printable(final)}: {printable(str(error))}"
            return
        try:
            os.replace(partial, final)
            digest, lines = file_digest(final)
        except OSError as error:
            outcome.fatal = f"{printable(final)}: cannot create the output file: {error.strerror or error}"
            return
        if settings.format == "jsonl":
            records = lines
        extra: dict[str, Any] = {}
        if settings.recovered:
            recovered = os.path.join(out_dir, output_file_name(name + ".recovered", used))
            partial = os.path.join(partial_dir, f"{index}.recovered.jsonl")
            try:
                write_recovered(db, name, partial)
                os.replace(partial, recovered)
                extra = {"recovered_output": recovered, "recovered_output_sha256": file_digest(recovered)[0]}
            except OSError as error:
                outcome.fatal = f"{printable(recovered)}: {printable(str(error))}"
                return
        outcome.tables += 1
        outcome.records += records
        if problem is not None:  # always the file's damage: a read of records stopped part-way
            _read_failure(settings, outcome, path, name,
                          f"table {where(name)} stopped after {records:,} records: {printable(problem)}", damaged=True)
        damage = settings.log.damage_of(path, name) if settings.log is not None else None
        entry = describe_table(name, records, damage.counts if damage else None, final, output_sha256=digest,
                               error=problem)
        _deliver(settings, "table", path, dict(entry, **extra))


def _read_failure(settings: Settings, outcome: Outcome, path: str, name: str, line: str, *, damaged: bool) -> None:
    """A table the file's damage stopped is damage (exit status 3, listed
    with the other damage warnings); anything else is an error (status 1)."""
    if damaged and settings.log is not None:
        settings.log.add(Damage(path, name, {}, line))
    else:
        outcome.warnings.append(line)


def _write_table(db: pellumo.EseDatabase, name: str, partial: str, settings: Settings) -> tuple[int, str | None]:
    """Writes one table to `partial`; returns the records written (JSON
    Lines: counted later) and, where damage stopped the table early, the
    error. ValueError: no such table; _Unreadable: not a record could be
    read; OSError: the output cannot be written."""
    if settings.format != "jsonl":
        return _write_arrow_table(db, name, partial, settings)
    problem = None
    records = 0
    with open(partial, "wb") as f:
        try:
            output = _StoppableOutput(f, settings.cancel)
            if settings.values == "engine":
                records = db.write_table_jsonl(name, output, values="engine")
            else:
                records = db.write_table_jsonl(name, output)
        except OSError as error:
            # The module's errors say what they are; any other OSError is the
            # output's (raised by its write()).
            if not hasattr(error, "kind"):
                raise
            if not getattr(error, "reading_record", False) or f.tell() == 0:
                raise _Unreadable(str(error), damaged=is_damage(error)) from None
            problem = str(error)  # the lines before the damage stay in the file
    with settings.lock:
        settings.records[0] += records
    return records, problem


class _StoppableOutput:
    """The output file as write_table_jsonl sees it: it hands over its lines a
    block at a time, and a stopped run ends the table at the next block."""

    def __init__(self, file: Any, cancel: threading.Event) -> None:
        self._file = file
        self._cancel = cancel

    def write(self, data: bytes) -> int:
        if self._cancel.is_set():
            raise _Cancelled
        return int(self._file.write(data))


# --- Parquet and CSV through the Arrow stream -------------------------------------


def require_pyarrow(fmt: str) -> None:
    """CliError, in one line, when pyarrow is missing."""
    try:
        import pyarrow  # type: ignore[import-untyped]  # noqa: F401
        import pyarrow.csv  # type: ignore[import-untyped]  # noqa: F401
        import pyarrow.parquet  # type: ignore[import-untyped]  # noqa: F401
    except ImportError:
        raise CliError(f"--format {fmt} needs pyarrow: pip install 'pellumo[parquet]'") from None


def _arrow_stream(db: pellumo.EseDatabase, name: str, values: str) -> Any:
    # The damage is taken from the source once the stream is read (below),
    # so that it is known when the table's manifest entry is made.
    if values == "engine":
        return db.arrow(name, values="engine", warn=False)
    return db.arrow(name, warn=False)


def _write_arrow_table(db: pellumo.EseDatabase, name: str, partial: str,
                       settings: Settings) -> tuple[int, str | None]:
    import pyarrow as pa
    import pyarrow.csv as pa_csv
    import pyarrow.parquet as pq

    try:
        source = _arrow_stream(db, name, settings.values)
        reader = pa.RecordBatchReader.from_stream(source)
    except (OSError, pa.ArrowException) as error:
        raise _Unreadable(str(error), damaged=is_damage(error)) from None
    convert, schema = _csv_converter(reader.schema) if settings.format == "csv" else (None, reader.schema)
    records = 0
    problem = None
    writer: Any
    if settings.format == "parquet":
        writer = pq.ParquetWriter(partial, schema, compression="zstd")
    else:
        writer = pa_csv.CSVWriter(partial, schema)
    try:
        for batch in _batches(reader):
            if settings.cancel.is_set():
                raise _Cancelled
            if isinstance(batch, str):
                problem = batch
                break
            writer.write_batch(batch if convert is None else convert(batch))
            records += batch.num_rows
            with settings.lock:
                settings.records[0] += batch.num_rows
    finally:
        writer.close()
    reader.close()
    warning = source.damage_warning
    if warning is not None:
        if settings.log is not None:
            settings.log.record(warning)
        else:
            warnings.warn(warning, stacklevel=1)
    return records, problem


def _batches(reader: Any) -> Iterator[Any]:
    """The reader's batches, then, where damage ends the table, its message."""
    import pyarrow as pa

    while True:
        try:
            yield reader.read_next_batch()
        except StopIteration:
            return
        except (OSError, pa.ArrowException) as error:
            yield str(error)
            return


def _csv_converter(schema: Any) -> tuple[Callable[[Any], Any] | None, Any]:
    """CSV holds text: binary values are written as lowercase hex (as in the
    JSON export), lists and maps as JSON arrays (a map's entries as [key,
    value] pairs), UUIDs in their text form."""
    import pyarrow as pa

    changes: dict[int, Callable[[Any], Any]] = {}
    for i, f in enumerate(schema):
        t = f.type
        if is_uuid_field(f):
            changes[i] = _map_values(lambda v: str(uuid.UUID(bytes=v)))
        elif pa.types.is_binary(t) or pa.types.is_large_binary(t) or pa.types.is_fixed_size_binary(t):
            changes[i] = _map_values(bytes.hex)
        elif pa.types.is_list(t) or pa.types.is_large_list(t) or pa.types.is_struct(t) or pa.types.is_map(t):
            changes[i] = _map_values(lambda v: json.dumps(v, default=_json_default, separators=(",", ":")))
    if not changes:
        return None, schema
    converted = pa.schema([pa.field(f.name, pa.string()) if i in changes else f for i, f in enumerate(schema)])

    def convert(batch: Any) -> Any:
        arrays = [changes[i](column) if i in changes else column for i, column in enumerate(batch.columns)]
        return pa.RecordBatch.from_arrays(arrays, schema=converted)

    return convert, converted


_UUID_EXTENSION = "arrow.uuid"


def is_uuid_field(field: Any) -> bool:
    """Whether an Arrow field holds UUIDs, whatever pyarrow made of the
    stream's arrow.uuid extension: its canonical UuidType, an extension class
    some other package registered under that name, or, where no class is
    registered, the 16-byte storage with the extension's name left in the
    field's metadata."""
    import pyarrow as pa

    t = field.type
    if isinstance(t, pa.BaseExtensionType):
        return str(t.extension_name) == _UUID_EXTENSION
    if not (pa.types.is_fixed_size_binary(t) and t.byte_width == 16):
        return False
    metadata = field.metadata or {}
    return metadata.get(b"ARROW:extension:name") == _UUID_EXTENSION.encode()


def _map_values(fn: Callable[[Any], str]) -> Callable[[Any], Any]:
    import pyarrow as pa

    def apply(column: Any) -> Any:
        if isinstance(column.type, pa.BaseExtensionType):
            column = column.storage
        return pa.array([None if v is None else fn(v) for v in column.to_pylist()], pa.string())

    return apply


def _json_default(value: Any) -> Any:
    if isinstance(value, bytes):
        return value.hex()
    if hasattr(value, "isoformat"):
        return value.isoformat()
    return str(value)


# --- the command ---------------------------------------------------------------------


def cmd_export(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    inputs, out_dir = args.files, args.out_dir
    if args.format != "jsonl":
        require_pyarrow(args.format)
    files = expand_inputs(inputs)
    tables = None if not args.table else list(dict.fromkeys(args.table))
    # Refused before anything is written: evidence folders, existing files.
    refuse_input_folder(files, out_dir)
    if not getattr(args, "overwrite", False):
        refuse_overwrite(planned_outputs(files, out_dir, args.format, tables, args.recovered))
    progress = not args.quiet and err.isatty()
    settings = Settings(args.format, args.values, tables, recovered=args.recovered,
                        manifest=Manifest(getattr(args, "argv", ["pellumo", "export"]), files))
    summary = not args.quiet
    complete = False
    try:
        # Warnings wait for the end of the run: a progress line may be showing.
        with DamageLog(err, deferred=True) as log:
            settings.log = log
            if len(files) == 1:
                errors = _export_one(files[0], out_dir, settings, progress, summary, err)
            else:
                errors = _export_many(files, out_dir, settings, args.jobs, progress, summary, err)
        complete = True
    except KeyboardInterrupt:
        # What was finished is on record; the interruption goes on (status 130).
        write_manifest(settings.manifest, out_dir, complete=False, err=err, always=True)
        raise
    finally:
        if not complete:
            write_manifest(settings.manifest, out_dir, complete=False, err=err)
    write_manifest(settings.manifest, out_dir, complete=True, err=err, always=True)
    return status.outcome(errors=errors, damaged=log.damaged)


def write_manifest(manifest: Manifest | None, out_dir: str, *, complete: bool, err: TextIO,
                   always: bool = False) -> None:
    """Writes the run's manifest into out_dir: always at the end of a run or
    on Ctrl-C; after a failure only once the run had begun reading an input
    (a command that failed before that leaves nothing behind). A manifest
    that cannot be written is an error (status 1)."""
    if manifest is None or (not always and (not os.path.isdir(out_dir) or not manifest.inputs())):
        return
    try:
        manifest.write(out_dir, complete)
    except OSError as error:
        raise CliError(f"cannot write {printable(os.path.join(out_dir, MANIFEST_NAME))}: "
                       f"{error.strerror or error}") from None


def planned_outputs(files: list[str], out_dir: str, fmt: str, tables: list[str] | None,
                    recovered: bool) -> list[str]:
    """The files an export of `files` into out_dir would write, named as the
    export names them (a file that cannot be opened writes nothing)."""
    planned = [os.path.join(out_dir, MANIFEST_NAME)]
    for path, target in zip(files, output_dirs(files, out_dir), strict=True):
        if not os.path.isdir(target):
            continue  # nothing there to write over: the file need not be opened
        try:
            with warnings.catch_warnings():
                warnings.simplefilter("ignore")
                names = list(dict.fromkeys(pellumo.EseDatabase(path).get_tables()))
        except (OSError, ValueError):
            continue
        if tables is not None:
            names = [n for n in tables if n in names]
        used: set[str] = set()
        for name in names:
            planned.append(os.path.join(target, output_file_name(name, used, _EXTENSIONS[fmt])))
            if recovered:
                planned.append(os.path.join(target, output_file_name(name + ".recovered", used)))
    return planned


def _export_one(path: str, out_dir: str, settings: Settings, progress: bool, summary: bool, err: TextIO) -> bool:
    """One file, as the command always did: every name checked before
    anything is written, any failure an error."""
    db = open_database(path, settings.log)
    if settings.tables is not None:
        for name in settings.tables:
            require_table(db, name)
        names = settings.tables
    else:
        names = list(dict.fromkeys(db.get_tables()))

    def task() -> Outcome:
        outcome = Outcome(path)
        try:
            _deliver(settings, "input", path, describe_input(path, db))
            write_tables(db, path, names, out_dir, settings, outcome, label=printable)
        except CliError as error:
            outcome.fatal = str(error)
        return outcome

    bar = Progress(err, [path], progress, summary=summary)
    (outcome,) = _run([task], [path], 1, settings, bar)
    for warning in outcome.warnings:
        err.write(f"pellumo: warning: {warning}\n")
    if settings.log is not None:
        settings.log.flush()
    if outcome.fatal:
        raise CliError(outcome.fatal)
    bar.finish(outcome.tables, outcome.tables_total, 1, 1, outcome.records, out_dir,
               warnings=len(outcome.warnings) + (settings.log.count if settings.log else 0))
    return bool(outcome.warnings)


def _export_many(files: list[str], out_dir: str, settings: Settings, jobs: int, progress: bool, summary: bool,
                 err: TextIO) -> bool:
    def task(path: str, target: str) -> Callable[[], Outcome]:
        return lambda: export_file(path, target, settings)

    bar = Progress(err, files, progress, summary=summary)
    tasks = [task(p, d) for p, d in zip(files, output_dirs(files, out_dir), strict=True)]
    outcomes = _run(tasks, files, jobs, settings, bar)
    fatal = next((o.fatal for o in outcomes if o.fatal), None)
    warnings = [w for o in outcomes for w in o.warnings]
    for warning in warnings:
        err.write(f"pellumo: warning: {warning}\n")
    if settings.log is not None:
        settings.log.flush()
    if fatal:
        raise CliError(fatal)
    skipped = sum(o.skipped for o in outcomes)
    if warnings:
        err.write(f"pellumo: {skipped} of {len(files)} files skipped; {len(warnings)} warnings above\n")
    bar.finish(sum(o.tables for o in outcomes), sum(o.tables_total for o in outcomes),
               len(files) - skipped, len(files), sum(o.records for o in outcomes), out_dir,
               warnings=len(warnings) + (settings.log.count if settings.log else 0))
    return bool(warnings)


def _run(tasks: list[Callable[[], Outcome]], files: list[str], jobs: int, settings: Settings,
         bar: Progress) -> list[Outcome]:
    """Runs the tasks `jobs` at a time and redraws the progress line until
    they end. An output failure stops the run; so does Ctrl-C: threads stop
    at their next block of output, partial files are removed, and the
    KeyboardInterrupt goes on."""
    pool = ThreadPoolExecutor(max_workers=max(1, jobs), thread_name_prefix="pellumo-export")
    try:
        futures = [pool.submit(task) for task in tasks]
        counted: set[int] = set()
        while True:
            for index, future in enumerate(futures):
                if index not in counted and future.done():
                    counted.add(index)
                    bar.file_done(files[index])
                    if future.result().fatal:
                        settings.cancel.set()
            bar.draw(len(counted), settings.records[0])
            pending = [f for f in futures if not f.done()]
            if not pending:
                return [f.result() for f in futures]
            wait(pending, timeout=_REFRESH_SECONDS, return_when=FIRST_COMPLETED)
    except KeyboardInterrupt:
        settings.cancel.set()
        bar.clear()
        raise
    finally:
        pool.shutdown(wait=True, cancel_futures=True)


class Progress:
    """One line on a terminal for the whole run: files done, records, rate
    and the time left, estimated from the sizes of the files still to do."""

    def __init__(self, err: TextIO, files: list[str], shown: bool, *, summary: bool | None = None) -> None:
        self._err = err
        self._shown = shown
        # The summary line at the end: on a terminal it replaces the progress
        # line; without one (a script's log) it is the run's one line.
        self._summary = shown if summary is None else summary
        self._started = time.monotonic()
        self._sizes = {p: _size(p) for p in files} if shown else {}
        self._total_bytes = sum(self._sizes.values())
        self._done_bytes = 0
        self._done_files: set[str] = set()
        self._files = len(files)
        self._last = 0.0

    def file_done(self, path: str) -> None:
        if path not in self._done_files:
            self._done_files.add(path)
            self._done_bytes += self._sizes.get(path, 0)

    def draw(self, files_done: int, records: int) -> None:
        now = time.monotonic()
        if not self._shown or now - self._last < _REFRESH_SECONDS / 2:
            return
        self._last = now
        elapsed = max(now - self._started, 1e-9)
        line = f"[{files_done}/{self._files} files] {records:,} records, {records / elapsed:,.0f} records/s"
        if 0 < self._done_bytes < self._total_bytes:
            left = (self._total_bytes - self._done_bytes) * elapsed / self._done_bytes
            line += f", {_clock(left)} left"
        self._err.write(f"\r\x1b[K{line}")
        self._err.flush()

    def clear(self) -> None:
        if self._shown:
            self._err.write("\r\x1b[K")
            self._err.flush()

    def finish(self, tables: int, tables_total: int, files: int, files_total: int, records: int,
               out_dir: str, *, warnings: int | None = None) -> None:
        if not self._summary:
            return
        self.clear()
        of_files = "" if files_total == 1 else f" from {files} of {files_total} files"
        warned = "" if warnings is None else f", {warnings} warning" + ("" if warnings == 1 else "s")
        self._err.write(f"exported {tables} of {tables_total} tables{of_files}, {records:,} records{warned}, to "
                        f"{printable(out_dir)} in {time.monotonic() - self._started:.1f}s\n")
        self._err.flush()


def _size(path: str) -> int:
    try:
        return os.path.getsize(path)
    except OSError:
        return 0


def _clock(seconds: float) -> str:
    s = int(seconds + 0.5)
    return f"{s // 3600}:{s // 60 % 60:02d}:{s % 60:02d}"
