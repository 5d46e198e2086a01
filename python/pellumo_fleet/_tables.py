"""What a table name reads in one file: a table of the database, or, named
"artifact:<kind>/<table>", a table of pellumo_artifacts (SRUM's
network_data, UAL's clients, ...), which is built from the database's own
tables and then read like any other."""

from __future__ import annotations

from collections.abc import Iterable, Mapping, Sequence
from typing import Any, Literal

import pellumo

from pellumo_fleet._arrow import pa

ARTIFACT_PREFIX = "artifact:"

# The values a database table is read with: as stored, or as the database
# engine returns them (multi-values as lists, dates as UTC timestamps, GUIDs
# as UUIDs, records flagged deleted left out). Artifact tables are decoded
# already and read the same either way.
Values = Literal["raw", "engine"]


def check_values(values: str) -> None:
    if values not in ("raw", "engine"):
        raise ValueError(f"values must be 'raw' or 'engine', not {values!r}")


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


def _open_artifact(path: str, kind: str, table: str, *, warn: bool = True) -> Any:
    import pellumo_artifacts

    artifact = pellumo_artifacts.open(path, warn=warn)
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


def table_schema(path: str, table_name: str, columns: Sequence[str] | None,
                 values: Values = "raw") -> tuple[list[str] | None, Any]:
    """The columns to ask the file for (those of `columns` it has; None: all)
    and the Arrow schema they give. Raises what opening the file raises, and
    ValueError "Table not found: ..." when the file lacks the table (or is
    not an artifact of the kind named). Damage to the file's catalog is not
    told here: the read of the file tells it (FileReader)."""
    parsed = artifact_table(table_name)
    if parsed is None:
        db = pellumo.EseDatabase.open(path, warn=False)
        present = present_columns(db, table_name, columns)
        return present, pa.schema(db.arrow(table_name, columns=present, values=values))
    schema = _open_artifact(path, *parsed, warn=False).schema(parsed[1])
    if columns is None:
        return None, schema
    present = [c for c in dict.fromkeys(columns) if c in schema.names]
    return present, pa.schema([schema.field(c) for c in present], metadata=schema.metadata)


class FileReader:
    """The table in one file as a pyarrow.RecordBatchReader (`batches`),
    and, once it is exhausted, what the read could not read. The module's
    own warnings, the open's about the catalog and the read's, are held back
    (warn=False): the reader that consumes the batches issues them, on its
    own thread, with the file's place in the read."""

    def __init__(self, path: str, table_name: str, columns: Sequence[str] | None, values: Values = "raw") -> None:
        parsed = artifact_table(table_name)
        self._source: Any = None
        self._artifact: Any = None
        self._catalog: pellumo.DamageWarning | None = None
        if parsed is None:
            db = pellumo.EseDatabase.open(path, warn=False)
            self._catalog = db.catalog_damage_warning
            self._source = db.arrow(table_name, columns=present_columns(db, table_name, columns), values=values,
                                    warn=False)
            self.batches: Any = pa.RecordBatchReader.from_stream(self._source)
            return
        self._artifact = _open_artifact(path, *parsed)
        table = self._artifact.table(parsed[1])
        if columns is not None:
            table = table.select([c for c in dict.fromkeys(columns) if c in table.column_names])
        self.batches = table.to_reader()

    def damage_warnings(self) -> list[pellumo.DamageWarning]:
        """The DamageWarnings of the file so far, not issued: the open's
        about the catalog, then the read's; none for an artifact table (an
        artifact warns while it is opened and built)."""
        if self._source is None:
            return []
        found = [self._catalog, self._source.damage_warning]
        return [w for w in found if w is not None]

    def damage(self) -> dict[str, Any] | None:
        """What the file so far could not read (DamageWarning.damage's
        counts, those of the catalog and of the read summed); None without
        damage. An artifact table sums the damage of the database tables it
        was built from, and of their catalog."""
        if self._artifact is None:
            return sum_damage(dict(w.damage) for w in self.damage_warnings())
        return sum_damage(self._artifact.damage)


def sum_damage(entries: Iterable[Mapping[str, Any]]) -> dict[str, Any] | None:
    """The damage counts of several reads added up (reasons by reason);
    None when there are none."""
    total: dict[str, Any] = {}
    for entry in entries:
        for key, value in entry.items():
            if key == "reasons":
                reasons = total.setdefault("reasons", {})
                for reason, count in value.items():
                    reasons[reason] = reasons.get(reason, 0) + count
            elif isinstance(value, int):
                total[key] = total.get(key, 0) + value
    return total or None
