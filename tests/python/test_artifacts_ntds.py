"""The ntds kind: a directory database as objects named by the schema it
holds, and the users, computers, groups, memberships, links and domain
analysts ask about. Checked on a small directory with the real schema
(every page size and format) and on the sample ntds.dit."""

import gzip
import shutil
import sys
import uuid

import pyarrow as pa
import pyarrow.compute as pc
import pytest
import ntds_fixture as fixture
from conftest import INSTALLED, ROOT, SAMPLES_DIR
from fixture_json import FORMATS, write_database

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

import pellumo  # noqa: E402
import pellumo_artifacts  # noqa: E402

DOMAIN_DN = "DC=contoso,DC=com"
USERS_DN = f"CN=Users,{DOMAIN_DN}"


@pytest.fixture(scope="module")
def directory_path(tmp_path_factory):
    path = tmp_path_factory.mktemp("ntds") / "ntds.dit"
    return write_database(path, fixture.directory_tables(), page_size=8192)


@pytest.fixture(scope="module")
def directory(directory_path):
    return pellumo_artifacts.open(directory_path)


def by(table, key):
    return {row[key]: row for row in table.to_pylist()}


EXPECTED_ROWS = {"users": 5, "computers": 1, "groups": 2, "memberships": 4, "links": 5, "domain": 1}


@pytest.mark.parametrize("page_size, version, revision", FORMATS)
def test_every_table_in_every_format(tmp_path, page_size, version, revision):
    path = write_database(tmp_path / "ntds.dit", fixture.directory_tables(), page_size=page_size,
                          format_version=version, format_revision=revision)
    artifact = pellumo_artifacts.open(path)
    assert artifact.kind == "ntds"
    counts = {name: t.num_rows for name, t in artifact.tables().items()}
    assert counts == {"objects": len(fixture.directory().rows), **EXPECTED_ROWS}


def test_columns_are_named_by_the_schema(directory):
    objects = directory.table("objects")
    names = set(objects.column_names)
    assert {"sAMAccountName", "objectSid", "whenCreated", "lDAPDisplayName", "contosoBadgeNumber"} <= names
    assert fixture.UNKNOWN_COLUMN in names  # no schema row names it
    assert [n for n in names if n.startswith("ATT")] == [fixture.UNKNOWN_COLUMN]


def test_secrets_are_in_no_table(directory):
    secret_columns = {fixture.column_names()[s] for s in fixture.SECRETS}
    for name, table in directory.tables().items():
        for column in table.column_names:
            assert column not in fixture.SECRETS and column not in secret_columns, (name, column)
    for table in directory.tables().values():
        for column in table.itercolumns():
            if pa.types.is_binary(column.type):
                assert b"\x13" * 36 not in column.to_pylist()  # unicodePwd's bytes


@pytest.mark.parametrize(
    "key, dn",
    [
        ("domain", DOMAIN_DN),
        ("administrator", f"CN=Administrator,{USERS_DN}"),
        ("smith", f"CN=Smith\\, John,{USERS_DN}"),
        ("ws01", f"CN=WS01,OU=Workstations,{DOMAIN_DN}"),
        ("gone", f"CN=Old User\\0ADEL:5c2b8f0e-1d4a-4f3b-9c7e-000000000001,CN=Deleted Objects,{DOMAIN_DN}"),
        ("attr:cn", f"CN=cn,CN=Schema,CN=Configuration,{DOMAIN_DN}"),
    ],
)
def test_distinguished_names(directory, key, dn):
    dnt = fixture.directory().dnt_of[key]
    assert by(directory.table("objects"), "DNT_col")[dnt]["DN"] == dn


@pytest.mark.parametrize("value, escaped", [
    ("Smith, John", "Smith\\, John"),
    (" lead", "\\ lead"),
    ("trail ", "trail\\ "),
    ("a+b=c#<d>;\"e\\", "a\\+b\\=c\\#\\<d\\>\\;\\\"e\\\\"),
    ("Old\nDEL:1", "Old\\0ADEL:1"),
    ("Zoë, Ünal", "Zoë\\, Ünal"),  # the reserved byte after multi-byte characters
    ("plain", "plain"),
    ("", ""),
    (None, None),
])
def test_rdn_values_are_escaped_among_others(value, escaped):
    from pellumo_artifacts import _ntds_values as nv

    # Among neighbours that need nothing, empty and null ones, and sliced:
    # the byte scan must give each hit to its own row.
    values = pa.array(["x", "", None, value, "y z", None], pa.string()).slice(1)
    assert nv.escape_rdn_values(values).to_pylist() == ["", None, escaped, "y z", None]


def test_dns_of_loops_empty_names_and_sparse_dnts():
    from pellumo_artifacts import _ntds_values as nv

    big = 10**9  # too sparse for a position array: looked up by hashing
    cases = [
        # dnt, pdnt, rdn -> DNs, unresolved
        ([2, 3, 4, 5, 6, 7], [0, 2, 3, 3, 7, 6], [None, "DC=com", "DC=x", None, "CN=a", "CN=b"],
         ["", "DC=com", "DC=x,DC=com", "DC=com", None, None], 2),
        ([big, big + 1, 5], [0, big, 99], [None, "CN=one", "CN=orphan"], ["", "CN=one", "CN=orphan"], 0),
        # No RDN anywhere: every level's join meets nulls only.
        ([2, 3, 4, 5, 6], [0, 2, 99, 6, 5], [None] * 5, ["", "", "", None, None], 2),
    ]
    for dnt, pdnt, rdn, dns, unresolved in cases:
        got, loops = nv.distinguished_names(pa.array(dnt, pa.int32()), pa.array(pdnt, pa.int32()),
                                            pa.array(rdn, pa.string()))
        assert (got.to_pylist(), loops) == (dns, unresolved)


def test_objects_whose_parents_are_missing_or_nameless_are_counted():
    from pellumo_artifacts import _ntds_schema as ns
    from pellumo_artifacts._convert import Warnings
    from pellumo_artifacts.ntds import NtdsTables

    warnings = Warnings()
    tables = NtdsTables(lambda *a: None, ns.Schema({}, {}, []), ["DNT_col", "PDNT_col", "RDNtyp_col"], warnings)
    rows = pa.table({"DNT_col": pa.array([2, 3, 4, 5, 6], pa.int32()),
                     "PDNT_col": pa.array([0, 2, 99, 6, 5], pa.int32()),
                     "RDNtyp_col": pa.array([3] * 5, pa.int32())})
    tables.names(rows)
    assert warnings.lines() == ["objects: 2 object(s) sit on a parent chain that loops; no DN",
                                "objects: 3 object(s) have a parent that is not in datatable"]


def test_first_items_of_lists_of_every_shape():
    from pellumo_artifacts.ntds import _first_items

    items = {pa.int32(): [1, 2, 3, 4, 5], pa.string(): ["a", "bb", "", "ddd", "e"], pa.binary(): [b"x", b"", b"yz", b"w", b"q"]}
    shapes = [  # offsets, null lists
        ([0, 1, 2, 3, 4, 5], None),                            # one item each: the items as they lie
        ([0, 0, 1, 1, 2, 3], [True, False, True, False, False]),  # absent values as null lists
        ([0, 0, 1, 1, 2, 3], None),                            # empty lists that are not null
        ([0, 2, 2, 3, 3, 5], None),                            # several items
        ([0, 1, 2, 3, 4, 5], [True, False, False, True, False]),  # null lists over items
    ]
    for item_type, values in items.items():
        for offsets, nulls in shapes:
            lists = pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), pa.array(values, item_type),
                                             mask=None if nulls is None else pa.array(nulls))
            for part in (lists, lists.slice(1, 3), lists.slice(2)):
                got, many = _first_items(part)
                got.validate(full=True)
                expected = [v[0] if v else None for v in part.to_pylist()]
                assert (got.to_pylist(), many) == (expected, sum(len(v or []) > 1 for v in part.to_pylist()))


def test_class_membership_of_lists_of_every_shape():
    from pellumo_artifacts.ntds import _has_item

    names = pa.array(["user", "top", "person", None, "computer", "user", "", "usex"])
    for offsets, nulls in (([0, 3, 3, 5, 6, 8], None), ([0, 3, 3, 5, 6, 8], [False, True, False, False, False]),
                           ([0, 0, 0, 0, 0, 0], None)):
        lists = pa.ListArray.from_arrays(pa.array(offsets, pa.int32()), names,
                                         mask=None if nulls is None else pa.array(nulls))
        for part in (lists, lists.slice(1, 3), lists.slice(2)):
            for value in ("user", "top", "", "computer", "use"):
                expected = [bool(items) and value in items for items in part.to_pylist()]
                assert _has_item(part, value).tolist() == expected, (offsets, nulls, value)


def test_single_and_multi_valued_attributes(directory):
    objects = by(directory.table("objects"), "DNT_col")
    d = fixture.directory()
    admin = objects[d.dnt_of["administrator"]]
    assert admin["sAMAccountName"] == "Administrator"  # single-valued: a scalar
    assert admin["description"] == ["Built-in account for administering"]  # multi-valued: a list
    assert admin["ObjectClassNames"] == ["user", "organizationalPerson", "person", "top"]
    assert admin["objectCategory"] == f"CN=person,CN=Schema,CN=Configuration,{DOMAIN_DN}"
    assert admin["contosoBadgeNumber"] == 4242  # named through msDS-IntId
    assert admin["objectGUID"] == uuid.UUID(int=(0x5C2B8F0E_1D4A_4F3B_9C7E << 48) | d.dnt_of["administrator"])
    assert objects[d.dnt_of["svc"]][fixture.UNKNOWN_COLUMN] == [7]
    assert objects[d.dnt_of["attr:cn"]]["isSingleValued"] is True


def test_users(directory):
    users = by(directory.table("users"), "sAMAccountName")
    assert sorted(users) == ["Administrator", "broken", "jsmith", "olduser", "svc_sql"]
    admin = users["Administrator"]
    assert (admin["SID"], admin["RID"], admin["Enabled"]) == (f"{fixture.DOMAIN_SID}-500", 500, True)
    assert admin["UacFlags"] == ["NORMAL_ACCOUNT", "DONT_EXPIRE_PASSWORD"]
    assert admin["pwdLastSet"].value == (fixture.PWD_SET - 116_444_736_000_000_000) * 100
    assert admin["accountExpires"] is None  # never
    assert admin["whenCreated"].timestamp() == fixture.CREATED.timestamp()
    assert users["jsmith"]["Enabled"] is False and users["jsmith"]["pwdLastSet"] is None
    assert users["svc_sql"]["servicePrincipalName"] == ["MSSQLSvc/db01.contoso.com:1433", "MSSQLSvc/db01.contoso.com"]
    assert users["broken"]["SID"] is None and users["broken"]["RID"] is None
    assert users["olduser"]["isDeleted"] is True
    assert any("objectSid" in w for w in directory.warnings)


def test_computers_and_groups(directory):
    (computer,) = directory.table("computers").to_pylist()
    assert (computer["sAMAccountName"], computer["dNSHostName"], computer["RID"]) == ("WS01$", "ws01.contoso.com", 1106)
    assert computer["UacFlags"] == ["WORKSTATION_TRUST_ACCOUNT"]
    groups = by(directory.table("groups"), "sAMAccountName")
    assert groups["Domain Admins"]["RID"] == 512 and groups["Domain Admins"]["groupType"] == -0x7FFFFFFE


def test_memberships_and_links(directory):
    memberships = directory.table("memberships").to_pylist()
    pairs = {(m["GroupDN"], m["MemberDN"]): m for m in memberships}
    admins = f"CN=Domain Admins,{USERS_DN}"
    assert pairs[(admins, f"CN=Administrator,{USERS_DN}")]["Deleted"] is False
    removed = pairs[(admins, f"CN=Smith\\, John,{USERS_DN}")]
    assert removed["Deleted"] is True and removed["DeletedTime"].year == 2024
    helpdesk = f"CN=Helpdesk,{USERS_DN}"
    assert (helpdesk, None) in pairs  # the member's row is not in the database
    links = directory.table("links")
    managed = links.filter(pc.equal(links["Attribute"], "managedBy")).to_pylist()
    assert [(m["SourceDN"], m["TargetDN"]) for m in managed] == [(helpdesk, f"CN=Smith\\, John,{USERS_DN}")]
    assert any("no DN" in w for w in directory.warnings)


def test_domain(directory):
    (domain,) = directory.table("domain").to_pylist()
    assert (domain["DN"], domain["Name"], domain["NetBIOSName"], domain["SID"]) == (
        DOMAIN_DN, "contoso.com", "CONTOSO", fixture.DOMAIN_SID)
    assert (domain["FunctionalLevel"], domain["FunctionalLevelName"]) == (7, "Windows2016")


def test_tables_read_alone_equal_those_read_after_objects(directory_path, directory):
    for name in ("users", "computers", "groups", "domain"):
        alone = pellumo_artifacts.open(directory_path).table(name)
        assert alone.equals(directory.table(name)), name


def test_timeline(directory):
    timeline = directory.timeline()
    users = timeline.filter(pc.equal(timeline["Table"], "users"))
    assert {"whenCreated", "pwdLastSet", "lastLogonTimestamp"} <= set(users["TimeField"].to_pylist())
    assert f"CN=Administrator,{USERS_DN}" in " ".join(users["Summary"].to_pylist())


def test_recovered_objects_are_flagged(directory_path):
    recovered = pellumo_artifacts.open(directory_path, recovered=True)
    objects = recovered.table("objects")
    (purged,) = objects.filter(objects["_recovered"]).to_pylist()
    # objectClass holds three values in the multi-value layout: the recovered
    # object has them as a live one would, so it sorts into the users.
    assert (purged["DN"], purged["sAMAccountName"], purged["userAccountControl"]) == (
        f"CN=Purged,{USERS_DN}", "purged", 0x200)
    assert purged["UacFlags"] == ["NORMAL_ACCOUNT"]
    assert purged["ObjectClassNames"] == ["user", "person", "top"]
    users = recovered.table("users")
    assert users.filter(users["_recovered"])["DN"].to_pylist() == [f"CN=Purged,{USERS_DN}"]
    assert not any("multi-valued" in w for w in recovered.warnings)
    for name in ("objects", "users", "memberships"):
        assert recovered.schema(name) == recovered.table(name).schema, name


def test_the_schema_does_not_depend_on_records(directory_path, directory):
    fresh = pellumo_artifacts.open(directory_path)
    for name in fresh.table_names:
        assert fresh.schema(name) == directory.table(name).schema, name


# ---------------------------------------------------------------------------------------
# The sample: a new domain's schema and configuration.


@pytest.fixture(scope="module")
def sample(tmp_path_factory):
    source = SAMPLES_DIR / "ntds.dit.gz"
    if not source.is_file():
        pytest.skip(f"sample {source} is absent")
    path = tmp_path_factory.mktemp("sample") / "ntds.dit"
    with gzip.open(source) as f, open(path, "wb") as out:
        shutil.copyfileobj(f, out)
    return str(path)


def test_sample_every_object_resolved(sample):
    artifact = pellumo_artifacts.open(sample)
    objects = artifact.table("objects")
    db = pellumo.EseDatabase(sample)
    stored = pa.table(db.arrow("datatable", columns=["DNT_col", "PDNT_col"], values="engine"))
    assert objects["DNT_col"].to_pylist() == stored["DNT_col"].to_pylist()
    # Every object (all but the one row that is no object) has a DN, and
    # every attribute column a name from the schema the file holds.
    with_parent = pc.is_valid(stored["PDNT_col"])
    assert pc.all(pc.is_valid(objects["DN"].filter(with_parent))).as_py()
    assert [n for n in objects.column_names if n.startswith("ATT")] == []
    assert pc.all(pc.is_valid(objects["ObjectClassNames"].filter(with_parent))).as_py()
    schema_dn = by(objects, "DNT_col")[13]
    assert schema_dn["DN"] == "CN=Account-Expires,CN=Schema,O=Boot" and schema_dn["lDAPDisplayName"] == "accountExpires"
    assert artifact.warnings == []
    links = artifact.table("links").to_pylist()
    assert {link["Attribute"] for link in links} == {"hasMasterNCs", "msDS-hasMasterNCs"}
    assert all(link["SourceDN"] == "CN=BootMachine,O=Boot" for link in links)
