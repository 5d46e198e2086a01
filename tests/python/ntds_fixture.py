"""A small Active Directory database (ntds.dit) with the real schema, for
the tests: datatable with its fixed columns and attribute columns named
`ATT<syntax letter><attribute id>`, the schema's attribute and class rows
that name them, a domain (DC=contoso,DC=com) with its crossRef, users,
a computer, groups, a deleted object, secrets that must never come out, and
link_table with memberships (one deleted) and other links.

`directory(n_users=...)` builds it; `directory_tables()` gives the tables."""

import uuid
from dataclasses import dataclass, field
from datetime import datetime, timezone

from fixture_json import Column, Record, Table, filetime

SECONDS_1601_TO_1970 = 11_644_473_600
NEVER = 0x7FFF_FFFF_FFFF_FFFF


def dstime(when: datetime) -> int:
    """Seconds since 1601: how the directory stores generalized times."""
    return int(when.timestamp()) + SECONDS_1601_TO_1970


def sid_bytes(text: str) -> bytes:
    """A SID as the directory stores it: the RID (last sub-authority) big-endian."""
    parts = [int(p) for p in text.split("-")[1:]]
    subs = parts[2:]
    body = bytes([parts[0], len(subs)]) + parts[1].to_bytes(6, "big")
    body += b"".join(s.to_bytes(4, "little") for s in subs[:-1])
    return body + subs[-1].to_bytes(4, "big")


# attribute -> (attribute id, syntax letter, ESE type, single-valued)
ATTRIBUTES = {
    "objectClass": (0, "c", "long", False),
    "cn": (3, "m", "long_text", True),
    "ou": (11, "m", "long_text", False),
    "description": (13, "m", "long_text", False),
    "member": (31, "b", "long", False),
    "whenCreated": (131074, "l", "currency", True),
    "whenChanged": (131075, "l", "currency", True),
    "nCName": (131088, "b", "long", True),
    "governsID": (131094, "c", "long", True),
    "attributeID": (131102, "c", "long", True),
    "attributeSyntax": (131104, "c", "long", True),
    "isSingleValued": (131105, "i", "long", True),
    "linkID": (131122, "j", "long", True),
    "isDeleted": (131120, "i", "long", True),
    "lDAPDisplayName": (131532, "m", "long_text", True),
    "name": (589825, "m", "long_text", True),
    "objectGUID": (589826, "k", "long_binary", True),
    "userAccountControl": (589832, "j", "long", True),
    "nETBIOSName": (589911, "m", "long_text", True),
    "unicodePwd": (589914, "k", "long_binary", True),
    "ntPwdHistory": (589918, "k", "long_binary", False),
    "pwdLastSet": (589920, "q", "currency", True),
    "supplementalCredentials": (589949, "k", "long_binary", False),
    "objectSid": (589970, "r", "binary", True),
    "accountExpires": (589983, "q", "currency", True),
    "sAMAccountName": (590045, "m", "long_text", True),
    "operatingSystem": (590187, "m", "long_text", True),
    "dNSHostName": (590443, "m", "long_text", True),
    "managedBy": (590477, "b", "long", True),
    "groupType": (590574, "j", "long", True),
    "servicePrincipalName": (590595, "m", "long_text", False),
    "objectCategory": (590606, "b", "long", True),
    "pekList": (590689, "k", "long_binary", True),
    "msDS-Behavior-Version": (591283, "j", "long", True),
    "lastLogonTimestamp": (591520, "q", "currency", True),
    "msDS-IntId": (591540, "j", "long", True),
    "dc": (1376281, "m", "long_text", True),
    # A forest's own attribute, with the internal id the forest gave it.
    "contosoBadgeNumber": (0x8000_1A2B, "j", "long", True),
}
# An attribute column no schema row describes keeps its stored name.
UNKNOWN_COLUMN = "ATTj1234567"
SECRETS = ("unicodePwd", "ntPwdHistory", "supplementalCredentials", "pekList")
LINK_IDS = {"member": 2, "managedBy": 72}
# class -> governsID (1.2.840.113556.1.3.x -> 0x3xxxx, 1.2.840.113556.1.5.x -> 0xAxxxx, 2.5.6.x -> 0x1xxxx)
CLASSES = {
    "top": 65536,
    "organizationalUnit": 65541,
    "person": 65542,
    "organizationalPerson": 65543,
    "crossRef": 196619,
    "dMD": 196617,
    "classSchema": 196621,
    "attributeSchema": 196622,
    "container": 196631,
    "computer": 196638,
    "group": 655368,
    "user": 655369,
    "domainDNS": 655427,
}
SYNTAX_OIDS = {letter: 0x80000 + ord(letter) - ord("a") for letter in "bcdefghijklmnopqr"}  # 2.5.5.x

DOMAIN_SID = "S-1-5-21-3623811015-3361044348-30300820"
CREATED = datetime(2023, 3, 14, 9, 26, 53, tzinfo=timezone.utc)
PWD_SET = filetime(datetime(2024, 1, 2, 3, 4, 5, tzinfo=timezone.utc), 9)
LOGON = filetime(datetime(2024, 6, 1, 12, 0, 0, tzinfo=timezone.utc), 1)


def _guid(n: int) -> uuid.UUID:
    return uuid.UUID(int=(0x5C2B8F0E_1D4A_4F3B_9C7E << 48) | n)


@dataclass
class Directory:
    rows: list[dict] = field(default_factory=list)
    links: list[dict] = field(default_factory=list)
    dnt_of: dict[str, int] = field(default_factory=dict)
    next_dnt: int = 3

    def add(self, key, parent, rdn_attribute, rdn, classes, **attributes):
        dnt = self.next_dnt
        self.next_dnt += 1
        row = {
            "DNT_col": dnt,
            "PDNT_col": self.dnt_of[parent] if parent else 2,
            "OBJ_col": 1,
            "RDNtyp_col": ATTRIBUTES[rdn_attribute][0],
            "NCDNT_col": self.dnt_of.get("domain", 2),
            "time_col": dstime(CREATED),
            "name": rdn,
            "objectClass": [CLASSES[c] for c in classes] or None,
            "objectGUID": _guid(dnt).bytes_le,
            "whenCreated": dstime(CREATED),
            "whenChanged": dstime(CREATED),
        }
        row.update(attributes)
        self.rows.append(row)
        self.dnt_of[key] = dnt
        return dnt


def directory(n_users: int = 0) -> Directory:
    """The directory; n_users more plain users for larger databases."""
    d = Directory()
    d.rows.append({"DNT_col": 1, "OBJ_col": 1, "name": "$NOT_AN_OBJECT1$"})
    d.rows.append({"DNT_col": 2, "PDNT_col": 0, "OBJ_col": 1, "name": "$ROOT_OBJECT$",
                   "objectClass": [CLASSES["top"]]})
    # Above the forest's root domain: a phantom (no object of its own).
    d.add("com", None, "dc", "com", [], dc="com", OBJ_col=0)
    d.add("domain", "com", "dc", "contoso", ["domainDNS", "top"], dc="contoso",
          objectSid=sid_bytes(DOMAIN_SID), **{"msDS-Behavior-Version": 7})
    d.add("configuration", "domain", "cn", "Configuration", ["container", "top"])
    d.add("partitions", "configuration", "cn", "Partitions", ["container", "top"])
    d.add("schema", "configuration", "cn", "Schema", ["dMD", "top"])
    for attribute, (attid, letter, _, single) in ATTRIBUTES.items():
        extra = {"msDS-IntId": attid} if attid >= 0x8000_0000 else {}
        stored_id = 0x0091_0000 + (attid & 0xFFFF) if attid >= 0x8000_0000 else attid
        link = {"linkID": LINK_IDS[attribute]} if attribute in LINK_IDS else {}
        d.add(f"attr:{attribute}", "schema", "cn", attribute, ["attributeSchema", "top"],
              lDAPDisplayName=attribute, attributeID=stored_id, attributeSyntax=SYNTAX_OIDS[letter],
              isSingleValued=int(single), **extra, **link)
    for cls, governs in CLASSES.items():
        d.add(f"class:{cls}", "schema", "cn", cls, ["classSchema", "top"], lDAPDisplayName=cls, governsID=governs)
    d.add("crossref", "partitions", "cn", "CONTOSO", ["crossRef", "top"], nCName=d.dnt_of["domain"],
          nETBIOSName="CONTOSO")
    d.add("users", "domain", "cn", "Users", ["container", "top"])
    person = ["user", "organizationalPerson", "person", "top"]
    category = d.dnt_of["class:person"]
    d.add("administrator", "users", "cn", "Administrator", person, sAMAccountName="Administrator",
          objectSid=sid_bytes(f"{DOMAIN_SID}-500"), userAccountControl=0x10200, pwdLastSet=PWD_SET,
          lastLogonTimestamp=LOGON, accountExpires=NEVER, description=["Built-in account for administering"],
          objectCategory=category, unicodePwd=b"\x13" * 36, ntPwdHistory=[b"\x11" * 40, b"\x12" * 40],
          supplementalCredentials=[b"\x14" * 64], contosoBadgeNumber=4242)
    d.add("smith", "users", "cn", "Smith, John", person, sAMAccountName="jsmith",
          objectSid=sid_bytes(f"{DOMAIN_SID}-1104"), userAccountControl=0x202, pwdLastSet=0, accountExpires=0,
          objectCategory=category)
    d.add("svc", "users", "cn", "svc_sql", person, sAMAccountName="svc_sql",
          objectSid=sid_bytes(f"{DOMAIN_SID}-1105"), userAccountControl=0x10200 | 0x80000,
          servicePrincipalName=["MSSQLSvc/db01.contoso.com:1433", "MSSQLSvc/db01.contoso.com"],
          objectCategory=category, **{UNKNOWN_COLUMN: 7})
    d.add("broken", "users", "cn", "broken sid", person, sAMAccountName="broken",
          objectSid=b"\x02\x05garbage", userAccountControl=0x200, objectCategory=category)
    d.add("workstations", "domain", "ou", "Workstations", ["organizationalUnit", "top"], ou=["Workstations"])
    d.add("ws01", "workstations", "cn", "WS01", ["computer", *person], sAMAccountName="WS01$",
          objectSid=sid_bytes(f"{DOMAIN_SID}-1106"), userAccountControl=0x1000, dNSHostName="ws01.contoso.com",
          operatingSystem="Windows 11 Pro", lastLogonTimestamp=LOGON)
    d.add("admins", "users", "cn", "Domain Admins", ["group", "top"], sAMAccountName="Domain Admins",
          objectSid=sid_bytes(f"{DOMAIN_SID}-512"), groupType=-0x7FFFFFFE, description=["Administrators"])
    d.add("helpdesk", "users", "cn", "Helpdesk", ["group", "top"], sAMAccountName="Helpdesk",
          objectSid=sid_bytes(f"{DOMAIN_SID}-1107"), groupType=-0x7FFFFFFC, managedBy=d.dnt_of["smith"])
    d.add("deleted", "domain", "cn", "Deleted Objects", ["container", "top"])
    d.add("gone", "deleted", "cn", "Old User\nDEL:5c2b8f0e-1d4a-4f3b-9c7e-000000000001", person,
          sAMAccountName="olduser", objectSid=sid_bytes(f"{DOMAIN_SID}-1108"), userAccountControl=0x202,
          isDeleted=1)
    for i in range(n_users):
        d.add(f"bulk{i}", "users", "cn", f"user{i:07d}", person, sAMAccountName=f"user{i:07d}",
              objectSid=sid_bytes(f"{DOMAIN_SID}-{20000 + i}"), userAccountControl=0x200, pwdLastSet=PWD_SET + i,
              objectCategory=category)
    member_base = LINK_IDS["member"] // 2
    d.links = [
        {"link_DNT": d.dnt_of["admins"], "backlink_DNT": d.dnt_of["administrator"], "link_base": member_base},
        {"link_DNT": d.dnt_of["admins"], "backlink_DNT": d.dnt_of["smith"], "link_base": member_base,
         "link_deltime": dstime(datetime(2024, 7, 1, tzinfo=timezone.utc))},
        {"link_DNT": d.dnt_of["helpdesk"], "backlink_DNT": d.dnt_of["svc"], "link_base": member_base},
        {"link_DNT": d.dnt_of["helpdesk"], "backlink_DNT": 999_999, "link_base": member_base},
        {"link_DNT": d.dnt_of["helpdesk"], "backlink_DNT": d.dnt_of["smith"], "link_base": LINK_IDS["managedBy"] // 2},
    ]
    return d


_FIXED = [
    Column("DNT_col", "long", id=1, not_null=True),
    Column("PDNT_col", "long", id=2),
    Column("OBJ_col", "unsigned_byte", id=3),
    Column("RDNtyp_col", "long", id=4),
    Column("cnt_col", "long", id=5),
    Column("ab_cnt_col", "long", id=6),
    Column("time_col", "currency", id=7),
    Column("NCDNT_col", "long", id=8),
    Column("IsVisibleInAB", "unsigned_byte", id=9),
    Column("recycle_time_col", "currency", id=10),
    Column("Ancestors_col", "long_binary", id=256),
]


def column_names():
    """attribute -> its datatable column."""
    return {a: f"ATT{letter}{attid}" for a, (attid, letter, _, _) in ATTRIBUTES.items()}


def bulk_user(d: Directory, count: int) -> Record:
    """`count` more users under CN=Users, stored as one repeated record
    (DNTs counting up from the directory's next one): large directories
    from a small description."""
    names = column_names()
    person = [CLASSES[c] for c in ("user", "organizationalPerson", "person", "top")]
    values = {
        "DNT_col": d.next_dnt,
        "PDNT_col": d.dnt_of["users"],
        "OBJ_col": 1,
        "RDNtyp_col": ATTRIBUTES["cn"][0],
        "NCDNT_col": d.dnt_of["domain"],
        "time_col": dstime(CREATED),
        names["name"]: "Bulk User",
        names["cn"]: "Bulk User",
        names["objectClass"]: person,
        names["objectGUID"]: _guid(d.next_dnt).bytes_le,
        names["whenCreated"]: dstime(CREATED),
        names["whenChanged"]: dstime(CREATED),
        names["sAMAccountName"]: "bulkuser",
        names["objectSid"]: sid_bytes(f"{DOMAIN_SID}-30000"),
        names["userAccountControl"]: 0x200,
        names["pwdLastSet"]: PWD_SET,
        names["lastLogonTimestamp"]: LOGON,
        names["objectCategory"]: d.dnt_of["class:person"],
        names["description"]: ["A user of the bulk"],
        names["unicodePwd"]: b"\x13" * 36,
    }
    step = {"DNT_col": 1, names["pwdLastSet"]: 10_000_000, names["lastLogonTimestamp"]: 10_000_000}
    return Record(values, repeat=count, step=step)


def directory_tables(d: Directory | None = None, bulk: int = 0):
    """The directory's tables; `bulk` more users (see bulk_user)."""
    d = d or directory()
    names = column_names()
    columns = list(_FIXED)
    next_id = 257
    for attribute, (_, _, ese_type, _) in ATTRIBUTES.items():
        columns.append(Column(names[attribute], ese_type, id=next_id, tagged=True, multi_valued=True))
        next_id += 1
    columns.append(Column(UNKNOWN_COLUMN, "long", id=next_id, tagged=True, multi_valued=True))
    rows = []
    for row in d.rows:
        stored = {}
        for key, value in row.items():
            if value is None:
                continue
            column = names.get(key, key)
            if key in ATTRIBUTES and not isinstance(value, list):
                value = [value]
            if isinstance(value, list):
                # Signed 32-bit columns hold ids of 0x80000000 and above as negatives.
                value = [v - 2**32 if isinstance(v, int) and v > 0x7FFF_FFFF and v < 2**32 else v for v in value]
            stored[column] = value
        rows.append(stored)
    # Deleted: only a read with recovered records shows it.
    rows.append(Record({"DNT_col": d.next_dnt + bulk, "PDNT_col": d.dnt_of["users"], "OBJ_col": 1,
                        "RDNtyp_col": ATTRIBUTES["cn"][0], names["name"]: ["Purged"],
                        names["objectClass"]: [CLASSES[c] for c in ("user", "person", "top")],
                        names["sAMAccountName"]: ["purged"], names["userAccountControl"]: [0x200]},
                       state="deleted_node"))
    if bulk:
        rows.append(bulk_user(d, bulk))
    datatable = Table("datatable", columns, rows, primary_key=["DNT_col"])
    link_table = Table(
        "link_table",
        [
            Column("link_DNT", "long", id=1),
            Column("backlink_DNT", "long", id=2),
            Column("link_base", "long", id=3),
            Column("link_deactivetime", "currency", id=4),
            Column("link_deltime", "currency", id=5),
            Column("link_usnchanged", "currency", id=6),
            Column("link_ncdnt", "long", id=7),
            Column("link_metadata", "binary", id=128),
            Column("link_data", "long_binary", id=256),
            Column("link_ndesc", "long", id=257),
        ],
        d.links,
        primary_key=["link_DNT", "link_base", "backlink_DNT"],
    )
    hidden = Table("hiddentable", [Column("usn_col", "currency", id=1), Column("dsa_col", "long", id=2)],
                   [{"usn_col": 4097, "dsa_col": d.dnt_of["domain"]}])
    return [datatable, link_table, hidden]
