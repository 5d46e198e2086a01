"""The subcommands of `pellumo`. Each takes the parsed arguments and the output
streams, returns the exit status, and raises CliError for an expected failure."""

from __future__ import annotations

import argparse
import json
from typing import TextIO

import pellumo

from pellumo_cli import status
from pellumo_cli.damage import DamageLog
from pellumo_cli.shared import CliError, open_database, require_table
from pellumo_cli.text import printable, state_text, table


def _write_lines(out: TextIO, lines: list[str]) -> None:
    out.write("".join(line + "\n" for line in lines))


# --- info, tables, schema -------------------------------------------------------


def cmd_info(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with DamageLog(err) as log:
        _info(args, out, log)
    return status.outcome(damaged=log.damaged)


def _info(args: argparse.Namespace, out: TextIO, log: DamageLog) -> None:
    db = open_database(args.file, log)
    names = db.get_tables()
    rows = [
        ("file:", printable(args.file)),
        ("page size:", str(db.page_size)),
        ("format version:", f"0x{db.format_version:x}"),
        ("format revision:", f"0x{db.format_revision:x}"),
        ("state:", state_text(db.state)),
        ("pages:", str(db.total_pages)),
        ("tables:", str(len(names))),
    ]
    width = max(len(label) for label, _ in rows)
    _write_lines(out, [f"{label:<{width}}  {value}" for label, value in rows])
    if not getattr(args, "counts", False):
        return
    counts = [(printable(name), record_count(db, name)) for name in names]
    out.write("\n")
    _write_lines(out, table(["TABLE", "RECORDS"], counts, right=[1]))


def record_count(db: pellumo.EseDatabase, name: str) -> str:
    """The number of records of a table, read without decoding a column;
    "?" for a listed name that cannot be looked up (not valid UTF-8)."""
    try:
        return f"{sum(1 for _ in db.iter_table(name, columns=[])):,}"
    except ValueError:
        return "?"


def cmd_tables(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with DamageLog(err) as log:
        db = open_database(args.file, log)
    # A name that was not valid UTF-8 is listed with U+FFFD and cannot be
    # looked up again: its column count is unknown.
    rows = []
    for name in db.get_tables():
        try:
            columns = str(len(db.get_table_schema(name)))
        except ValueError:
            columns = "?"
        rows.append((printable(name), columns))
    _write_lines(out, table(["TABLE", "COLUMNS"], rows, right=[1]))
    return status.outcome(damaged=log.damaged)


def cmd_schema(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    with DamageLog(err) as log:
        schema = require_table(open_database(args.file, log), args.table)
    rows = [(str(c["id"]), printable(c["name"]), c["type"], "yes" if c["nullable"] else "no") for c in schema]
    _write_lines(out, table(["ID", "NAME", "TYPE", "NULLABLE"], rows, right=[0]))
    return status.outcome(damaged=log.damaged)


# --- dump -----------------------------------------------------------------------


def cmd_dump(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    """Streams the table's records to stdout as JSON Lines, the bytes
    export_table writes (--values engine: the engine's values, written by
    the module too), stopping after --limit lines. Memory stays flat however
    large the table."""
    with DamageLog(err) as log:
        db = open_database(args.file, log)
        require_table(db, args.table)
        if args.limit == 0:
            return status.outcome(damaged=log.damaged)
        out.flush()
        try:
            db.write_table_jsonl(args.table, out.buffer, limit=args.limit, values=getattr(args, "values", "raw"))
        except BrokenPipeError:
            raise  # the reader went away (`| head`): main ends quietly
        except OSError as error:
            out.buffer.flush()  # the lines before a record that cannot be read
            raise CliError(printable(str(error))) from None
        out.buffer.flush()
    return status.outcome(damaged=log.damaged)


# --- export ---------------------------------------------------------------------


def cmd_export(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from pellumo_cli import export

    return export.cmd_export(args, out, err)


# --- carve ----------------------------------------------------------------------


def cmd_carve(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    # A catalog page lost leaves its tables' pages unattributed ("-").
    with DamageLog(err) as log:
        db = open_database(args.file, log)
    try:
        hits = db.carve_utf16le_strings_scoped(args.scope, needle=args.needle, min_chars=args.min_chars,
                                               max_hits=args.max_hits)
    except UnicodeEncodeError:
        raise CliError("--needle is not valid UTF-8") from None
    if args.json:
        for hit in hits:
            out.write(json.dumps(hit, ensure_ascii=False, separators=(",", ":")) + "\n")
    else:
        rows = [(str(h["page"]), str(h["offset"]), f"0x{(h['page'] + 1) * db.page_size + h['offset']:x}",
                 h["region_kind"], h["page_type"], printable(h["table"]) if h["table"] is not None else "-",
                 printable(h["text"])) for h in hits]
        _write_lines(out, table(["PAGE", "OFFSET", "FILE OFFSET", "REGION", "PAGE TYPE", "TABLE", "TEXT"], rows,
                                right=[0, 1, 2]))
    if hits and len(hits) >= max(args.max_hits, 1):
        out.flush()
        err.write(f"pellumo: note: stopped at {len(hits)} hits (--max-hits); there may be more\n")
    return status.outcome(damaged=log.damaged)


# --- check ------------------------------------------------------------------------


def _tree_line(tree: pellumo._TreeCheck) -> str:
    label = f"{tree['kind']} {printable(tree['name'])}"
    if tree["kind"] in ("long_value", "index"):
        label += f" of {printable(tree['table'])}"
    if tree["error"] is not None:
        return f"{label} (root page {tree['root_page']}): {printable(tree['error'])}"
    visited = tree["pages_visited"]
    parts = [f"{visited} page" + ("" if visited == 1 else "s")]
    refused = tree["pages_refused"]
    if refused:
        shown = ", ".join(f"{r['reason']} at page {r['page']}" for r in refused[:5])
        more = f", {len(refused) - 5} more" if len(refused) > 5 else ""
        parts.append(f"{len(refused)} refused ({shown}{more})")
    counts = ((tree["deleted_nodes"], "deleted nodes"), (tree["unreadable_tags"], "unreadable tags"),
              (tree["undecodable_records"], "undecodable records"),
              (tree["unresolved_long_values"], "unresolved long values"))
    parts += [f"{count} {what}" for count, what in counts if count]
    return f"{label}: " + ", ".join(parts)


def cmd_check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    # The report lists the catalog's refused pages itself: the open's warning
    # would say the same twice.
    db = open_database(args.file, None)
    try:
        report = db.check()
    except OSError as error:
        raise CliError(f"{printable(args.file)}: {error}") from None
    verdict = status.DAMAGED if report["damaged"] else status.OK
    if args.json:
        out.write(json.dumps(report, sort_keys=True) + "\n")
        return verdict
    header = report["header"]
    # The database state is the engine's word for how it was shut down; the
    # verdict at the end is about damage. Neither is called "clean" alone.
    lines = [
        f"{printable(args.file)}: format 0x{header['format_version']:x} revision 0x{header['format_revision']:x}, "
        f"page size {header['page_size']}, {header['total_pages']} pages, state {state_text(header['state_code'])}, "
        "shadow header " + ("agrees" if header["shadow_header_matches"] else "DIFFERS"),
    ]
    lines += [_tree_line(tree) for tree in report["trees"]]
    orphans = report["orphan_pages"]
    lines.append(f"pages reached by no tree: {report['unreached_pages']}"
                 + (f", of which {len(orphans)} look like lost pages of a tree: "
                    + " ".join(str(n) for n in orphans[:20]) + (" ..." if len(orphans) > 20 else "")
                    if orphans else ""))
    lines.append("damage found" if report["damaged"] else "no damage found")
    _write_lines(out, lines)
    return verdict
