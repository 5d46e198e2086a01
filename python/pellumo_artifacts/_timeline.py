"""The timeline: one row per record and time column, all artifacts in one
table sorted by time, in the shape timeline tools ingest."""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._convert import to_timestamp_ns

if TYPE_CHECKING:
    from pellumo_artifacts._artifact import Artifact

TIMELINE_SCHEMA = pa.schema([
    pa.field("Time", pa.timestamp("ns", tz="UTC"), nullable=False),
    pa.field("Artifact", pa.string(), nullable=False),
    pa.field("Table", pa.string(), nullable=False),
    pa.field("TimeField", pa.string(), nullable=False),
    pa.field("Summary", pa.string()),
    pa.field("Source", pa.string(), nullable=False),
])


def artifact_rows(artifact: Artifact) -> Any:
    """The artifact's rows of the timeline, unsorted."""
    pieces = []
    for entry in artifact.timeline_specs():
        if entry.table not in artifact.table_names:
            continue
        table = artifact.table(entry.table)
        if table.num_rows == 0:
            continue
        summary = pc.cast(entry.summary(table), pa.string())
        for column in entry.time_columns:
            if column not in table.column_names:
                continue
            times = to_timestamp_ns(table.column(column))
            keep = pc.is_valid(times)
            n = int(pc.sum(pc.cast(keep, pa.int64())).as_py() or 0)
            if n == 0:
                continue
            pieces.append(pa.table([
                pc.filter(times, keep),
                pa.repeat(pa.scalar(artifact.kind), n),
                pa.repeat(pa.scalar(entry.table), n),
                pa.repeat(pa.scalar(column), n),
                pc.filter(summary, keep),
                pa.repeat(pa.scalar(entry.source or artifact.path), n),
            ], schema=TIMELINE_SCHEMA))
    if not pieces:
        return TIMELINE_SCHEMA.empty_table()
    return pa.concat_tables(pieces)


def sort_timeline(table: Any) -> Any:
    """By time; rows of one time in a fixed order (artifact, source, table,
    field, summary), so the output does not depend on reading order."""
    keys = [("Time", "ascending"), ("Artifact", "ascending"), ("Source", "ascending"), ("Table", "ascending"),
            ("TimeField", "ascending"), ("Summary", "ascending")]
    return table.take(pc.sort_indices(table, sort_keys=keys))


def timeline(artifacts: Iterable[Artifact]) -> Any:
    """The timeline of several artifacts as one pyarrow.Table (columns Time,
    Artifact, Table, TimeField, Summary, Source), sorted by time."""
    return merge_timelines([artifact_rows(a) for a in artifacts])


def merge_timelines(timelines: Iterable[Any]) -> Any:
    """Timelines made separately (Artifact.timeline() of each) as one, sorted."""
    pieces = list(timelines)
    if not pieces:
        return TIMELINE_SCHEMA.empty_table()
    return sort_timeline(pa.concat_tables(pieces))
