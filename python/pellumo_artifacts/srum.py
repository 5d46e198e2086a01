"""SRUM: the System Resource Usage Monitor's database (SRUDB.dat).

Windows records, per hour or so, what each application and user did: CPU
cycles, bytes read and written, network traffic per interface, connection
time, energy use. Each provider ("extension") has a table named after its
GUID; every record names its application and user by integer ids that
SruDbIdMapTable resolves:

- IdType 0, 1, 2 and 4: the IdBlob is UTF-16LE text (an executable's path,
  a service name, a packaged application's name, ...);
- IdType 3: the IdBlob is a binary SID (the user).

TimeStamp (a DateTime column) holds an OLE date, the engine's own date
type. Some providers keep further times as FILETIMEs in Long long columns
(ConnectStartTime of the connectivity provider, StartTime and EndTime of
the application timeline and VFU providers, EventTimestamp of the energy
providers): these become timestamp[ns, UTC].

Tables offered: `id_map` (SruDbIdMapTable with IdText: the blob as text or
SID) and one per extension GUID present, by the names below; a GUID table
not among them keeps its GUID as name, with a warning.
"""

from __future__ import annotations

import re
from typing import Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import Catalog, Kind, TimelineSpec
from pellumo_artifacts._convert import (
    count_null_where,
    filetime_to_timestamp,
    free_name,
    join_present,
    sid_text,
    utf16_text,
)
from pellumo_artifacts._registry import register

ID_MAP_TABLE = "SruDbIdMapTable"
ID_TYPE_SID = 3

EXTENSIONS = {
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA89}": "application",
    "{D10CA2FE-6FCF-4F6D-848E-B2E99266FA86}": "push_notification",
    "{973F5D5C-1D90-4944-BE8E-24B94231A174}": "network_data",
    "{DD6636C4-8929-4683-974E-22C046A43763}": "network_connectivity",
    "{DA73FB89-2BEA-4DDC-86B8-6E048C6DA477}": "energy_estimator",
    "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}": "energy_usage",
    "{FEE4E14F-02A9-4550-B5CE-5FA2DA202E37}LT": "energy_usage_lt",
    "{5C8CF1C7-7257-4F13-B223-970EF5939312}": "app_timeline",
    "{7ACBBAA3-D029-4BE4-9A7A-0885927F1D8F}": "vfu",
    "{17F4D97B-F26A-5E79-3A82-90040A47D13D}": "sdp_volume",
    "{841A7317-3805-518B-C2EA-AD224CB4AF84}": "sdp_physical_disk",
    "{DC3D3B50-BB90-5066-FA4E-A5F90DD8B677}": "sdp_cpu",
    "{EEE2F477-0659-5C47-EF03-6D6BEFD441B3}": "sdp_network",
}

# Long long columns that hold FILETIMEs, wherever they appear.
FILETIME_COLUMNS = ("ConnectStartTime", "StartTime", "EndTime", "EventTimestamp")

_GUID_TABLE = re.compile(r"^\{[0-9A-Fa-f]{8}(-[0-9A-Fa-f]{4}){3}-[0-9A-Fa-f]{12}\}(LT)?$")


def id_text(id_type: int | None, blob: bytes | None) -> str | None:
    """An id map entry's blob as text: a SID for type 3, UTF-16LE text else."""
    if blob is None:
        return None
    return sid_text(blob) if id_type == ID_TYPE_SID else utf16_text(blob)


@register
class Srum(Kind):
    name = "srum"
    looked_for = f"table {ID_MAP_TABLE}"
    file_names = ("SRUDB.dat",)
    priority = 10

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_table(ID_MAP_TABLE)

    def __init__(self, *args: Any, **kwargs: Any) -> None:
        super().__init__(*args, **kwargs)
        self._db_tables = self._plan()
        self._ids: tuple[Any, Any, Any] | None = None
        self._id_table: tuple[Any, str] | None = None
        self._added: dict[str, tuple[str | None, str | None]] = {}

    def _plan(self) -> dict[str, str]:
        """Output table name -> database table, in listing order."""
        catalog = self.source.catalog
        plan = {"id_map": ID_MAP_TABLE}
        for guid, name in EXTENSIONS.items():
            if catalog.has_table(guid):
                plan[name] = guid
        for table in catalog.tables:
            if _GUID_TABLE.match(table) and table not in EXTENSIONS:
                plan[table] = table
                self.warnings.add(f"SRUM table {table} is not a known extension; kept under its own name")
        return plan

    def table_names(self) -> list[str]:
        return list(self._db_tables)

    # --- the id map -------------------------------------------------------------

    def _id_map(self) -> tuple[Any, str]:
        """SruDbIdMapTable with IdText; and the name IdText took. Read once:
        the id_map table and every resolution share it."""
        if self._id_table is not None:
            return self._id_table
        table = self.source.read(ID_MAP_TABLE)
        types = table.column("IdType").to_pylist()
        blobs = table.column("IdBlob").to_pylist()
        texts = [id_text(t, b) for t, b in zip(types, blobs, strict=True)]
        bad = sum(1 for t, b, x in zip(types, blobs, texts, strict=True)
                  if t == ID_TYPE_SID and b is not None and x is None)
        self.warnings.count(f"table id_map: IdBlob values of type {ID_TYPE_SID} that are no SID, IdText left null",
                            bad)
        text_name = free_name(table.column_names, "IdText")
        self._id_table = table.append_column(text_name, pa.array(texts, pa.string())), text_name
        return self._id_table

    def _lookup(self) -> tuple[Any, Any, Any]:
        """(ids, texts, SIDs) of the id map, one entry per IdIndex: the first
        row of each, and live rows come before recovered ones, so a recovered
        entry only fills an index that no live entry holds."""
        if self._ids is None:
            table, text_name = self._id_map()
            ids = pc.cast(table.column("IdIndex"), pa.int64()).combine_chunks()
            first = pc.equal(pc.index_in(ids, value_set=ids), pa.array(range(table.num_rows), pa.int32()))
            table = table.filter(first)
            texts = table.column(text_name).combine_chunks()
            sids = pc.if_else(pc.equal(table.column("IdType").combine_chunks(), ID_TYPE_SID), texts,
                              pa.scalar(None, pa.string()))
            self._ids = (pc.cast(table.column("IdIndex"), pa.int64()).combine_chunks(), texts, sids)
        return self._ids

    # --- tables -----------------------------------------------------------------

    def build(self, name: str) -> Any:
        db_table = self._db_tables[name]
        if name == "id_map":
            return self._id_map()[0]
        table = self.source.read(db_table)
        columns = table.column_names
        app_name = user_sid = None
        if "AppId" in columns or "UserId" in columns:
            ids, texts, sids = self._lookup()
            at = columns.index("UserId") + 1 if "UserId" in columns else columns.index("AppId") + 1
            if "AppId" in columns:
                app_name = free_name(table.column_names, "AppName")
                table = table.add_column(at, app_name, self._resolve(name, table, "AppId", ids, texts))
                at += 1
            if "UserId" in columns:
                user_sid = free_name(table.column_names, "UserSid")
                table = table.add_column(at, user_sid, self._resolve(name, table, "UserId", ids, sids))
        for column in FILETIME_COLUMNS:
            if column in columns and pa.types.is_integer(table.schema.field(column).type):
                i = table.column_names.index(column)
                converted = filetime_to_timestamp(table.column(column), self.warnings,
                                                  f"table {name} column {column}")
                table = table.set_column(i, pa.field(column, converted.type), converted)
        self._added[name] = (app_name, user_sid)
        return table

    def _resolve(self, name: str, table: Any, id_column: str, ids: Any, values: Any) -> Any:
        keys = pc.cast(table.column(id_column), pa.int64())
        positions = pc.index_in(keys, value_set=ids)
        missing = count_null_where(pc.and_(pc.is_valid(keys), pc.is_null(positions)))
        self.warnings.count(f"table {name}: {id_column} values with no entry in {ID_MAP_TABLE}", missing)
        if isinstance(positions, pa.ChunkedArray):
            return pa.chunked_array([values.take(c) for c in positions.chunks], type=pa.string())
        return values.take(positions)

    # --- timeline ---------------------------------------------------------------

    def timeline_specs(self) -> list[TimelineSpec]:
        specs = []
        for name, db_table in self._db_tables.items():
            if name == "id_map":
                continue
            present = self.source.catalog.columns(db_table)
            times = [c for c in ("TimeStamp", *FILETIME_COLUMNS) if c in present]
            if times:
                specs.append(TimelineSpec(name, times, self._summary_of(name)))
        return specs

    def _summary_of(self, name: str) -> Any:
        def summary(table: Any) -> Any:
            app_name, user_sid = self._added.get(name, (None, None))
            parts = []
            if app_name is not None:
                app = pc.coalesce(table.column(app_name),
                                  pc.binary_join_element_wise("AppId ", pc.cast(table.column("AppId"), pa.string()),
                                                              ""))
                parts.append(pc.binary_join_element_wise("app: ", app, ""))
            if user_sid is not None:
                user = pc.coalesce(table.column(user_sid),
                                   pc.binary_join_element_wise("UserId ", pc.cast(table.column("UserId"), pa.string()),
                                                               ""))
                parts.append(pc.binary_join_element_wise("user: ", user, ""))
            if not parts:
                return pa.repeat(pa.scalar(name), table.num_rows)
            if len(parts) == 1:
                return parts[0]
            return join_present(parts, "; ")
        return summary
