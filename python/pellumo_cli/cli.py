"""Command line of `pellumo`: argument parsing, and the one place where
failures become a message and an exit status (see pellumo_cli.status: 0
complete, 1 error, 2 usage or a refused output, 3 damaged input, 130
interrupted, 141 stdout closed early)."""

from __future__ import annotations

import argparse
import os
import sys
from collections.abc import Sequence

from pellumo_cli import status
from pellumo_cli.shared import jobs, whole_number

PROG = "pellumo"
SCOPES = ("slack", "all", "tag_data", "lv_all", "lv_slack")
FORMATS = ("jsonl", "parquet", "csv")
VALUES = ("raw", "engine")


def build_parser(version: str) -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog=PROG,
        description="Read Microsoft ESE database files (SRUDB.dat, WebCacheV01.dat, ntds.dit, ...): list "
                    "tables and columns, dump or export records as JSON Lines, carve UTF-16LE strings.",
        epilog="Run 'pellumo COMMAND --help' for the options of a command. " + status.EPILOG + ".")
    parser.add_argument("--version", action="version", version=f"{PROG} {version}")
    commands = parser.add_subparsers(dest="command", metavar="COMMAND", required=True)

    def command(name: str, summary: str, description: str | None = None,
                epilog: str | None = None) -> argparse.ArgumentParser:
        sub = commands.add_parser(name, help=summary, description=description or summary,
                                  epilog=epilog or status.EPILOG)
        sub.add_argument("file", metavar="FILE", help="the ESE database file")
        return sub

    info = command("info", "page size, format version and revision, state, page and table counts")
    info.add_argument("--counts", action="store_true",
                      help="also the number of records of each table (reads every table)")
    command("tables", "list the tables and their numbers of columns")
    schema = command("schema", "list the columns of a table: id, name, type, nullable")
    schema.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")

    dump = command("dump", "write a table's records to stdout as JSON Lines",
                   "Write a table's records to stdout as JSON Lines, one object per record, exactly as "
                   "'pellumo export' writes them: members sorted by name, byte buffers as lowercase hex. "
                   "Damage met while reading (pages refused, values unresolved) is reported on stderr.",
                   status.EPILOG)
    dump.add_argument("table", metavar="TABLE", help="table name (exact, case-sensitive)")
    dump.add_argument("--limit", metavar="N", type=whole_number, help="stop after N records")
    dump.add_argument("--values", choices=("raw", "engine"), default="raw",
                      help="raw: the stored values, byte for byte what 'pellumo export' writes (default); "
                           "engine: the values the database engine returns: multi-values as arrays, column "
                           "defaults, signed Long long and Currency, dates as ISO 8601 UTC text ending in Z, "
                           "GUIDs as UUID text; records flagged deleted are left out")

    export = commands.add_parser(
        "export", help="export tables to JSON Lines, Parquet or CSV files, one per table",
        description="Export the tables of one or many database files into OUT_DIR (created if missing), one "
                    "file per table: TABLE.jsonl, TABLE.parquet or TABLE.csv ('/' in a table name becomes '_'). "
                    "With several files, each file's tables go to a folder named after its path below the "
                    "folder that holds them all. A quoted glob pattern ('/evidence/**/SRUDB.dat') is expanded "
                    "here. Files and tables that cannot be read, or lack a --table, are skipped and listed at "
                    "the end (exit status 1); damage met is listed too (exit status 3). OUT_DIR/manifest.json "
                    "records the command, its times, whether it finished, and each input (size, SHA-256, "
                    "state) with its tables (records, damage met, output file and its SHA-256). Existing files "
                    "are not replaced without --overwrite, and OUT_DIR may not hold an input (exit status 2). "
                    "On a terminal one progress line goes to stderr; at the end one summary line.",
        epilog=status.EPILOG)
    export.add_argument("files", metavar="FILE", nargs="+", help="the ESE database files")
    export.add_argument("out_dir", metavar="OUT_DIR", help="output directory")
    export.add_argument("--format", choices=FORMATS, default="jsonl",
                        help="jsonl (default: the bytes export_table writes), parquet (zstd) or csv; "
                             "parquet and csv need pyarrow")
    export.add_argument("--values", choices=VALUES, default="raw",
                        help="raw: the stored values (default); engine: the values the database engine "
                             "returns, as 'pellumo dump --values engine' writes them in jsonl (dates as ISO "
                             "8601 UTC text ending in Z, GUIDs as UUID text, multi-values as arrays), typed "
                             "in parquet, as text in csv; records flagged deleted are left out")
    export.add_argument("--table", metavar="T", action="append",
                        help="export only this table; repeat for more (--table A --table B; default: every "
                             "table)")
    export.add_argument("--jobs", metavar="N", type=jobs, default=1,
                        help="files exported at the same time (default 1)")
    export.add_argument("--recovered", action="store_true",
                        help="also write each table's recovered records (see 'pellumo recover') to "
                             "TABLE.recovered.jsonl beside TABLE's file (JSON Lines whatever --format)")
    export.add_argument("--overwrite", action="store_true",
                        help="replace output files (and manifest.json) that exist; without it the export is "
                             "refused when any would be replaced")
    export.add_argument("-q", "--quiet", action="store_true", help="no progress or summary line")

    carve = command("carve", "carve printable UTF-16LE strings from the file's pages",
                    "Carve printable UTF-16LE strings from the file's pages, by default from page slack "
                    "(bytes no record uses). Hits are listed in page order, as a table or as JSON Lines.")
    carve.add_argument("--scope", choices=SCOPES, default="slack",
                       help="slack: unused bytes of every page (default); all: whole pages; tag_data: "
                            "stored values; lv_all, lv_slack: long-value pages only, whole or slack")
    carve.add_argument("--needle", metavar="S", help="keep only strings containing S")
    carve.add_argument("--min-chars", metavar="N", type=whole_number, default=6,
                       help="minimum string length in characters (default 6; below 2 acts as 2)")
    carve.add_argument("--max-hits", metavar="N", type=whole_number, default=1000,
                       help="stop after N hits (default 1000)")
    carve.add_argument("--json", action="store_true", help="one JSON object per hit instead of a table")

    check = command("check", "check the file's integrity: header, then every tree page by page",
                    "Check the file the way every read walks it: the header (format, page size, state, "
                    "shadow copy), then the catalog and every table, long-value and index tree, page by "
                    "page (checksum, owner, tree type, entries, revisits).",
                    "exit status: 0 no damage found, 3 damage found, 1 the file cannot be opened")
    check.add_argument("--json", action="store_true", help="the whole report as one JSON object")
    from pellumo_cli import artifacts, recover
    recover.add_parser(commands)
    artifacts.add_parser(commands)
    return parser


def _silence_stdout() -> None:
    # Further writes, including the interpreter's final flush, go nowhere
    # instead of failing again on the closed pipe.
    devnull = os.open(os.devnull, os.O_WRONLY)
    os.dup2(devnull, sys.stdout.fileno())
    os.close(devnull)


def main(argv: Sequence[str] | None = None) -> int:
    """Runs the command line argv (default: sys.argv[1:]); returns the exit status.
    Ctrl-C at any point ends it with status 130 and no traceback."""
    try:
        return _main(argv)
    except KeyboardInterrupt:
        return status.INTERRUPTED


def _main(argv: Sequence[str] | None) -> int:
    for stream in (sys.stdout, sys.stderr):
        # Names from a damaged file must not make printing fail.
        if hasattr(stream, "reconfigure"):
            stream.reconfigure(errors="backslashreplace")
    try:
        import pellumo
    except ImportError as error:
        print(f"{PROG}: error: cannot load the pellumo extension module: {error}", file=sys.stderr)
        return status.ERROR
    from pellumo_cli import commands
    from pellumo_cli.shared import CliError

    args = build_parser(pellumo.__version__).parse_args(argv)
    run = {"info": commands.cmd_info, "tables": commands.cmd_tables, "schema": commands.cmd_schema,
           "dump": commands.cmd_dump, "export": commands.cmd_export, "carve": commands.cmd_carve,
           "check": commands.cmd_check}.get(args.command)
    if run is None:
        from pellumo_cli import artifacts, recover
        run = {"recover": recover.cmd_recover, "artifacts": artifacts.cmd_artifacts}[args.command]
    args.argv = [PROG, *(sys.argv[1:] if argv is None else argv)]
    try:
        done = run(args, sys.stdout, sys.stderr)
        sys.stdout.flush()
        return done
    except CliError as error:
        try:
            sys.stdout.flush()
        except BrokenPipeError:
            _silence_stdout()
        print(f"{PROG}: error: {error}", file=sys.stderr)
        return error.exit_status
    except BrokenPipeError:
        _silence_stdout()
        return status.BROKEN_PIPE
    except KeyboardInterrupt:
        return status.INTERRUPTED
