"""Shows what pellumo reads from one ESE database."""
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


if __name__ == "__main__":
    main()
