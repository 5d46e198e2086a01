"""What every command needs: the expected failure (CliError), the argument
types several commands share, and opening a database and one of its tables
with the CLI's own messages. Commands import
it; it imports no command, so the command modules never import each other
to reach these."""

from __future__ import annotations

import argparse
import difflib
from typing import TYPE_CHECKING

import pellumo

from pellumo_cli import status
from pellumo_cli.text import printable

if TYPE_CHECKING:
    from pellumo_cli.damage import DamageLog


class CliError(Exception):
    """An expected failure: reported as one line on stderr, exit status 1.
    `subject`, when the failure is about one input file, is that file: a run
    over many files reports the `reason` after naming the file itself."""

    exit_status = status.ERROR

    def __init__(self, message: str, *, subject: str | None = None, reason: str | None = None) -> None:
        super().__init__(message)
        self.subject = subject
        self.reason = message if reason is None else reason


class RefusedError(CliError):
    """An output the command will not write (over existing files, into a
    folder that holds an input): one line on stderr, exit status 2."""

    exit_status = status.USAGE


def whole_number(text: str) -> int:
    """argparse type of counts (--limit, --min-chars, --max-hits)."""
    try:
        value = int(text, 10)
    except ValueError:
        raise argparse.ArgumentTypeError(f"not a whole number: {text!r}") from None
    if not 0 <= value < 2**64:
        raise argparse.ArgumentTypeError(f"must be between 0 and 2**64-1: {text}")
    return value


def jobs(text: str) -> int:
    """argparse type of --jobs."""
    value = whole_number(text)
    if not 1 <= value <= 1024:
        raise argparse.ArgumentTypeError(f"must be between 1 and 1024: {text}")
    return value


def open_database(path: str, log: DamageLog | None) -> pellumo.EseDatabase:
    """Opens the file with the CLI's messages. What the open could not read
    of the catalog (the tables listed there are missing from every listing)
    goes to `log`, the run's damage like any other; None for a command that
    reports the catalog's damage itself (check)."""
    try:
        db = pellumo.EseDatabase.open(path, warn=False)
    except FileNotFoundError as error:
        # "Database file not found: PATH" names the file itself.
        raise CliError(printable(str(error)), subject=path) from None
    except OSError as error:
        raise CliError(f"{printable(path)}: {error}", subject=path, reason=str(error)) from None
    catalog = db.catalog_damage_warning
    if catalog is not None and log is not None:
        log.record(catalog)
    return db


def _not_found(db: pellumo.EseDatabase, name: str, error: Exception) -> CliError:
    """The module's "Table not found" message, with the likeliest intended name:
    lookups compare names exactly, so a difference of case is the usual slip."""
    tables = db.get_tables()
    folded = [t for t in tables if t.casefold() == name.casefold()]
    guesses = folded or difflib.get_close_matches(name, tables, n=1)
    hint = f" (did you mean '{printable(guesses[0])}'?)" if guesses else " (see 'pellumo tables FILE')"
    return CliError(printable(str(error)) + hint)


def require_table(db: pellumo.EseDatabase, name: str) -> list[pellumo._ColumnDescription]:
    """The table's schema; an unknown name is a CliError."""
    try:
        return db.get_table_schema(name)
    except ValueError as error:
        raise _not_found(db, name, error) from None
    except UnicodeEncodeError:
        raise CliError(f"table name {printable(name)} is not valid UTF-8") from None
