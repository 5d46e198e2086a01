"""Shows what pellumo reads from one ESE database: its tables and columns, a
few records of a table, the JSON Lines export of every table, and strings
carved from page slack.

Usage: demo.py <database> [<output folder>]; with an output folder, every
table is also written as JSON Lines to <output folder>/<database name>-jsonl/.
"""
import os
import sys

from pellumo import EseDatabase


def short(value, width=60):
    text = repr(value)
    return text if len(text) <= width else text[:width - 3] + "..."


def show_schemas(db):
    for table in db.get_tables():
        schema = db.get_table_schema(table)
        print(f"\n{table} ({len(schema)} columns)")
        for column in schema:
            null = "" if column["nullable"] else " NOT NULL"
            print(f"  {column['id']:>5}  {column['name']:<32} {column['type']}{null}")


def show_records(db, limit=3):
    # The first application table that has records; the engine's own
    # MSys* tables come last.
    tables = sorted(db.get_tables(), key=lambda t: t.startswith("MSys"))
    for table in tables:
        try:
            records = [r for _, r in zip(range(limit), db.iter_table(table), strict=False)]
        except (OSError, ValueError) as error:
            print(f"\n{table}: {error}")
            continue
        if records:
            print(f"\nfirst {len(records)} records of {table}:")
            for record in records:
                print("  {")
                for name, value in record.items():
                    print(f"    {name!r}: {short(value)},")
                print("  }")
            return


def export(db, path, out):
    stem = os.path.splitext(os.path.basename(path))[0] or "database"
    folder = os.path.join(out, f"{stem}-jsonl")
    try:
        db.export_all(folder)
    except (OSError, ValueError) as error:
        print(f"\nexport stopped: {error}")
    print(f"\nexported the tables as JSON Lines to {os.path.abspath(folder)}/")
    for name in sorted(os.listdir(folder)) if os.path.isdir(folder) else []:
        with open(os.path.join(folder, name), "rb") as f:
            print(f"  {name}: {sum(1 for _ in f)} records")


def carve(db, limit=5):
    hits = db.carve_utf16le_strings(max_hits=limit)
    print(f"\nUTF-16LE strings carved from page slack (first {limit}):")
    if not hits:
        print("  none")
    for hit in hits:
        where = (hit["page"] + 1) * db.page_size + hit["offset"]
        table = hit["table"] or "-"
        print(f"  page {hit['page']:>6}  file offset {where:#10x}  {hit['page_type']:<10} {table:<16} {hit['text']!r}")


def main() -> None:
    path = sys.argv[1]
    with EseDatabase(path) as db:
        print(db)
        show_schemas(db)
        show_records(db)
        if len(sys.argv) > 2:
            export(db, path, sys.argv[2])
        carve(db)


if __name__ == "__main__":
    main()
