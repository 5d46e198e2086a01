"""scan(): one Arrow stream over the same table in many database files.

Each file is read by a worker thread that pulls the file's own Arrow stream;
decoding a batch runs in the extension module without the interpreter lock,
so the workers use as many cores as there are. The consumer takes the files'
batches strictly in file order, so the stream's content does not depend on
timing."""

from __future__ import annotations

import os
import queue
import threading
import warnings
from collections.abc import Iterable, Iterator, Sequence
from concurrent.futures import ThreadPoolExecutor
from typing import Any, Literal, NamedTuple

from pellumo_fleet._arrow import pa
from pellumo_fleet._paths import PathsArg, expand_paths
from pellumo_fleet._schema import Conformer, unify, with_source
from pellumo_fleet._tables import FileReader, Values, check_table_name, check_values, present_columns, table_schema

__all__ = ["Scan", "SkippedFile", "first_readable", "present_columns", "readable_files", "scan", "table_schema"]

OnMissing = Literal["skip", "error"]

# Batches a worker may hold ready before it waits for the consumer: enough to
# keep the workers busy, few enough to bound memory at a few batches per
# worker whatever the size of the files.
_QUEUE_BATCHES = 4
# How often a waiting worker looks whether the run was abandoned.
_POLL_SECONDS = 0.05


class SkippedFile(NamedTuple):
    """A file left out of a read, or cut short by damage, and why."""

    path: str
    reason: str


def default_workers() -> int:
    """The number of cores this process may run on."""
    try:
        return max(1, len(os.sched_getaffinity(0)))
    except AttributeError:  # pragma: no cover - not Linux
        return max(1, os.cpu_count() or 1)


def check_on_missing(on_missing: str) -> None:
    if on_missing not in ("skip", "error"):
        raise ValueError(f"on_missing must be 'skip' or 'error', not {on_missing!r}")


def describe(error: BaseException) -> str:
    return str(error) or type(error).__name__


def readable_files(files: Iterable[str], table_name: str, columns: Sequence[str] | None, values: Values,
                   on_missing: OnMissing, skipped: list[SkippedFile]) -> Iterator[tuple[str, list[str] | None, Any]]:
    """(path, the columns to ask it for, its Arrow schema) of each file that
    has the table, in order. A file that cannot be opened or lacks the table
    is added to `skipped` (on_missing="skip") or raises, its path leading
    the message (on_missing="error")."""
    for path in files:
        try:
            present, schema = table_schema(path, table_name, columns, values)
        except (OSError, ValueError) as error:
            if on_missing == "error":
                raise _with_path(error, path) from error
            skipped.append(SkippedFile(path, describe(error)))
            continue
        yield path, present, schema


def none_readable(count: int, table_name: str, skipped: Sequence[SkippedFile]) -> ValueError:
    reasons = "; ".join(f"{s.path}: {s.reason}" for s in skipped[:3])
    more = f" (and {len(skipped) - 3} more)" if len(skipped) > 3 else ""
    return ValueError(f"none of the {count} files can be read for table {table_name!r}: {reasons}{more}")


def first_readable(files: Sequence[str], table_name: str, columns: Sequence[str] | None, values: Values,
                   on_missing: OnMissing) -> tuple[str, Any, list[SkippedFile]]:
    """The first file that has the table, its Arrow schema, and the files
    skipped before it: where the Dask and Spark readers take their columns
    from without opening every file. ValueError when no file has the table."""
    skipped: list[SkippedFile] = []
    for path, _, schema in readable_files(files, table_name, columns, values, on_missing, skipped):
        return path, schema, skipped
    raise none_readable(len(files), table_name, skipped)


class _Plan(NamedTuple):
    path: str
    columns: list[str] | None  # the requested columns this file has


class Scan:
    """The records of one table from many files, as an Arrow stream.

    Implements the Arrow PyCapsule interface (`__arrow_c_stream__`,
    `__arrow_c_schema__`): pyarrow.table(scan), polars.DataFrame(scan),
    DuckDB's `FROM scan`, pyarrow.RecordBatchReader.from_stream(scan). Each
    stream is a new read of the files; `skipped` describes the latest one."""

    def __init__(self, table_name: str, plans: list[_Plan], schema: Any, source_column: str | None,
                 on_missing: OnMissing, workers: int, skipped: list[SkippedFile], values: Values = "raw") -> None:
        self._table_name = table_name
        self._values = values
        self._damage: dict[str, dict[str, Any]] = {}
        self._plans = plans
        self._schema = schema
        self._source_column = source_column
        self._on_missing = on_missing
        self._workers = workers
        self._planned_skips = list(skipped)
        self._skipped = list(skipped)

    @property
    def schema(self) -> Any:
        """The stream's pyarrow.Schema: the table's columns, then the source column."""
        return self._schema

    @property
    def files(self) -> list[str]:
        """The files read, in order (those skipped while planning left out)."""
        return [p.path for p in self._plans]

    @property
    def skipped(self) -> list[SkippedFile]:
        """Files left out: those that cannot be opened or lack the table, and,
        once a stream has ended, those whose records stopped at damage (their
        records before it are in the stream)."""
        return list(self._skipped)

    @property
    def damage(self) -> dict[str, dict[str, Any]]:
        """path -> what the latest stream could not read in that file (the
        counts of the DamageWarning it issued: pages refused, entries
        skipped, values unresolved, ...), for the files that met damage;
        complete once the stream has ended. Their records up to and around
        the damage are in the stream."""
        return {path: dict(counts) for path, counts in self._damage.items()}

    def __repr__(self) -> str:
        return (f"<pellumo_fleet.Scan table={self._table_name!r} files={len(self._plans)} "
                f"skipped={len(self._skipped)} columns={len(self._schema)}>")

    def __arrow_c_schema__(self) -> object:
        return self._schema.__arrow_c_schema__()

    def __arrow_c_stream__(self, requested_schema: object | None = None) -> object:
        return self.reader().__arrow_c_stream__(requested_schema)

    def reader(self) -> Any:
        """A new pyarrow.RecordBatchReader over the files."""
        return pa.RecordBatchReader.from_batches(self._schema, self._batches())

    # --- one run ------------------------------------------------------------

    def _batches(self) -> Iterator[Any]:
        self._skipped = list(self._planned_skips)
        self._damage = {}
        plans = self._plans
        if not plans:
            return
        cancel = threading.Event()
        workers = min(self._workers, len(plans))
        # Files in flight: one per worker and one more, so a worker that
        # finishes a file finds the next one waiting.
        window = workers + 1
        pool = ThreadPoolExecutor(max_workers=workers, thread_name_prefix="pellumo-scan")
        queues: dict[int, queue.Queue[tuple[str, Any]]] = {}
        submitted = 0
        try:
            for index, plan in enumerate(plans):
                while submitted < len(plans) and submitted < index + window:
                    q: queue.Queue[tuple[str, Any]] = queue.Queue(_QUEUE_BATCHES)
                    queues[submitted] = q
                    pool.submit(self._read_file, plans[submitted], q, cancel)
                    submitted += 1
                q = queues.pop(index)
                records = 0
                while True:
                    kind, payload = q.get()
                    if kind == "batch":
                        records += payload.num_rows
                        yield payload
                    elif kind == "end":
                        self._report_damage(plan.path, payload)
                        break
                    else:
                        error, file = payload
                        self._report_damage(plan.path, file)
                        if self._on_missing == "error":
                            raise _with_path(error, plan.path) from error
                        reason = describe(error)
                        if records:
                            reason = f"stopped after {records} records: {reason}"
                        self._skipped.append(SkippedFile(plan.path, reason))
                        break
        finally:
            # Abandoned (the consumer stopped early, Ctrl-C) or done: the
            # workers stop at their next batch.
            cancel.set()
            pool.shutdown(wait=True, cancel_futures=True)

    def _read_file(self, plan: _Plan, q: queue.Queue[tuple[str, Any]], cancel: threading.Event) -> None:
        def put(item: tuple[str, Any]) -> bool:
            while not cancel.is_set():
                try:
                    q.put(item, timeout=_POLL_SECONDS)
                    return True
                except queue.Full:
                    continue
            return False

        file: FileReader | None = None
        try:
            file = FileReader(plan.path, self._table_name, plan.columns, self._values)
            conform = Conformer(self._schema, self._source_column, plan.path)
            while not cancel.is_set():
                try:
                    batch = file.batches.read_next_batch()
                except StopIteration:
                    break
                if not put(("batch", conform(batch))):
                    return
            put(("end", file))
        except Exception as error:  # noqa: BLE001 - handed to the consumer, which decides
            put(("error", (error, file)))

    def _report_damage(self, path: str, file: FileReader | None) -> None:
        """Keeps a file's damage and issues its warning on the consumer's
        thread, in file order: made an error, it ends the stream there (an
        artifact's tables issued theirs while it was built)."""
        counts = None if file is None else file.damage()
        if counts is None or file is None:
            return
        self._damage[path] = counts
        for warning in file.damage_warnings():
            warnings.warn(warning, stacklevel=2)


def _with_path(error: Exception, path: str) -> Exception:
    """The same kind of exception, its message led by the file's path."""
    message = describe(error)
    if message.startswith(path):
        return error
    try:
        located = type(error)(f"{path}: {message}")
    except Exception:  # noqa: BLE001 - a class whose constructor wants more
        located = RuntimeError(f"{path}: {message}")
    located.__cause__ = error
    return located


def scan(paths: PathsArg, table_name: str, *, columns: Sequence[str] | None = None,
         source_column: str | None = "_source", on_missing: OnMissing = "skip",
         workers: int | None = None, values: Values = "raw") -> Scan:
    """One Arrow stream of a table's records from many database files.

    table_name: a table of the databases, or "artifact:<kind>/<table>" for a
    table of pellumo_artifacts ("artifact:srum/network_data"): files that are
    no artifact of that kind are skipped like files that lack a table.
    paths: a glob pattern (str; '**' spans folders; matches sorted), or an
    iterable of paths. columns: the columns to read, in that order (default:
    every column of every file, in the order first seen). source_column: the
    name of the extra utf8 column that holds the path each record came from,
    as given or as the glob expanded it (None: no such column). on_missing:
    "skip" leaves out a file that cannot be opened or lacks the table and
    lists it in `skipped`; "error" raises instead. workers: files read at
    once, each on its own thread (default: the number of cores). values:
    "raw", the values as stored, or "engine", as the database engine returns
    them (multi-values as lists, dates as UTC timestamps, GUIDs as
    arrow.uuid, records flagged deleted left out); artifact tables are the
    same either way.

    A file whose read meets damage (pages refused, long values unresolved)
    gives the records it still holds and issues a pellumo.DamageWarning on
    the consuming thread when its records end; so does a file whose catalog
    lost pages (its warning names table MSysObjects: tables listed there are
    missing), at its turn in the stream, not here. `damage` keeps the
    counts per file, the catalog's and the read's summed.

    Every file is opened here to learn its schema: columns are matched by
    name, a column a file lacks is null there, and a column whose types
    differ between files raises SchemaConflictError naming both files (with
    `columns`, types are promoted where one can hold the other). Records
    follow file order, then record order, whatever the number of workers."""
    check_on_missing(on_missing)
    check_values(values)
    check_table_name(table_name)
    if workers is None:
        workers = default_workers()
    elif isinstance(workers, bool) or not isinstance(workers, int) or workers < 1:
        raise ValueError(f"workers must be a positive int, not {workers!r}")
    if columns is not None:
        if isinstance(columns, str):
            raise TypeError("columns must be a list of column names, not a str")
        columns = list(columns)
    files = expand_paths(paths)
    plans: list[_Plan] = []
    schemas: list[tuple[str, Any]] = []
    skipped: list[SkippedFile] = []
    for path, present, schema in readable_files(files, table_name, columns, values, on_missing, skipped):
        plans.append(_Plan(path, present))
        schemas.append((path, schema))
    if not plans:
        raise none_readable(len(files), table_name, skipped)
    schema = with_source(unify(schemas, columns), source_column)
    return Scan(table_name, plans, schema, source_column, on_missing, workers, skipped, values)
