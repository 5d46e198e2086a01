"""A PySpark (4.x) Python data source for ESE database files.

    from pellumo_fleet.spark import EseDataSource
    spark.dataSource.register(EseDataSource)
    df = (spark.read.format("ese").option("table", "SruDbIdMapTable")
          .load("/evidence/**/SRUDB.dat"))

One input partition per file; each partition is read as Arrow record batches.
Options: `table` (required; "artifact:<kind>/<table>" reads a table of
pellumo_artifacts, e.g. "artifact:srum/network_data"); `columns` (a JSON list, or names separated by
commas); `on_missing` ("skip", the default: a file that cannot be opened or
lacks the table gives no rows; "error": the read fails); `source_column` (the
provenance column's name, default "_source"; empty: none); `values` ("raw",
the default: the stored values; "engine": as the database engine returns
them, multi-values as arrays, dates as timestamps, GUIDs as their 16 bytes,
records flagged deleted left out). The path may be a
glob ('**' spans folders) or a list of paths. Without a user schema the
schema is the first readable file's, with Spark's types for the unsigned
integers it lacks: uint8 -> smallint, uint16 -> int, uint32 -> bigint,
uint64 -> decimal(20,0). A user schema picks columns by name and casts to its
types. The executors need pellumo installed.

A file skipped (on_missing "skip") or whose read met damage is logged
through PySpark's logger "pellumo_fleet.spark" (JSON lines on the
executor's stderr, with the path, the table and the reason or the damage
counts). The skipped files are also counted where the option
`skipped_counter` names a SkippedFiles counter, readable after the job:

    skipped = SkippedFiles(spark)
    frame = (spark.read.format("ese").option("table", "SruDbIdMapTable")
             .option("skipped_counter", skipped.option).load("/evidence/**/SRUDB.dat"))
    frame.count()
    skipped.count   # files left out by the job"""

from __future__ import annotations

import json
from collections.abc import Iterator, Sequence
from typing import Any, Literal

from pyspark.sql.datasource import DataSource, DataSourceReader, InputPartition
from pyspark.sql.types import (
    ArrayType,
    BinaryType,
    BooleanType,
    ByteType,
    DataType,
    DateType,
    DecimalType,
    DoubleType,
    FloatType,
    IntegerType,
    LongType,
    NullType,
    ShortType,
    StringType,
    StructField,
    StructType,
    TimestampNTZType,
    TimestampType,
)

__all__ = ["EseDataSource", "SkippedFiles", "arrow_to_spark_type", "spark_to_arrow_type"]


def arrow_to_spark_type(arrow_type: Any) -> DataType:
    """The Spark type that holds every value of an Arrow type as pellumo gives it."""
    from pellumo_fleet._arrow import pa

    t = pa.types
    if isinstance(arrow_type, pa.BaseExtensionType):
        arrow_type = arrow_type.storage_type  # a UUID is 16 bytes
    simple: list[tuple[Any, DataType]] = [
        (t.is_boolean, BooleanType()), (t.is_int8, ByteType()), (t.is_uint8, ShortType()),
        (t.is_int16, ShortType()), (t.is_uint16, IntegerType()), (t.is_int32, IntegerType()),
        (t.is_uint32, LongType()), (t.is_int64, LongType()), (t.is_uint64, DecimalType(20, 0)),
        (t.is_float32, FloatType()), (t.is_float64, DoubleType()), (t.is_string, StringType()),
        (t.is_large_string, StringType()), (t.is_binary, BinaryType()), (t.is_large_binary, BinaryType()),
        (t.is_fixed_size_binary, BinaryType()), (t.is_null, NullType()), (t.is_date32, DateType()),
    ]
    for test, spark_type in simple:
        if test(arrow_type):
            return spark_type
    if t.is_timestamp(arrow_type):
        return TimestampType() if arrow_type.tz is not None else TimestampNTZType()
    if t.is_decimal(arrow_type):
        return DecimalType(arrow_type.precision, arrow_type.scale)
    if t.is_list(arrow_type) or t.is_large_list(arrow_type):
        return ArrayType(arrow_to_spark_type(arrow_type.value_type), containsNull=True)
    raise TypeError(f"no Spark type for the Arrow type {arrow_type}")


def spark_to_arrow_type(spark_type: DataType) -> Any:
    """The Arrow type Spark expects in record batches for a Spark type."""
    from pellumo_fleet._arrow import pa

    simple: list[tuple[type[DataType], Any]] = [
        (BooleanType, pa.bool_()), (ByteType, pa.int8()), (ShortType, pa.int16()), (IntegerType, pa.int32()),
        (LongType, pa.int64()), (FloatType, pa.float32()), (DoubleType, pa.float64()),
        (StringType, pa.string()), (BinaryType, pa.binary()), (NullType, pa.null()),
        (TimestampNTZType, pa.timestamp("us")), (DateType, pa.date32()),
    ]
    for kind, arrow_type in simple:
        if isinstance(spark_type, kind):
            return arrow_type
    if isinstance(spark_type, TimestampType):
        return pa.timestamp("us", tz="UTC")
    if isinstance(spark_type, DecimalType):
        return pa.decimal128(spark_type.precision, spark_type.scale)
    if isinstance(spark_type, ArrayType):
        return pa.list_(spark_to_arrow_type(spark_type.elementType))
    raise TypeError(f"pellumo's Spark source cannot produce {spark_type.simpleString()}")


class _Options:
    """The data source's options, checked once on the driver."""

    def __init__(self, options: Any) -> None:
        table = options.get("table")
        if not table:
            raise ValueError('the ese data source needs the option "table", e.g. .option("table", "SruDbIdMapTable")')
        self.table: str = table
        self.columns: list[str] | None = _parse_columns(options.get("columns"))
        on_missing = options.get("on_missing", "skip")
        if on_missing not in ("skip", "error"):
            raise ValueError(f'option "on_missing" must be "skip" or "error", not {on_missing!r}')
        self.on_missing: str = on_missing
        values = options.get("values", "raw")
        if values not in ("raw", "engine"):
            raise ValueError(f'option "values" must be "raw" or "engine", not {values!r}')
        self.values: Literal["raw", "engine"] = "engine" if values == "engine" else "raw"
        source = options.get("source_column", "_source")
        self.source_column: str | None = source or None
        self.paths: list[str] = _parse_paths(options)
        counter = options.get("skipped_counter")
        if counter is not None and not counter.strip().isdigit():
            raise ValueError('option "skipped_counter" takes SkippedFiles(spark).option, not '
                             f"{counter!r}")
        self.skipped_counter: int | None = None if counter is None else int(counter)


def _parse_columns(text: str | None) -> list[str] | None:
    if text is None or not text.strip():
        return None
    text = text.strip()
    if text.startswith("["):
        names = json.loads(text)
        if not isinstance(names, list) or not all(isinstance(n, str) for n in names):
            raise ValueError('option "columns" must be a JSON list of names or names separated by commas')
        return list(names)
    return [name.strip() for name in text.split(",") if name.strip()]


def _parse_paths(options: Any) -> list[str]:
    from pellumo_fleet._paths import expand_paths

    paths: list[str] = []
    if options.get("path"):
        paths.append(options["path"])
    if options.get("paths"):
        listed = json.loads(options["paths"])
        paths.extend(listed if isinstance(listed, list) else [listed])
    if not paths:
        raise ValueError("the ese data source needs a path: .load(\"/evidence/**/SRUDB.dat\")")
    files: list[str] = []
    for path in paths:
        files.extend(expand_paths(path))
    return files


class SkippedFiles:
    """Counts the files reads of the "ese" source leave out (on_missing
    "skip": a file that cannot be opened, lacks the table, or whose records
    stop early), on the driver once a job has run. A Spark accumulator: a
    task run again (a retry, speculation, the frame computed twice) counts
    its file again. Needs a classic session (one with a SparkContext)."""

    def __init__(self, spark: Any) -> None:
        self._accumulator = spark.sparkContext.accumulator(0)

    @property
    def option(self) -> str:
        """The value of the source's option "skipped_counter"."""
        return str(self._accumulator.aid)

    @property
    def count(self) -> int:
        value: int = self._accumulator.value
        return value


class EseDataSource(DataSource):
    """ESE database files as a Spark data source, short name "ese"."""

    @classmethod
    def name(cls) -> str:
        return "ese"

    def schema(self) -> StructType:
        from pellumo_fleet._scan import first_readable
        from pellumo_fleet._schema import dedupe_fields
        from pellumo_fleet._tables import check_table_name

        options = _Options(self.options)
        check_table_name(options.table)
        # The files skipped before it are skipped again, and logged, by their partitions.
        path, arrow_schema, _ = first_readable(options.paths, options.table, options.columns, options.values,
                                               "error" if options.on_missing == "error" else "skip")
        fields = dedupe_fields(arrow_schema)
        names = options.columns if options.columns is not None else list(fields)
        missing = [n for n in names if n not in fields]
        if missing:
            raise ValueError(f"{path}, whose schema is the source's schema, lacks the column(s) "
                             f"{', '.join(map(repr, missing))}")
        # Nullable throughout: another file may lack a column.
        struct = StructType([StructField(n, arrow_to_spark_type(fields[n].type), True) for n in names])
        if options.source_column is not None:
            if options.source_column in fields:
                raise ValueError(f"source_column {options.source_column!r} is also a column of the table")
            struct.add(StructField(options.source_column, StringType(), False))
        return struct

    def reader(self, schema: StructType) -> DataSourceReader:
        return EseDataSourceReader(_Options(self.options), schema)


class EseDataSourceReader(DataSourceReader):
    """Reads one file per partition as Arrow record batches of the source's schema."""

    def __init__(self, options: _Options, schema: StructType) -> None:
        self.options = options
        self.schema = schema

    def partitions(self) -> Sequence[InputPartition]:
        return [InputPartition(path) for path in self.options.paths]

    def read(self, partition: InputPartition) -> Iterator[Any]:
        from pellumo_fleet._arrow import pa
        from pellumo_fleet._scan import _with_path, describe
        from pellumo_fleet._schema import Conformer
        from pellumo_fleet._tables import FileReader

        path: str = partition.value
        options = self.options
        target = pa.schema([pa.field(f.name, spark_to_arrow_type(f.dataType), f.nullable) for f in self.schema])
        source = options.source_column if options.source_column in target.names else None
        wanted = [n for n in target.names if n != source]
        try:
            file = FileReader(path, options.table, wanted, options.values)
        except (OSError, ValueError) as error:
            if options.on_missing == "error":
                raise _with_path(error, path) from error
            _report_skip(options, path, describe(error))
            return
        conform = Conformer(target, source, path)
        records = 0
        try:
            for batch in file.batches:
                records += batch.num_rows
                yield conform(batch)
        except (OSError, ValueError, pa.ArrowException) as error:
            _log_damage(file.damage_warnings())
            if options.on_missing == "error":
                raise _with_path(error, path) from error
            _report_skip(options, path, f"stopped after {records} records: {describe(error)}")
            return
        _log_damage(file.damage_warnings())


def _logger() -> Any:
    from pyspark.logger import PySparkLogger

    return PySparkLogger.getLogger("pellumo_fleet.spark")


def _report_skip(options: _Options, path: str, reason: str) -> None:
    _logger().warning(f"skipped {path}: {reason}", path=path, table=options.table, reason=reason)
    if options.skipped_counter is not None:
        # The driver's accumulator, by its id: what unpickling one in a task
        # gives; the task sends its additions back when it ends.
        from pyspark.accumulators import INT_ACCUMULATOR_PARAM, _deserialize_accumulator

        _deserialize_accumulator(options.skipped_counter, 0, INT_ACCUMULATOR_PARAM).add(1)


def _log_damage(found: list[Any]) -> None:
    for warning in found:
        _logger().warning(str(warning), path=warning.path, table=warning.table, damage=dict(warning.damage))
