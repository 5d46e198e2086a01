"""What a table name reads in one file: a table of the database, or, named
"artifact:<kind>/<table>", a table of pellumo_artifacts (SRUM's
network_data, UAL's clients, ...), which is built from the database's own
tables and then read like any other."""

from __future__ import annotations

from collections.abc import Sequence
from typing import Any

import pellumo

from pellumo_fleet._arrow import pa

ARTIFACT_PREFIX = "artifact:"


def artifact_table(table_name: str) -> tuple[str, str] | None:
    """(kind, table) of an "artifact:<kind>/<table>" name; None for a
    database table. ValueError for an artifact name missing a part."""
    if not table_name.startswith(ARTIFACT_PREFIX):
        return None
    kind, slash, table = table_name[len(ARTIFACT_PREFIX):].partition("/")
    if not kind or not slash or not table:
        raise ValueError(f"artifact tables are named artifact:<kind>/<table> (artifact:srum/network_data), "
                         f"not {table_name!r}")
    return kind, table


def check_table_name(table_name: str) -> None:
    """ValueError for a malformed artifact name or an artifact kind no module
    provides: mistakes in the name, not in the files."""
    parsed = artifact_table(table_name)
    if parsed is None:
        return
    import pellumo_artifacts

    if pellumo_artifacts.kind_named(parsed[0]) is None:
        known = ", ".join(k.name for k in pellumo_artifacts.kinds())
        raise ValueError(f"no artifact kind {parsed[0]!r} (known: {known})")


def _open_artifact(path: str, kind: str, table: str) -> Any:
    import pellumo_artifacts

    artifact = pellumo_artifacts.open(path)
    if artifact.kind != kind:
        raise ValueError(f"not a {kind} artifact (a {artifact.kind} one)")
    if table not in artifact.table_names:
        raise ValueError(f"Table not found: {table} (tables of this {kind} artifact: "
                         f"{', '.join(artifact.table_names)})")
    return artifact


def present_columns(db: pellumo.EseDatabase, table_name: str, columns: Sequence[str] | None) -> list[str] | None:
    """Those of `columns` that the file's table has, in the given order (None: all)."""
    if columns is None:
        return None
    names = {c["name"] for c in db.get_table_schema(table_name)}
    return [c for c in dict.fromkeys(columns) if c in names]


def table_schema(path: str, table_name: str, columns: Sequence[str] | None) -> tuple[list[str] | None, Any]:
    """The columns to ask the file for (those of `columns` it has; None: all)
    and the Arrow schema they give. Raises what opening the file raises, and
    ValueError "Table not found: ..." when the file lacks the table (or is
    not an artifact of the kind named)."""
    parsed = artifact_table(table_name)
    if parsed is None:
        db = pellumo.EseDatabase(path)
        present = present_columns(db, table_name, columns)
        return present, pa.schema(db.arrow(table_name, columns=present))
    schema = _open_artifact(path, *parsed).schema(parsed[1])
    if columns is None:
        return None, schema
    present = [c for c in dict.fromkeys(columns) if c in schema.names]
    return present, pa.schema([schema.field(c) for c in present], metadata=schema.metadata)


def open_reader(path: str, table_name: str, columns: Sequence[str] | None) -> Any:
    """A pyarrow.RecordBatchReader over the table in one file: only those of
    `columns` the file has (None: all). Raises as table_schema does."""
    parsed = artifact_table(table_name)
    if parsed is None:
        db = pellumo.EseDatabase(path)
        return pa.RecordBatchReader.from_stream(db.arrow(table_name, columns=present_columns(db, table_name,
                                                                                               columns)))
    table = _open_artifact(path, *parsed).table(parsed[1])
    if columns is not None:
        table = table.select([c for c in dict.fromkeys(columns) if c in table.column_names])
    return table.to_reader()
