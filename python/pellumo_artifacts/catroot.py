"""catroot: the catalog database of Windows code signing (catroot2's catdb).

The cryptographic services keep, for every file hash listed in an installed
security catalog (.cat), which catalogs list it: table HashCatNameTableSHA1
for SHA-1 digests and HashCatNameTableSHA256 for SHA-256 ones, each record a
binary digest and the name of one catalog file (CatNameAttrTable describes
the catalogs themselves). A file whose hash is here was signed through a
catalog even though it carries no signature of its own.

Table offered: catalog_hashes, one row per digest: Algorithm ("sha1",
"sha256"), Digest (lower-case hex) and CatalogNames (the .cat names listing
it, sorted, each once).
"""

from __future__ import annotations

from typing import Any

from pellumo_artifacts._arrow import pa, pc
from pellumo_artifacts._base import RECOVERED_COLUMN, Catalog, Kind
from pellumo_artifacts._convert import hex_text
from pellumo_artifacts._registry import register

HASH_TABLES = {"HashCatNameTableSHA1": ("sha1", 20), "HashCatNameTableSHA256": ("sha256", 32)}
SCHEMA = pa.schema([pa.field("Algorithm", pa.string()), pa.field("Digest", pa.string()),
                    pa.field("CatalogNames", pa.list_(pa.string()))])
_TEXT_TYPES = ("Text", "Long Text")
_BINARY_TYPES = ("Binary", "Long Binary")


@register
class Catroot(Kind):
    name = "catroot"
    looked_for = "table HashCatNameTableSHA1 or HashCatNameTableSHA256"
    file_names = ("catdb",)
    priority = 50

    @classmethod
    def detect(cls, catalog: Catalog) -> bool:
        return any(catalog.has_table(t) for t in HASH_TABLES)

    def table_names(self) -> list[str]:
        return ["catalog_hashes"]

    def _columns(self, table: str) -> tuple[str, str] | None:
        """The digest and catalog-name columns of a hash table: by the
        names the engine's catalog gives them (..._HashCol, ..._CatNameCol),
        else the first binary and the first text column."""
        types = self.source.catalog.column_types(table)
        digest = next((c for c, t in types.items() if c.endswith("HashCol") and t in _BINARY_TYPES), None)
        digest = digest or next((c for c, t in types.items() if t in _BINARY_TYPES), None)
        name = next((c for c, t in types.items() if c.endswith("CatNameCol") and t in _TEXT_TYPES), None)
        name = name or next((c for c, t in types.items() if t in _TEXT_TYPES), None)
        if digest is None or name is None:
            self.warnings.add(f"table {table} has no binary digest and text name columns; left out")
            return None
        return digest, name

    def build(self, name: str) -> Any:
        pieces = []
        recovered = self.source.recovered
        for table, (algorithm, size) in HASH_TABLES.items():
            if not self.source.catalog.has_table(table):
                continue
            columns = self._columns(table)
            if columns is None:
                continue
            digest_column, name_column = columns
            rows = self.source.read(table, [digest_column, name_column])
            digests = rows.column(digest_column)
            names = rows.column(name_column)
            wrong = pc.and_(pc.is_valid(digests), pc.not_equal(pc.binary_length(digests), size))
            bad = int(pc.sum(pc.cast(wrong, pa.int64())).as_py() or 0)
            self.warnings.count(f"table {table}: digests that are not {size} bytes, kept as they are", bad)
            if pa.types.is_list(names.type):
                # A multi-valued name column: one row per name.
                parents = pc.list_parent_indices(names)
                digests = pc.take(digests, parents)
                names = pc.list_flatten(names)
                flags = pc.take(rows.column(RECOVERED_COLUMN), parents) if recovered else None
            else:
                flags = rows.column(RECOVERED_COLUMN) if recovered else None
            piece = {"Algorithm": pa.repeat(pa.scalar(algorithm), len(digests)), "Digest": hex_text(digests),
                     "Name": pc.cast(names, pa.string())}
            if flags is not None:
                piece[RECOVERED_COLUMN] = flags
            pieces.append(pa.table(piece))
        schema = SCHEMA.append(pa.field(RECOVERED_COLUMN, pa.bool_())) if recovered else SCHEMA
        if not pieces:
            return schema.empty_table()
        rows = pa.concat_tables(pieces)
        rows = rows.filter(pc.is_valid(rows.column("Digest")))
        rows = rows.take(pc.sort_indices(rows, sort_keys=[("Algorithm", "ascending"), ("Digest", "ascending"),
                                                          ("Name", "ascending")]))
        # A record without a name lists its digest in no catalog.
        aggregates: list[Any] = [("Name", "distinct", pc.CountOptions(mode="only_valid"))]
        if recovered:
            # A digest is recovered when no live record lists it.
            aggregates.append((RECOVERED_COLUMN, "all"))
        grouped = rows.group_by(["Algorithm", "Digest"], use_threads=False).aggregate(aggregates)
        out = {"Algorithm": grouped.column("Algorithm"), "Digest": grouped.column("Digest"),
               "CatalogNames": grouped.column("Name_distinct")}
        if recovered:
            out[RECOVERED_COLUMN] = grouped.column(f"{RECOVERED_COLUMN}_all")
        return pa.table(out, schema=schema)
