"""User Access Logging (UAL): which clients used which server roles, per day.

A Windows Server keeps, in C:\\Windows\\System32\\LogFiles\\Sum, one database
for the current year (Current.mdb), one per earlier year ({GUID}.mdb), and
SystemIdentity.mdb, which describes the server and names the roles:

- CLIENTS: one record per role, tenant, address and user, with the access
  count of each day of the year in Day1 ... Day366 (day 1 is 1 January of
  the year of LastAccess); Address is the client's IPv4 (4 bytes) or IPv6
  (16 bytes) address;
- ROLE_ACCESS: first and last use of each role; VIRTUALMACHINES; DNS (the
  names the server resolved, Address already text);
- SYSTEM_IDENTITY, ROLE_IDS (RoleGuid -> RoleName, ProductName),
  CHAINED_DATABASES (which {GUID}.mdb holds which year).

Every DateTime column of these databases holds a FILETIME, not an OLE date:
they are read as stored and become timestamp[ns, UTC].

Tables: clients (without the DayN columns, with RoleName and ProductName),
clients_daily (one row per client and day with accesses), role_access,
virtual_machines, dns, and from the SystemIdentity database (the companion,
or the file itself) system_identity, role_ids, chained_databases.
"""

from __future__ import annotations

import calendar
import datetime
import re
from typing import Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import RECOVERED_COLUMN, Catalog, Kind, Source, TimelineSpec
from pellumo_artifacts._convert import (
    count_null_where,
    filetime_to_timestamp,
    free_name,
    guid_text,
    ip_text,
    join_present,
    map_distinct,
    uuid_storage,
)
from pellumo_artifacts._registry import register

# Output table -> (database table, lives in the SystemIdentity database)
TABLES = {
    "clients": ("CLIENTS", False),
    "clients_daily": ("CLIENTS", False),
    "role_access": ("ROLE_ACCESS", False),
    "virtual_machines": ("VIRTUALMACHINES", False),
    "dns": ("DNS", False),
    "system_identity": ("SYSTEM_IDENTITY", True),
    "role_ids": ("ROLE_IDS", True),
    "chained_databases": ("CHAINED_DATABASES", True),
}
_DAY = re.compile(r"^Day([1-9][0-9]{0,2})$")
_EPOCH_ORDINAL = datetime.date(1970, 1, 1).toordinal()


def _identity_database(catalog: Catalog) -> bool:
    return catalog.has_table("SYSTEM_IDENTITY") or catalog.has_table("ROLE_IDS")


def _join(strings: list[Any]) -> Any:
    """Parts joined with "; ", null parts left out (null when all are)."""
    if len(strings) == 1:
        return strings[0]
    return join_present(strings, "; ")


def _part(label: str, values: Any) -> Any:
    return pc.binary_join_element_wise(label, pc.cast(values, pa.string()), "")


@register
class UserAccessLogging(Kind):
    name = "ual"
    looked_for = "table CLIENTS or SYSTEM_IDENTITY"
    file_names = ("*.mdb",)
    companion_names = ("SystemIdentity.mdb",)
    priority = 20

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return catalog.has_table("CLIENTS") or catalog.has_table("SYSTEM_IDENTITY")

    def __init__(self, source: Source, companions: Any = ()) -> None:
        super().__init__(source, companions)
        if _identity_database(source.catalog):
            self.identity: Source | None = source
        else:
            self.identity = self.companion(_identity_database)
            for other in self.companions:
                if other is not self.identity:
                    self.warnings.add(f"companion {other.path} is no SystemIdentity database; not read")
        self._clients: Any = None
        self._roles: tuple[Any, Any, Any] | None = None
        self._added: dict[str, list[str]] = {}

    def _where(self, table: str, identity: bool) -> Source | None:
        source = self.identity if identity else self.source
        return source if source is not None and source.catalog.has_table(table) else None

    def table_names(self) -> list[str]:
        return [name for name, (table, identity) in TABLES.items() if self._where(table, identity) is not None]

    def _read(self, source: Source, table: str, columns: list[str] | None = None) -> Any:
        """The table with its DateTime columns (FILETIMEs) as timestamp[ns, UTC]."""
        types = source.catalog.column_types(table)
        wanted = columns if columns is not None else list(types)
        dates = [c for c in wanted if types.get(c) == "DateTime"]
        result = source.read(table, columns, raw_columns=dates)
        for column in dates:
            i = result.column_names.index(column)
            converted = filetime_to_timestamp(result.column(i), self.warnings, f"table {table} column {column}")
            result = result.set_column(i, pa.field(column, converted.type), converted)
        return result

    # --- roles -------------------------------------------------------------------

    def _role_lookup(self) -> tuple[Any, Any, Any] | None:
        """(RoleGuid storage, RoleName, ProductName) of ROLE_IDS, or None
        without a SystemIdentity database."""
        if self._roles is None:
            source = self._where("ROLE_IDS", True)
            if source is None:
                return None
            roles = self._read(source, "ROLE_IDS")
            self._roles = (uuid_storage(roles.column("RoleGuid")).combine_chunks(),
                           roles.column("RoleName").combine_chunks(), roles.column("ProductName").combine_chunks())
        return self._roles

    def _add_roles(self, name: str, table: Any, with_product: bool) -> Any:
        lookup = self._role_lookup()
        at = table.column_names.index("RoleGuid") + 1
        role_name = free_name(table.column_names, "RoleName")
        if lookup is None:
            self.warnings.add("no SystemIdentity database read with this one: RoleName is null")
            names = products = pa.nulls(table.num_rows, pa.string())
        else:
            guids, role_names, product_names = lookup
            positions = pc.index_in(uuid_storage(table.column("RoleGuid")), value_set=guids)
            missing = count_null_where(pc.and_(pc.is_valid(table.column("RoleGuid")), pc.is_null(positions)))
            self.warnings.count(f"table {name}: RoleGuid values ROLE_IDS does not name", missing)
            names, products = role_names.take(positions), product_names.take(positions)
        table = table.add_column(at, role_name, names)
        if with_product:
            table = table.add_column(at + 1, free_name(table.column_names, "ProductName"), products)
        return table

    # --- tables ------------------------------------------------------------------

    def _client_rows(self) -> Any:
        """CLIENTS, read once for clients and clients_daily: the Address as
        text, the times as timestamps."""
        if self._clients is None:
            table = self._read(self.source, "CLIENTS")
            if "Address" in table.column_names and not pa.types.is_string(table.schema.field("Address").type):
                i = table.column_names.index("Address")
                text = map_distinct(table.column(i), ip_text, pa.string())
                bad = count_null_where(pc.and_(pc.is_valid(table.column(i)), pc.is_null(text)))
                self.warnings.count("table clients: Address values of neither 4 nor 16 bytes, left null", bad)
                table = table.set_column(i, pa.field("Address", pa.string()), text)
            self._clients = table
        return self._clients

    def build(self, name: str) -> Any:
        table_name, identity = TABLES[name]
        source = self._where(table_name, identity)
        assert source is not None
        if name == "clients":
            rows = self._client_rows()
            table = rows.select([c for c in rows.column_names if not _DAY.match(c)])
            return self._add_roles(name, table, with_product=True) if "RoleGuid" in table.column_names else table
        if name == "clients_daily":
            return self._daily()
        table = self._read(source, table_name)
        if name == "role_access" and "RoleGuid" in table.column_names:
            table = self._add_roles(name, table, with_product=False)
        return table

    def _daily(self) -> Any:
        rows = self._client_rows()
        clients = self._add_roles("clients_daily", rows.select(
            [c for c in rows.column_names if not _DAY.match(c)]), with_product=False) \
            if "RoleGuid" in rows.column_names else rows
        keep = [c for c in ("RoleGuid", "RoleName", "TenantId", "AuthenticatedUserName", "Address", "ClientName",
                            RECOVERED_COLUMN) if c in clients.column_names]
        year_days, leap = self._years(rows)
        pieces = []
        for column in rows.column_names:
            match = _DAY.match(column)
            if not match or int(match.group(1)) > 366:
                continue
            day = int(match.group(1))
            counts = rows.column(column)
            chosen = pc.indices_nonzero(pc.fill_null(pc.greater(counts, 0), False))
            if len(chosen) == 0:
                continue
            fits = pc.take(leap, chosen) if day == 366 else pa.repeat(pa.scalar(True), len(chosen))
            start = pc.take(year_days, chosen)
            dates = pc.if_else(fits, pc.add(start, day - 1), pa.scalar(None, pa.int32()))
            missing = count_null_where(pc.is_null(dates))
            self.warnings.count("table clients_daily: days of no date (LastAccess missing, or day 366 of a year of "
                                "365 days), AccessDate left null", missing)
            piece = {"_client": pc.cast(chosen, pa.int64()), "_day": pa.repeat(pa.scalar(day, pa.int16()),
                                                                              len(chosen))}
            piece["AccessDate"] = pc.cast(pc.cast(dates, pa.int32()), pa.date32())
            piece["AccessCount"] = pc.cast(pc.take(counts, chosen), pa.uint32())
            for c in keep:
                piece[c] = pc.take(clients.column(c), chosen)
            pieces.append(pa.table(piece))
        schema = pa.schema([pa.field("_client", pa.int64()), pa.field("_day", pa.int16()),
                            pa.field("AccessDate", pa.date32()), pa.field("AccessCount", pa.uint32())]
                           + [clients.schema.field(c) for c in keep])
        if not pieces:
            return schema.empty_table().drop_columns(["_client", "_day"])
        daily = pa.concat_tables([p.cast(schema) for p in pieces])
        order = pc.sort_indices(daily, sort_keys=[("_client", "ascending"), ("_day", "ascending")])
        return daily.take(order).drop_columns(["_client", "_day"])

    def _years(self, rows: Any) -> tuple[Any, Any]:
        """Per client: the days from 1970-01-01 to 1 January of the year of
        LastAccess (int32), and whether that year has 366 days."""
        if "LastAccess" not in rows.column_names:
            return pa.nulls(rows.num_rows, pa.int32()), pa.nulls(rows.num_rows, pa.bool_())
        years = pc.year(rows.column("LastAccess"))
        start = map_distinct(years, lambda y: datetime.date(y, 1, 1).toordinal() - _EPOCH_ORDINAL, pa.int32())
        leap = map_distinct(years, calendar.isleap, pa.bool_())
        return start, pc.fill_null(leap, False)

    # --- timeline ----------------------------------------------------------------

    def timeline_specs(self) -> list[TimelineSpec]:
        specs = {
            "clients": (["InsertDate", "LastAccess"], self._client_summary),
            "role_access": (["FirstSeen", "LastSeen"], self._role_summary),
            "dns": (["LastSeen"], lambda t: _join([_part("host: ", t.column("HostName")),
                                                    _part("address: ", t.column("Address"))])),
            "virtual_machines": (["CreationTime", "LastSeenActive"],
                                 lambda t: _join([_part("vm: ", map_distinct(t.column("VmGuid"), guid_text,
                                                                             pa.string())),
                                                  _part("serial: ", t.column("SerialNumber"))])),
            "system_identity": (["CreationTime"], lambda t: _join([_part("host: ", t.column("SystemDNSHostName")),
                                                                   _part("domain: ", t.column("SystemDomainName"))])),
        }
        names = self.table_names()
        out = []
        for name, (columns, summary) in specs.items():
            if name in names:
                source = self._where(TABLES[name][0], TABLES[name][1])
                out.append(TimelineSpec(name, columns, summary, source.path if source is not None else None))
        return out

    @staticmethod
    def _client_summary(table: Any) -> Any:
        parts = [_part("user: ", table.column("AuthenticatedUserName")), _part("address: ", table.column("Address"))]
        role = table.column("RoleName") if "RoleName" in table.column_names else None
        if role is not None:
            parts.append(_part("role: ", pc.coalesce(role, map_distinct(table.column("RoleGuid"), guid_text,
                                                                        pa.string()))))
        return _join(parts)

    @staticmethod
    def _role_summary(table: Any) -> Any:
        guid = map_distinct(table.column("RoleGuid"), guid_text, pa.string())
        role = table.column("RoleName") if "RoleName" in table.column_names else guid
        return _part("role: ", pc.coalesce(role, guid))
