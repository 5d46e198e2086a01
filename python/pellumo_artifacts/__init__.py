"""Forensic artifacts stored in ESE databases, as the tables analysts read:
SRUM (SRUDB.dat), User Access Logging (Current.mdb, {GUID}.mdb and their
SystemIdentity.mdb), BITS (qmgr.db), File History (Catalog1.edb,
Catalog2.edb) and the catalog database of code signing (catroot2's catdb).

    import pellumo_artifacts
    srum = pellumo_artifacts.open("SRUDB.dat")
    print(srum.kind, srum.table_names)            # srum ['application', 'network_data', ...]
    usage = srum.table("network_data")            # a pyarrow.Table, ids resolved, times as timestamps
    events = pellumo_artifacts.timeline([srum, pellumo_artifacts.open("Current.mdb")])

Each table keeps the database's own columns (engine values: signed numbers,
UUIDs, timestamps, text without trailing NULs) and adds resolved columns
(names, SIDs, addresses, decoded blobs). Needs pyarrow."""

from pellumo_artifacts._artifact import Artifact, UnknownKindError, open_artifact
from pellumo_artifacts._base import Catalog, Kind, Source, TimelineSpec
from pellumo_artifacts._registry import kind_named, kinds, register
from pellumo_artifacts._timeline import TIMELINE_SCHEMA, merge_timelines, timeline

open = open_artifact  # noqa: A001 - the package's verb, as in pellumo_artifacts.open(path)

__all__ = ["TIMELINE_SCHEMA", "Artifact", "Catalog", "Kind", "Source", "TimelineSpec", "UnknownKindError",
           "kind_named", "kinds", "merge_timelines", "open", "register", "timeline"]
