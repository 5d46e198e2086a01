"""The same table from many database files as a Dask dataframe.

    import pellumo_fleet.dask
    df = pellumo_fleet.dask.read_table("/evidence/**/SRUDB.dat", "SruDbIdMapTable")
    df.groupby("IdType").size().compute()

One partition per file (or per `files_per_partition` files), built with
`dask.dataframe.from_map`; only the first readable file is opened before
`.compute()`, for the dataframe's columns and types. Runs on the local
scheduler and on a `distributed` cluster (the workers need pellumo
installed). Columns hold pandas' Arrow-backed dtypes, so unsigned integers
and nulls survive as they are.

A partition that skips a file (on_missing="skip") issues a
pellumo_fleet.SkippedFileWarning, and one whose file met damage the file's
pellumo.DamageWarning; on a `distributed` cluster both are also sent to the
client (distributed.warn), where they surface like local warnings, and
logged on the worker under "distributed.worker.pellumo_fleet" (its logs:
client.get_worker_logs())."""

from __future__ import annotations

import logging
import warnings
from collections.abc import Sequence
from typing import Any, NamedTuple

import dask.dataframe as dd
import pandas as pd  # type: ignore[import-untyped]

from pellumo_fleet._arrow import pa
from pellumo_fleet._paths import PathsArg, expand_paths
from pellumo_fleet._scan import OnMissing, SkippedFile, _with_path, check_on_missing, describe, first_readable
from pellumo_fleet._schema import Conformer, unify, with_source
from pellumo_fleet._tables import FileReader, Values, check_table_name, check_values
from pellumo_fleet._warnings import SkippedFileWarning

__all__ = ["read_table"]

# A child of the worker's logger, whose records a cluster keeps per worker.
_log = logging.getLogger("distributed.worker.pellumo_fleet")


class _PartitionPlan(NamedTuple):
    """What every partition needs besides its files (pickled to the workers)."""

    table_name: str
    columns: list[str]  # the table's columns in the dataframe, without the source column
    schema: Any  # pyarrow.Schema of a partition, source column included
    source_column: str | None
    on_missing: OnMissing
    values: Values


def read_table(paths: PathsArg, table_name: str, *, columns: Sequence[str] | None = None,
               files_per_partition: int = 1, source_column: str | None = "_source",
               on_missing: OnMissing = "skip", values: Values = "raw") -> dd.DataFrame:
    """A lazy Dask dataframe of the table's records in every file.

    paths, table_name ("artifact:<kind>/<table>" too), columns,
    source_column, on_missing and values as in pellumo_fleet.scan.
    The columns and their types come from the first file that has the table
    (with `columns`: those, which that file must have); in the other files
    columns are matched by name, a missing one is null, a different type is
    cast where it converts (else the partition fails, naming the file). A
    file skipped under on_missing="skip" gives an empty partition; a file
    that stops at damage gives the records before it. Skipped files and
    damage are reported as warnings (see the module's description)."""
    check_on_missing(on_missing)
    check_values(values)
    check_table_name(table_name)
    if isinstance(files_per_partition, bool) or not isinstance(files_per_partition, int) \
            or files_per_partition < 1:
        raise ValueError(f"files_per_partition must be a positive int, not {files_per_partition!r}")
    if isinstance(columns, str):
        raise TypeError("columns must be a list of column names, not a str")
    files = expand_paths(paths)
    wanted = None if columns is None else list(dict.fromkeys(columns))
    # The files skipped before it are skipped again, and reported, by their partitions.
    first_path, first_schema, _ = first_readable(files, table_name, wanted, values, on_missing)
    first = (first_path, first_schema)
    try:
        data_schema = unify([first], wanted)
    except ValueError:
        missing = [c for c in wanted or () if c not in first[1].names]
        raise ValueError(f"{first[0]}, whose schema gives the dataframe its columns, lacks the column(s) "
                         f"{', '.join(map(repr, missing))}") from None
    schema = with_source(data_schema, source_column)
    plan = _PartitionPlan(table_name, list(data_schema.names), schema, source_column, on_missing, values)
    groups = [tuple(files[i:i + files_per_partition]) for i in range(0, len(files), files_per_partition)]
    meta = _to_pandas(schema.empty_table())
    frame: dd.DataFrame = dd.from_map(  # type: ignore[no-untyped-call]
        _read_partition, groups, plan=plan, meta=meta, label="read-ese", enforce_metadata=False)
    return frame


def _read_partition(files: tuple[str, ...], plan: _PartitionPlan) -> pd.DataFrame:
    """The records of the files of one partition, conformed to plan.schema."""
    batches: list[Any] = []
    for path in files:
        try:
            file = FileReader(path, plan.table_name, plan.columns, plan.values)
        except (OSError, ValueError) as error:
            if plan.on_missing == "error":
                raise _with_path(error, path) from error
            _report_skip(SkippedFile(path, describe(error)))
            continue
        conform = Conformer(plan.schema, plan.source_column, path)
        records = 0
        try:
            for batch in file.batches:
                batches.append(conform(batch))
                records += batch.num_rows
        except (OSError, ValueError, pa.ArrowException) as error:
            _report_damage(file.damage_warnings())
            if plan.on_missing == "error":
                raise _with_path(error, path) from error
            _report_skip(SkippedFile(path, f"stopped after {records} records: {describe(error)}"))
            continue
        _report_damage(file.damage_warnings())
    return _to_pandas(pa.Table.from_batches(batches, schema=plan.schema))


def _warn(warning: Warning) -> None:
    """Issues the warning here and, on a cluster's worker, on the clients
    too (distributed.warn sends it when there is a worker; it is only
    imported where distributed is)."""
    try:
        from distributed import get_worker
        from distributed import warn as cluster_warn
    except ImportError:  # pragma: no cover - dask without distributed
        warnings.warn(warning, stacklevel=3)
        return
    try:
        get_worker()
    except ValueError:  # the local scheduler: this is the client
        warnings.warn(warning, stacklevel=3)
        return
    # The instance travels pickled, its path and counts with it.
    cluster_warn(warning, type(warning), stacklevel=3)


def _report_skip(skipped: SkippedFile) -> None:
    _log.warning("skipped %s: %s", skipped.path, skipped.reason)
    _warn(SkippedFileWarning(skipped.path, skipped.reason))


def _report_damage(found: list[Any]) -> None:
    for warning in found:
        _log.warning("%s", warning)
        _warn(warning)


def _to_pandas(table: Any) -> pd.DataFrame:
    frame: pd.DataFrame = table.to_pandas(types_mapper=pd.ArrowDtype)
    return frame
