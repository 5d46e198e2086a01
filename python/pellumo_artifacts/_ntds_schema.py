"""The directory schema, read from the directory database itself.

Every attribute of an Active Directory object is a column of `datatable`
named `ATT` + a letter for the attribute's syntax + the attribute's internal
id (an ATTRTYP, in decimal): `ATTm590045` is a Unicode string attribute
whose id is 590045. The attribute objects of the schema partition are rows
of the same table; each carries its id (attributeID, or msDS-IntId where the
forest assigned one), its LDAP display name and whether it is single-valued.
Reading those rows turns every column name into the name analysts use.

The columns that hold those few schema attributes are fixed: their ids come
from the default prefix table every directory starts with (1.2.840.113556.
1.2.x maps to 0x0002xxxx, 1.2.840.113556.1.4.x to 0x0009xxxx, 2.5.4.x to
0x0000xxxx), so they are known before the schema is read.
"""

from __future__ import annotations

import re
from collections.abc import Callable, Iterable
from dataclasses import dataclass
from typing import Any

from pellumo_artifacts._arrow import pc

DATATABLE = "datatable"
LINK_TABLE = "link_table"

# Ids from the default prefix table (the attribute's OID in brackets).
ATT_OBJECT_CLASS = 0  # objectClass (2.5.4.0)
ATT_ATTRIBUTE_ID = 131102  # attributeID (1.2.840.113556.1.2.30)
ATT_ATTRIBUTE_SYNTAX = 131104  # attributeSyntax (1.2.840.113556.1.2.32)
ATT_IS_SINGLE_VALUED = 131105  # isSingleValued (1.2.840.113556.1.2.33)
ATT_GOVERNS_ID = 131094  # governsID (1.2.840.113556.1.2.22)
ATT_LINK_ID = 131122  # linkID (1.2.840.113556.1.2.50)
ATT_LDAP_DISPLAY_NAME = 131532  # lDAPDisplayName (1.2.840.113556.1.2.460)
ATT_MS_DS_INT_ID = 591540  # msDS-IntId (1.2.840.113556.1.4.1716)
ATT_NAME = 589825  # name, the RDN value (1.2.840.113556.1.4.1)

# The secret attributes: stored encrypted with a key held outside the file
# (or, for the LAPS password of old, as the password itself). They are never
# read, so no table ever holds them.
SECRET_ATTRIBUTES = frozenset(
    {
        "unicodePwd",
        "dBCSPwd",
        "ntPwdHistory",
        "lmPwdHistory",
        "supplementalCredentials",
        "pekList",
        "currentValue",
        "priorValue",
        "initialAuthIncoming",
        "initialAuthOutgoing",
        "trustAuthIncoming",
        "trustAuthOutgoing",
        "msDS-ExecuteScriptPassword",
        "ms-Mcs-AdmPwd",
        "msLAPS-Password",
        "msLAPS-EncryptedPassword",
        "msLAPS-EncryptedPasswordHistory",
        "msLAPS-EncryptedDSRMPassword",
        "msLAPS-EncryptedDSRMPasswordHistory",
    }
)
# The same attributes by id, for directories whose schema rows cannot be
# read (base-schema ids from the default prefix table).
SECRET_IDS = frozenset(
    {
        589914,  # unicodePwd
        589879,  # dBCSPwd
        589918,  # ntPwdHistory
        589984,  # lmPwdHistory
        589949,  # supplementalCredentials
        590689,  # pekList
        589851,  # currentValue
        589924,  # priorValue
        589953,  # trustAuthIncoming
        589959,  # trustAuthOutgoing
    }
)

_COLUMN = re.compile(r"^ATT([a-z])(-?[0-9]+)$")


def parse_column(name: str) -> tuple[str, int] | None:
    """(syntax letter, attribute id) of an attribute column, else None. Ids
    of 0x80000000 and above may be written signed; they come back unsigned."""
    match = _COLUMN.match(name)
    if match is None:
        return None
    return match.group(1), int(match.group(2)) & 0xFFFFFFFF


def is_base_secret(column: str) -> bool:
    """Whether the column holds a secret of the base schema (known by its id
    before any schema row is read)."""
    parsed = parse_column(column)
    return parsed is not None and parsed[1] in SECRET_IDS


def column_name(letter: str, attid: int) -> str:
    return f"ATT{letter}{attid}"


@dataclass(frozen=True)
class Attribute:
    attid: int
    ldap_name: str
    single_valued: bool
    syntax: int | None  # attributeSyntax, an ATTRTYP of 2.5.5.x
    link_id: int | None


@dataclass
class Schema:
    """Attributes by id, class names by governsID, and link names by id."""

    attributes: dict[int, Attribute]
    classes: dict[int, str]
    warnings: list[str]

    def ldap_name(self, column: str) -> str | None:
        parsed = parse_column(column)
        if parsed is None:
            return None
        attribute = self.attributes.get(parsed[1])
        return attribute.ldap_name if attribute is not None else None

    def is_secret(self, column: str) -> bool:
        parsed = parse_column(column)
        if parsed is None:
            return False
        attribute = self.attributes.get(parsed[1])
        if attribute is not None:
            return attribute.ldap_name in SECRET_ATTRIBUTES
        return parsed[1] in SECRET_IDS

    def link_names(self) -> dict[int, str]:
        """Forward-link attribute names by link base (linkID // 2), the
        number link_table keeps."""
        out: dict[int, str] = {}
        for attribute in self.attributes.values():
            if attribute.link_id is not None and attribute.link_id % 2 == 0:
                out[attribute.link_id // 2] = attribute.ldap_name
        return out

    def attid_of(self, ldap_name: str) -> int | None:
        for attribute in self.attributes.values():
            if attribute.ldap_name == ldap_name:
                return attribute.attid
        return None


def _first(value: Any) -> Any:
    if isinstance(value, list):
        return value[0] if value else None
    return value


def _text(value: Any) -> str | None:
    value = _first(value)
    if value is None:
        return None
    if isinstance(value, bytes):
        value = value.decode("utf-8", errors="replace")
    return str(value).rstrip("\x00")


_SCHEMA_COLUMNS = {
    "attributeID": column_name("c", ATT_ATTRIBUTE_ID),
    "syntax": column_name("c", ATT_ATTRIBUTE_SYNTAX),
    "single": column_name("i", ATT_IS_SINGLE_VALUED),
    "governs": column_name("c", ATT_GOVERNS_ID),
    "link": column_name("j", ATT_LINK_ID),
    "name": column_name("m", ATT_LDAP_DISPLAY_NAME),
    "intid": column_name("j", ATT_MS_DS_INT_ID),
}


def schema_columns(columns: Iterable[str]) -> list[str] | None:
    """The datatable columns the schema is read from, or None when the
    table lacks them (no names can be given then)."""
    present = set(columns)
    wanted = _SCHEMA_COLUMNS
    if wanted["name"] not in present or (wanted["attributeID"] not in present and wanted["governs"] not in present):
        return None
    return [col for col in wanted.values() if col in present]


def _no_schema() -> Schema:
    return Schema(
        {},
        {},
        [
            f"ntds: {DATATABLE} has no schema columns ({_SCHEMA_COLUMNS['name']}, "
            f"{_SCHEMA_COLUMNS['attributeID']}); attribute columns keep their stored names"
        ],
    )


def read_schema(read: Callable[..., Any], columns: Iterable[str]) -> Schema:
    """The schema of the directory whose datatable has `columns`; `read`
    gives a table's named columns as a pyarrow.Table of engine values."""
    wanted = schema_columns(columns)
    if wanted is None:
        return _no_schema()
    return schema_from_table(read(DATATABLE, wanted))


def schema_from_table(table: Any) -> Schema:
    """The schema from a read of datatable holding its schema columns (any
    other columns are ignored; recovered rows, flagged `_recovered`, are
    not taken: a deleted attribute must not rename a live column)."""
    names = {key: col for key, col in _SCHEMA_COLUMNS.items() if col in table.column_names}
    if "name" not in names or ("attributeID" not in names and "governs" not in names):
        return _no_schema()
    # Only schema objects carry attributeID or governsID.
    keep = None
    for key in ("attributeID", "governs"):
        if key in names:
            valid = pc.is_valid(table[names[key]])
            keep = valid if keep is None else pc.or_(keep, valid)
    if "_recovered" in table.column_names:
        keep = pc.and_(keep, pc.invert(pc.fill_null(table["_recovered"], False)))
    rows = table.select(list(names.values())).filter(keep).to_pylist()
    attributes: dict[int, Attribute] = {}
    classes: dict[int, str] = {}
    warnings: list[str] = []
    for row in rows:
        ldap_name = _text(row.get(names["name"]))
        if not ldap_name:
            continue
        governs = _first(row.get(names["governs"])) if "governs" in names else None
        if governs is not None:
            classes.setdefault(int(governs) & 0xFFFFFFFF, ldap_name)
        attribute_id = _first(row.get(names["attributeID"])) if "attributeID" in names else None
        if attribute_id is None:
            continue
        int_id = _first(row.get(names["intid"])) if "intid" in names else None
        attid = int(int_id if int_id is not None else attribute_id) & 0xFFFFFFFF
        single = _first(row.get(names["single"])) if "single" in names else None
        syntax = _first(row.get(names["syntax"])) if "syntax" in names else None
        link = _first(row.get(names["link"])) if "link" in names else None
        attributes.setdefault(
            attid,
            Attribute(
                attid,
                ldap_name,
                bool(single) if single is not None else False,
                int(syntax) & 0xFFFFFFFF if syntax is not None else None,
                int(link) if link is not None else None,
            ),
        )
    known = attributes.get(ATT_LDAP_DISPLAY_NAME)
    if attributes and (known is None or known.ldap_name != "lDAPDisplayName"):
        warnings.append(
            f"ntds: attribute {ATT_LDAP_DISPLAY_NAME} is not lDAPDisplayName in this schema; names may be wrong"
        )
    return Schema(attributes, classes, warnings)
