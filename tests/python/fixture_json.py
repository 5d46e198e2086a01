"""Test databases with real applications' schemas, declared in Python.

Tests describe tables, columns and records with the classes below; `write_database`
turns them into the JSON description that `pellumo_fixture_tool from-json` lays out
(tests/fixture/json_database.h describes every member) and runs the tool:

    from fixture_json import Column, Table, Record, write_database, ole_date, filetime

    ids = Table("SruDbIdMapTable", [Column("IdType", "unsigned_byte"), Column("IdIndex", "long"),
                                    Column("IdBlob", "long_binary")],
                records=[Record({"IdType": 3, "IdIndex": 1, "IdBlob": sid_bytes})],
                primary_key=["IdIndex"])
    path = write_database(tmp_path / "SRUDB.dat", [ids], page_size=8192)

Values map to the column's type: int, float, bool, str (text, GUID text), bytes
(any column: the stored bytes exactly), uuid.UUID (GUID), None (NULL), a list
(a multi-valued column), `Stored(...)` for long-value and compression choices.
DateTime columns take `ole_date(dt)` (a float: an OLE date) or `filetime(dt)`
(an int: the 64 bits stored as they are).
"""

from __future__ import annotations

import json
import os
import subprocess
import uuid
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, field
from datetime import datetime, timedelta, timezone
from pathlib import Path
from typing import Any, Literal

ColumnType = Literal["bit", "unsigned_byte", "short", "long", "currency", "ieee_single", "ieee_double", "datetime",
                     "binary", "text", "long_binary", "long_text", "unsigned_long", "long_long", "guid",
                     "unsigned_short"]
RecordState = Literal["live", "deleted_node", "emptied_page"]

_FILETIME_EPOCH = datetime(1601, 1, 1, tzinfo=timezone.utc)
_OLE_EPOCH = datetime(1899, 12, 30, tzinfo=timezone.utc)
# The page sizes and formats a reader tells apart: (page size, format
# version, format revision). 0x620/0x11+ with pages above 8 KiB is the
# large-page tag format; 0x620/0x0c the older ECC page header.
FORMATS: list[tuple[int, int, int]] = [(4096, 0x620, 0x14), (8192, 0x620, 0x14), (16384, 0x620, 0x14),
                                       (32768, 0x620, 0x14), (4096, 0x620, 0x0C)]


def filetime(when: datetime, extra_ticks: int = 0) -> int:
    """The FILETIME of an aware datetime (100 ns ticks since 1601), plus
    extra_ticks (0-9) for the digit a datetime cannot hold."""
    delta = when - _FILETIME_EPOCH
    return (delta.days * 86400 + delta.seconds) * 10_000_000 + delta.microseconds * 10 + extra_ticks


def ole_date(when: datetime) -> float:
    """The OLE automation date of an aware datetime: days since 1899-12-30."""
    return (when - _OLE_EPOCH) / timedelta(days=1)


def guid_bytes(value: str | uuid.UUID) -> bytes:
    """A GUID's 16 bytes as Windows stores them (first three groups little-endian)."""
    return uuid.UUID(str(value)).bytes_le


@dataclass
class Stored:
    """A value with storage choices: `separate` puts it in the long-value
    tree whatever its size, `compress` stores it compressed (tagged columns)."""

    value: Any
    separate: bool = False
    compress: Literal["seven_bit", "xpress", "lz4"] | None = None


@dataclass
class Column:
    name: str
    type: ColumnType | int
    id: int | None = None  # default: the next free id of the column's area
    codepage: int | None = None  # text: 1200 (the default), 1252 or 20127
    not_null: bool = False
    multi_valued: bool = False
    tagged: bool = False  # a fixed-size type stored as a tagged column
    width: int | None = None  # fixed text or binary columns
    flags: int = 0
    default: Any = None

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"name": self.name, "type": self.type}
        for key in ("id", "codepage", "width"):
            if getattr(self, key) is not None:
                out[key] = getattr(self, key)
        for key in ("not_null", "multi_valued", "tagged"):
            if getattr(self, key):
                out[key] = True
        if self.flags:
            out["flags"] = self.flags
        if self.default is not None:
            out["default"] = _value(self.default)
        return out


@dataclass
class Record:
    """One record; with repeat, that many copies, copy k adding k * step[c]
    to each numeric column c named in step (large tables from a small description)."""

    values: Mapping[str, Any]
    state: RecordState = "live"
    repeat: int = 1
    step: Mapping[str, int | float] | None = None

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {"values": {name: _value(v) for name, v in self.values.items()}}
        if self.state != "live":
            out["state"] = self.state
        if self.repeat != 1:
            out["repeat"] = self.repeat
        if self.step:
            out["step"] = dict(self.step)
        return out


@dataclass
class Index:
    name: str
    columns: Sequence[str]


@dataclass
class Table:
    name: str
    columns: Sequence[Column]
    records: Sequence[Record | Mapping[str, Any]] = field(default_factory=list)
    primary_key: Sequence[str] | None = None
    indexes: Sequence[Index] = ()
    long_value_threshold: int | None = None
    wide_long_value_ids: bool = False
    max_leaf_records: int | None = None

    def as_json(self) -> dict[str, Any]:
        out: dict[str, Any] = {
            "name": self.name,
            "columns": [c.as_json() for c in self.columns],
            "records": [(r if isinstance(r, Record) else Record(r)).as_json() for r in self.records],
        }
        if self.primary_key is not None:
            out["primary_key"] = list(self.primary_key)
        if self.indexes:
            out["indexes"] = [{"name": i.name, "columns": list(i.columns)} for i in self.indexes]
        if self.long_value_threshold is not None:
            out["long_value_threshold"] = self.long_value_threshold
        if self.wide_long_value_ids:
            out["wide_long_value_ids"] = True
        if self.max_leaf_records is not None:
            out["max_leaf_records"] = self.max_leaf_records
        return out


def _value(value: Any) -> Any:
    if isinstance(value, Stored):
        out = _value(value.value)
        if not isinstance(out, dict):
            out = {"value": out}
        if value.separate:
            out["separate"] = True
        if value.compress is not None:
            out["compress"] = value.compress
        return out
    if isinstance(value, (bytes, bytearray, memoryview)):
        return {"hex": bytes(value).hex()}
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, (list, tuple)):
        return [_value(v) for v in value]
    if isinstance(value, datetime):
        raise TypeError("say how a datetime is stored: ole_date(dt) or filetime(dt)")
    return value


def database_json(tables: Sequence[Table], *, page_size: int | None = None, format_version: int | None = None,
                  format_revision: int | None = None, page_checksums: bool = False) -> dict[str, Any]:
    """The JSON description (as a dict) of a database holding `tables`."""
    description: dict[str, Any] = {"tables": [t.as_json() for t in tables]}
    for key, value in (("page_size", page_size), ("format_version", format_version),
                       ("format_revision", format_revision)):
        if value is not None:
            description[key] = value
    if page_checksums:
        description["page_checksums"] = True
    return description


def fixture_tool() -> Path | None:
    """The fixture tool of the build the tests run against (None: not built)."""
    import conftest

    return conftest.FIXTURE_TOOL


def write_database(path: str | os.PathLike[str], tables: Sequence[Table], *, page_size: int | None = None,
                   format_version: int | None = None, format_revision: int | None = None,
                   page_checksums: bool = False, tool: str | os.PathLike[str] | None = None) -> str:
    """Writes the database to `path` (its folder made when missing) with the
    fixture tool; returns the path. RuntimeError with the tool's message when
    the description cannot be laid out; pytest skips the test when no build has the
    tool."""
    if tool is None:
        tool = fixture_tool()
        if tool is None:
            import pytest

            pytest.skip("pellumo_fixture_tool is not built")
    description = database_json(tables, page_size=page_size, format_version=format_version,
                         format_revision=format_revision, page_checksums=page_checksums)
    Path(path).parent.mkdir(parents=True, exist_ok=True)
    done = subprocess.run([os.fspath(tool), "from-json", "-", os.fspath(path)], input=json.dumps(description),
                          capture_output=True, text=True)
    if done.returncode != 0:
        raise RuntimeError(f"pellumo_fixture_tool from-json failed ({done.returncode}): {done.stderr.strip()}")
    return os.fspath(path)
