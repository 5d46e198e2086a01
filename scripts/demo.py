"""Shows what pellumo reads from one ESE database and exports its tables.

Usage: demo.py <database> [<output folder>]; with an output folder, every
table is also written as JSON Lines to <output folder>/<database name>-jsonl/.
"""
import os
import sys

from pellumo import EseDatabase


def main() -> None:
    path = sys.argv[1]
    with EseDatabase(path) as db:
        print(db)
        for table in db.get_tables():
            schema = db.get_table_schema(table)
            print(f"\n{table} ({len(schema)} columns)")
            for column in schema:
                null = "" if column["nullable"] else " NOT NULL"
                print(f"  {column['id']:>5}  {column['name']:<32} {column['type']}{null}")
        if len(sys.argv) > 2:
            stem = os.path.splitext(os.path.basename(path))[0] or "database"
            folder = os.path.join(sys.argv[2], f"{stem}-jsonl")
            db.export_all(folder)
            print(f"\nexported every table as JSON Lines to {os.path.abspath(folder)}/")
            for table in db.get_tables():
                with open(os.path.join(folder, f"{table}.jsonl"), "rb") as f:
                    print(f"  {table}.jsonl: {sum(1 for _ in f)} records")


if __name__ == "__main__":
    main()
