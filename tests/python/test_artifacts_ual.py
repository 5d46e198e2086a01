"""pellumo_artifacts on User Access Logging: clients with role names and IP
text, one row per client and day, FILETIMEs to the 100 ns, the SystemIdentity
companion found, given, absent or opened alone; fixtures of the real schema
and the sample Current.mdb with its SystemIdentity.mdb."""

import datetime as dt
import gzip
import shutil

import pytest

pa = pytest.importorskip("pyarrow")

from artifact_fixtures import (  # noqa: E402
    FILE_SERVER,
    ROLE_NAMES,
    UAL_CLIENTS,
    UAL_INSERT,
    UNNAMED_ROLE,
    system_identity_tables,
    ual_tables,
)
from conftest import INSTALLED, ROOT, SAMPLES_DIR  # noqa: E402
from fixture_json import FORMATS, write_database  # noqa: E402

if not INSTALLED:
    import sys

    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402

MAIN_TABLES = ["clients", "clients_daily", "role_access", "virtual_machines", "dns"]
IDENTITY_TABLES = ["system_identity", "role_ids", "chained_databases"]


@pytest.fixture
def ual_dir(tmp_path):
    write_database(tmp_path / "Current.mdb", ual_tables())
    write_database(tmp_path / "SystemIdentity.mdb", system_identity_tables())
    return tmp_path


def ns(when, ticks=0):
    return int(when.timestamp()) * 10**9 + when.microsecond * 1000 + ticks * 100


def test_companion_found_beside_the_file(ual_dir):
    art = pellumo_artifacts.open(ual_dir / "Current.mdb")
    assert art.kind == "ual"
    assert art.companion_paths == [str(ual_dir / "SystemIdentity.mdb")]
    assert art.table_names == MAIN_TABLES + IDENTITY_TABLES


def test_clients(ual_dir):
    art = pellumo_artifacts.open(ual_dir / "Current.mdb")
    clients = art.table("clients")
    assert clients.column_names == ["RoleGuid", "RoleName", "ProductName", "TenantId", "TotalAccesses", "InsertDate",
                                    "LastAccess", "Address", "AuthenticatedUserName", "ClientName"]
    rows = clients.to_pylist()
    assert [r["Address"] for r in rows] == ["10.0.0.5", "::1", "2001:db8::1", None]
    assert [r["RoleName"] for r in rows] == ["File Server", None, "File Server", "File Server"]
    assert [r["ProductName"] for r in rows] == ["Windows Server", None, "Windows Server", "Windows Server"]
    assert [r["AuthenticatedUserName"] for r in rows] == ["corp\\alice", "corp\\dc01$", "corp\\bob", "corp\\odd"]
    assert rows[0]["ClientName"] == "ws01.corp.local"
    assert clients.schema.field("InsertDate").type == pa.timestamp("ns", tz="UTC")
    assert clients.column("InsertDate")[0].value == ns(UAL_INSERT, 7)   # the seventh 100 ns tick kept
    assert str(rows[0]["RoleGuid"]) == FILE_SERVER
    warnings = "\n".join(art.warnings)
    assert "table clients: RoleGuid values ROLE_IDS does not name: 1" in warnings
    assert "table clients: Address values of neither 4 nor 16 bytes, left null: 1" in warnings


def test_clients_daily(ual_dir):
    art = pellumo_artifacts.open(ual_dir / "Current.mdb")
    daily = art.table("clients_daily")
    assert daily.column_names == ["AccessDate", "AccessCount", "RoleGuid", "RoleName", "TenantId",
                                  "AuthenticatedUserName", "Address", "ClientName"]
    got = [(r["AuthenticatedUserName"], r["AccessDate"], r["AccessCount"]) for r in daily.to_pylist()]
    assert got == [
        ("corp\\alice", dt.date(2024, 1, 1), 2),
        ("corp\\alice", dt.date(2024, 2, 29), 4),     # day 60 of a leap year
        ("corp\\alice", dt.date(2024, 12, 31), 6),    # day 366
        ("corp\\dc01$", dt.date(2021, 11, 22), 1),
        ("corp\\dc01$", None, 2),                      # day 366 of 2021, which has 365
        ("corp\\bob", None, 1),                        # no LastAccess: no year
    ]
    assert sum(n for _, days in UAL_CLIENTS for n in days.values()) == sum(daily.column("AccessCount").to_pylist())
    assert "table clients_daily: days of no date (LastAccess missing, or day 366 of a year of 365 days), " \
           "AccessDate left null: 2" in art.warnings


def test_other_tables_and_times(ual_dir):
    art = pellumo_artifacts.open(ual_dir / "Current.mdb")
    roles = art.table("role_access").to_pylist()
    assert [r["RoleName"] for r in roles] == ["File Server", None]
    assert roles[0]["FirstSeen"].value == ns(UAL_INSERT, 3) and roles[1]["LastSeen"] is None  # 0: never
    assert art.table("dns").to_pylist()[0]["Address"] == "10.10.10.100"
    assert art.table("virtual_machines").column("SerialNumber").to_pylist() == ["VMware-56 4d"]
    identity = art.table("system_identity").to_pylist()[0]
    assert identity["SystemManufacturer"] == "VMware, Inc." and identity["SystemDNSHostName"] == "FS01"
    assert identity["OSLastBootUpTime"] == "20240105072036.500000-420"
    names = {str(r["RoleGuid"]): r["RoleName"] for r in art.table("role_ids").to_pylist()}
    assert names == {g: n for g, (n, _) in ROLE_NAMES.items()}
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema, name


@pytest.mark.parametrize("how", ["absent", "refused"])
def test_without_companion(ual_dir, how):
    if how == "absent":
        (ual_dir / "SystemIdentity.mdb").unlink()
        art = pellumo_artifacts.open(ual_dir / "Current.mdb")
    else:
        art = pellumo_artifacts.open(ual_dir / "Current.mdb", companions=[])
    assert art.table_names == MAIN_TABLES
    assert art.table("clients").column("RoleName").null_count == 4
    assert art.table("clients").num_rows == 4 and art.table("clients_daily").num_rows == 6
    assert art.warnings == ["no SystemIdentity database read with this one: RoleName is null",
                            "table clients: Address values of neither 4 nor 16 bytes, left null: 1",
                            "table clients_daily: days of no date (LastAccess missing, or day 366 of a year of 365 "
                            "days), AccessDate left null: 2"]


def test_companion_given_and_companion_of_another_kind(ual_dir, tmp_path):
    elsewhere = tmp_path / "elsewhere"
    elsewhere.mkdir()
    shutil.move(ual_dir / "SystemIdentity.mdb", elsewhere / "id.mdb")
    other = write_database(tmp_path / "other.mdb", ual_tables())
    art = pellumo_artifacts.open(ual_dir / "Current.mdb", companions=[other, elsewhere / "id.mdb"])
    assert art.table("clients").column("RoleName").to_pylist()[0] == "File Server"
    assert f"companion {other} is no SystemIdentity database; not read" in art.warnings


def test_system_identity_alone(ual_dir):
    art = pellumo_artifacts.open(ual_dir / "SystemIdentity.mdb")
    assert art.kind == "ual" and art.table_names == IDENTITY_TABLES and art.companion_paths == []
    assert art.timeline().column("TimeField").to_pylist() == ["CreationTime"]


def test_recovered_clients(tmp_path):
    write_database(tmp_path / "Current.mdb", ual_tables(recovered_rows=True))
    write_database(tmp_path / "SystemIdentity.mdb", system_identity_tables())
    art = pellumo_artifacts.open(tmp_path / "Current.mdb", recovered=True)
    clients = art.table("clients").to_pylist()
    assert [r["_recovered"] for r in clients] == [False] * 4 + [True]
    gone = clients[-1]
    assert gone["AuthenticatedUserName"] == "corp\\mallory" and gone["Address"] == "192.168.1.9"
    assert gone["RoleName"] == "File Server" and gone["LastAccess"].year == 2021
    daily = art.table("clients_daily").to_pylist()
    assert [(r["AccessDate"], r["_recovered"]) for r in daily if r["AuthenticatedUserName"] == "corp\\mallory"] == \
        [(dt.date(2021, 1, 5), True)]
    assert all(r["_recovered"] is False for r in daily if r["AuthenticatedUserName"] != "corp\\mallory")
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema, name


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_page_format(tmp_path, page_size, version, revision):
    for name, tables in (("Current.mdb", ual_tables()), ("SystemIdentity.mdb", system_identity_tables())):
        write_database(tmp_path / name, tables, page_size=page_size, format_version=version,
                       format_revision=revision)
    art = pellumo_artifacts.open(tmp_path / "Current.mdb")
    assert art.table("clients").column("Address").to_pylist()[:3] == ["10.0.0.5", "::1", "2001:db8::1"]
    assert art.table("clients_daily").num_rows == 6


def test_timeline(ual_dir):
    timeline = pellumo_artifacts.open(ual_dir / "Current.mdb").timeline()
    rows = timeline.to_pylist()
    fields = {(r["Table"], r["TimeField"]) for r in rows}
    assert fields == {("clients", "InsertDate"), ("clients", "LastAccess"), ("role_access", "FirstSeen"),
                      ("role_access", "LastSeen"), ("dns", "LastSeen"), ("virtual_machines", "CreationTime"),
                      ("system_identity", "CreationTime")}
    alice = [r["Summary"] for r in rows if r["Table"] == "clients" and r["TimeField"] == "InsertDate"]
    assert "user: corp\\alice; address: 10.0.0.5; role: File Server" in alice
    assert f"user: corp\\dc01$; address: ::1; role: {UNNAMED_ROLE}" in alice
    assert timeline.column("Time").to_pylist() == sorted(timeline.column("Time").to_pylist())


# --- the samples -------------------------------------------------------------------------


@pytest.fixture(scope="module")
def sample_ual(tmp_path_factory):
    folder = tmp_path_factory.mktemp("ual")
    for name in ("Current.mdb", "SystemIdentity.mdb"):
        packed = SAMPLES_DIR / f"{name}.gz"
        if not packed.is_file():
            pytest.skip(f"sample {packed} is absent")
        with gzip.open(packed) as src, open(folder / name, "wb") as dst:
            shutil.copyfileobj(src, dst)
    return folder


def test_sample(sample_ual):
    art = pellumo_artifacts.open(sample_ual / "Current.mdb")
    db = pellumo.EseDatabase(str(sample_ual / "Current.mdb"))
    identity = pellumo.EseDatabase(str(sample_ual / "SystemIdentity.mdb"))
    assert art.table_names == MAIN_TABLES + IDENTITY_TABLES
    raw = db.read_table("CLIENTS")
    clients = art.table("clients")
    assert clients.num_rows == len(raw)
    roles = {r["RoleGuid"]: r["RoleName"].rstrip("\0") for r in identity.read_table("ROLE_IDS")}
    for row, stored in zip(clients.to_pylist(), raw, strict=True):
        assert row["RoleName"] == roles.get(stored["RoleGuid"])
        assert row["InsertDate"].value == (stored["InsertDate"] - 116444736000000000) * 100
        address = stored["Address"]
        assert row["Address"] == (".".join(map(str, address)) if len(address) == 4 else row["Address"])
    days = sum(1 for r in raw for k, v in r.items() if k.startswith("Day") and v)
    assert art.table("clients_daily").num_rows == days
    assert all(d.year == 2021 for d in art.table("clients_daily").column("AccessDate").to_pylist())
    assert clients.column("Address").null_count == 0
    for name in art.table_names:
        assert art.schema(name) == art.table(name).schema, name
    assert art.timeline().num_rows > 0
