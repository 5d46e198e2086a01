"""One schema for the same table read from many files, and each file's
batches brought to it.

Files of the same kind written by different builds of an application do not
always agree: a column added in a later version, a column whose type changed.
Columns are matched by name; a column a file lacks is null there."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

from pellumo_fleet._arrow import pa


class SchemaConflictError(ValueError):
    """A column has different types in two files."""


def dedupe_fields(schema: Any) -> dict[str, Any]:
    """name -> field, in column order. Where two columns of a table decode to
    the same name, the later one is kept, as read_table's dicts keep it."""
    fields: dict[str, Any] = {}
    for field in schema:
        fields.pop(field.name, None)
        fields[field.name] = field
    return fields


def unify(file_schemas: Sequence[tuple[str, Any]], columns: Sequence[str] | None) -> Any:
    """The schema of a read over several files: file_schemas holds (path,
    pyarrow.Schema) in reading order.

    Without `columns`: every column of every file, in the order first seen,
    and a column whose type differs between two files raises
    SchemaConflictError naming both. With `columns`: those columns in that
    order; where their types differ, they are promoted to a common type when
    one exists (int32 and int64 to int64, ...), else SchemaConflictError. A
    listed column that no file holds raises ValueError. A field is nullable
    when it is nullable in any file or missing from one; its metadata is the
    first file's."""
    if not file_schemas:
        raise ValueError("no schemas to unify")
    merged: dict[str, Any] = {}
    first_path: dict[str, str] = {}
    seen_in: dict[str, int] = {}
    wanted = None if columns is None else set(columns)
    for path, schema in file_schemas:
        for name, field in dedupe_fields(schema).items():
            if wanted is not None and name not in wanted:
                continue
            seen_in[name] = seen_in.get(name, 0) + 1
            known = merged.get(name)
            if known is None:
                merged[name] = field
                first_path[name] = path
                continue
            if not known.type.equals(field.type):
                promoted = _promote(known, field) if columns is not None else None
                if promoted is None:
                    raise SchemaConflictError(
                        f"column {name!r} is {known.type} in {first_path[name]} but {field.type} in {path}"
                        + ("" if columns is not None else "; pass columns= without it to read the others"))
                known = known.with_type(promoted)
            merged[name] = known.with_nullable(known.nullable or field.nullable)
    if columns is not None:
        missing = [name for name in columns if name not in merged]
        if missing:
            raise ValueError(f"no file has the column(s) {', '.join(map(repr, missing))}")
        order = list(dict.fromkeys(columns))
    else:
        order = list(merged)
    fields = []
    for name in order:
        field = merged[name]
        if seen_in[name] < len(file_schemas):
            field = field.with_nullable(True)
        fields.append(field)
    return pa.schema(fields, metadata=file_schemas[0][1].metadata)


def _promote(a: Any, b: Any) -> Any | None:
    try:
        unified = pa.unify_schemas([pa.schema([a]), pa.schema([b.with_name(a.name)])],
                                   promote_options="permissive")
    except (pa.ArrowTypeError, pa.ArrowInvalid, pa.ArrowNotImplementedError):
        return None
    return unified.field(0).type


def with_source(schema: Any, source_column: str | None) -> Any:
    """schema plus the utf8 provenance column, last."""
    if source_column is None:
        return schema
    if source_column in schema.names:
        raise ValueError(f"source_column {source_column!r} is also a column of the table; choose another name "
                         "(or None for no provenance column)")
    return schema.append(pa.field(source_column, pa.string(), nullable=False))


class Conformer:
    """Brings one file's batches to the shared schema: columns picked by name
    and put in order, missing ones as nulls, promoted types cast, and the
    provenance column appended."""

    def __init__(self, target: Any, source_column: str | None, path: str) -> None:
        self._target = target
        self._data_fields = [f for f in target if f.name != source_column] if source_column else list(target)
        self._path = path
        self._source = source_column is not None
        self._source_cache: Any = None
        self._plan: list[int] | None = None
        self._plan_for: Any = None

    def _make_plan(self, schema: Any) -> list[int]:
        index: dict[str, int] = {}
        for i, name in enumerate(schema.names):
            index[name] = i  # the later of two same-named columns wins
        return [index.get(f.name, -1) for f in self._data_fields]

    def __call__(self, batch: Any) -> Any:
        if self._plan is None or not batch.schema.equals(self._plan_for):
            self._plan = self._make_plan(batch.schema)
            self._plan_for = batch.schema
        n = batch.num_rows
        arrays = []
        for field, i in zip(self._data_fields, self._plan, strict=True):
            if i < 0:
                arrays.append(pa.nulls(n, field.type))
                continue
            column = batch.column(i)
            if not column.type.equals(field.type):
                try:
                    column = column.cast(field.type)
                except (pa.ArrowInvalid, pa.ArrowNotImplementedError) as error:
                    raise SchemaConflictError(f"{self._path}: column {field.name!r} cannot be read as "
                                              f"{field.type}: {error}") from None
            arrays.append(column)
        if self._source:
            arrays.append(self._source_array(n))
        return pa.RecordBatch.from_arrays(arrays, schema=self._target)

    def _source_array(self, n: int) -> Any:
        cache = self._source_cache
        if cache is None or len(cache) < n:
            cache = self._source_cache = pa.repeat(pa.scalar(self._path, pa.string()), max(n, 1024))
        return cache.slice(0, n)
