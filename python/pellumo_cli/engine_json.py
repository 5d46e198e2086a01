"""JSON text of records the CLI writes itself (recovered records; engine
values of live tables are written by the module's write_table_jsonl): the
export's conventions (members sorted by name, byte buffers as lowercase hex,
NaN and infinities as 0, as export_table writes them) plus the engine's
types: datetimes as ISO 8601 in UTC with a trailing Z, UUIDs as their
canonical text, multi-values as arrays."""

from __future__ import annotations

import datetime
import json
import math
import uuid
from collections.abc import Mapping

_Json = None | bool | int | float | str | list["_Json"]


def json_value(value: object) -> _Json:
    """One engine value as a JSON-ready object."""
    if value is None or isinstance(value, (bool, int, str)):
        return value
    if isinstance(value, float):
        return value if math.isfinite(value) else 0
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, datetime.datetime):
        text = value.astimezone(datetime.timezone.utc).replace(tzinfo=None).isoformat()
        return text + "Z"
    if isinstance(value, uuid.UUID):
        return str(value)
    if isinstance(value, list):
        return [json_value(item) for item in value]
    raise TypeError(f"no JSON form for {type(value).__name__}")


def json_line(record: Mapping[str, object], extra: Mapping[str, object] | None = None) -> str:
    """One record as a line of JSON (without the newline); `extra` adds
    members (or replaces those of the same name)."""
    merged = {**record, **extra} if extra else record
    members = {name: json_value(merged[name]) for name in sorted(merged)}
    return json.dumps(members, ensure_ascii=False, separators=(",", ":"), allow_nan=False)
