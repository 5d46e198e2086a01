"""`pellumo recover`: the deleted and superseded records a file still holds,
the tables it dropped (`--dropped`), and the TABLE.recovered.jsonl files that
`pellumo export --recovered` writes."""

from __future__ import annotations

import argparse
from collections.abc import Iterable, Iterator, Mapping
from typing import TYPE_CHECKING, Any, TextIO

import pellumo

if TYPE_CHECKING:
    from pellumo import _Record

from pellumo_cli import status
from pellumo_cli.damage import DamageLog
from pellumo_cli.engine_json import json_line
from pellumo_cli.shared import CliError, open_database, require_table
from pellumo_cli.text import printable, table

PROVENANCE = ("_status", "_source", "_page", "_offset", "_objid", "_schema")
_SUMMARY_WIDTH = 80


def add_parser(commands: Any) -> argparse.ArgumentParser:
    """Adds the recover command to the subcommand set of the main parser."""
    sub: argparse.ArgumentParser = commands.add_parser(
        "recover", help="list deleted and superseded records that the file still holds",
        description="List the deleted and superseded records of tables that the file still holds: nodes "
                    "flagged deleted, record bytes in page holes and free tails, stale tag slots, pages "
                    "emptied by merges and pages released to the space trees. Each record must fit its "
                    "table's schema and primary key; copies of live records are not listed. With "
                    "--dropped: the tables the catalog no longer lists whose pages the file still holds.",
        epilog=status.EPILOG)
    sub.add_argument("file", metavar="FILE", help="the ESE database file")
    sub.add_argument("tables", metavar="TABLE", nargs="*",
                     help="tables to search (exact, case-sensitive; default: every table)")
    sub.add_argument("--dropped", action="store_true",
                     help="list the dropped tables (object id, name, pages, schema, records); with --json, "
                          "their records, each with _objid")
    sub.add_argument("--json", action="store_true",
                     help="one JSON object per record: its columns, _table and the provenance members")
    return sub


def recovered(db: pellumo.EseDatabase, name: str) -> Iterator[_Record]:
    """The recovered records of one table."""
    return db.recover(name)


def write_recovered(db: pellumo.EseDatabase, name: str, path: str) -> int:
    """Writes the recovered records of table `name` to `path` as JSON Lines;
    returns how many. OSError when the file cannot be written."""
    count = 0
    with open(path, "w", encoding="utf-8", errors="surrogatepass") as f:
        for record in recovered(db, name):
            f.write(json_line(record) + "\n")
            count += 1
    return count


def _summary(record: Mapping[str, object]) -> str:
    """The record's non-null columns, name=value, cut to a terminal line."""
    parts = []
    for name, value in record.items():
        if value is None or name in PROVENANCE:
            continue
        shown = value.hex() if isinstance(value, bytes) else str(value)
        parts.append(f"{name}={shown}")
    text = printable(" ".join(parts))
    return text if len(text) <= _SUMMARY_WIDTH else text[: _SUMMARY_WIDTH - 3] + "..."


class _Rows:
    """The recovered records of several tables, in order. A listed name that
    cannot be looked up (one that was not valid UTF-8 in the file) is
    reported on `err` and counted in `skipped`."""

    def __init__(self, db: pellumo.EseDatabase, names: Iterable[str], err: TextIO) -> None:
        self.db, self.names, self.err = db, names, err
        self.skipped = 0

    def __iter__(self) -> Iterator[tuple[str, _Record]]:
        for name in self.names:
            try:
                records = recovered(self.db, name)
            except ValueError as error:
                self.err.write(f"pellumo: warning: skipped table {printable(name)}: {printable(str(error))}\n")
                self.skipped += 1
                continue
            for record in records:
                yield name, record


def _dropped(db: pellumo.EseDatabase, as_json: bool, out: TextIO) -> None:
    """The dropped tables, a line each; or with as_json their records, each
    with _table (its name, or null when the catalog forgot it) and the
    provenance members of recover_dropped. Damage met reading the catalog
    (a live table on a page it lost may pass for a dropped one) is told,
    by the open or by these calls, and gives the damaged status."""
    dropped = db.dropped_tables()
    if as_json:
        for t in dropped:
            for record in db.recover_dropped(t["objid"]):
                out.write(json_line(record, {"_table": t["name"]}) + "\n")
    else:
        rows = [(str(t["objid"]), "-" if t["name"] is None else printable(t["name"]), str(t["pages"]),
                 "-" if t["schema"] is None else printable(t["schema"]), str(t["records"])) for t in dropped]
        lines = table(["OBJID", "NAME", "PAGES", "SCHEMA", "RECORDS"], rows, right=[0, 2, 4])
        out.write("".join(line + "\n" for line in lines))


def cmd_recover(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    if args.dropped and args.tables:
        raise CliError("--dropped lists dropped tables: give no TABLE with it")
    with DamageLog(err) as log:
        skipped = _recover(args, out, err, log)
    return status.outcome(errors=skipped > 0, damaged=log.damaged)


def _recover(args: argparse.Namespace, out: TextIO, err: TextIO, log: DamageLog) -> int:
    """Runs the command inside the run's damage log; returns the tables
    skipped."""
    db = open_database(args.file, log)
    if args.dropped:
        _dropped(db, args.json, out)
        return 0
    if args.tables:
        names = list(dict.fromkeys(args.tables))
        for name in names:  # every name is checked before anything is written
            require_table(db, name)
    else:
        names = list(dict.fromkeys(db.get_tables()))
    found = _Rows(db, names, err)
    if args.json:
        for name, record in found:
            out.write(json_line(record, {"_table": name}) + "\n")
    else:
        rows = []
        for name, record in found:
            offset = record["_offset"]
            assert isinstance(offset, int)
            rows.append((printable(name), str(record["_page"]), f"0x{offset:x}", str(record["_source"]),
                         str(record["_status"]), _summary(record)))
        lines = table(["TABLE", "PAGE", "FILE OFFSET", "SOURCE", "STATUS", "RECORD"], rows, right=[1, 2])
        out.write("".join(line + "\n" for line in lines))
    return found.skipped
