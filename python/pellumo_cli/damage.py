"""The DamageWarnings of one command run: each printed once on stderr as
"pellumo: warning: ...", counted for the exit status (3: damaged input), and
kept by file and table for the export manifest.

    with DamageLog(err) as log:
        ... read tables ...
    return status.outcome(errors=..., damaged=log.damaged)

The module issues one warning per table read, from whichever thread read
it; the log catches them all for the run (warnings' filters are global, so
it is entered once, on the main thread, around the whole run)."""

from __future__ import annotations

import threading
import warnings
from types import TracebackType
from typing import Any, NamedTuple, TextIO

import pellumo

from pellumo_cli.text import printable


class Damage(NamedTuple):
    """What one table read of one file could not read."""

    path: str
    table: str
    counts: dict[str, Any]  # as DamageWarning.damage gives it
    text: str


class DamageLog:
    """Collects the run's DamageWarnings. With deferred=True nothing is
    printed until flush() (a progress line is on the terminal meanwhile)."""

    def __init__(self, err: TextIO, *, deferred: bool = False) -> None:
        self._err = err
        self._deferred = deferred
        self._lock = threading.Lock()
        self._seen: set[str] = set()
        self._unprinted: list[str] = []
        self._by_table: dict[tuple[str, str], Damage] = {}
        self._catcher: Any = None
        self._previous_show: Any = None

    def __enter__(self) -> DamageLog:
        self._catcher = warnings.catch_warnings()
        self._catcher.__enter__()
        self._previous_show = warnings.showwarning
        # Every warning is seen, whatever PYTHONWARNINGS says: the status
        # depends on it, and the log prints each text once itself.
        warnings.simplefilter("always", pellumo.DamageWarning)
        warnings.showwarning = self._show
        return self

    def __exit__(self, kind: type[BaseException] | None, value: BaseException | None,
                 traceback: TracebackType | None) -> None:
        self._catcher.__exit__(kind, value, traceback)

    def _show(self, message: Warning | str, category: type[Warning], filename: str, lineno: int,
              file: TextIO | None = None, line: str | None = None) -> None:
        if isinstance(message, pellumo.DamageWarning):
            self.record(message)
        else:
            self._previous_show(message, category, filename, lineno, file, line)

    def record(self, warning: pellumo.DamageWarning) -> None:
        """Takes a warning the run got otherwise (an Arrow stream read with
        warn=False gives its damage_warning)."""
        self.add(Damage(warning.path, warning.table, dict(warning.damage), str(warning)))

    def add(self, damage: Damage) -> None:
        with self._lock:
            # The first read of a table is the one its output holds.
            self._by_table.setdefault((damage.path, damage.table), damage)
            if damage.text in self._seen:
                return
            self._seen.add(damage.text)
            line = f"pellumo: warning: {printable(damage.text)}\n"
            if self._deferred:
                self._unprinted.append(line)
                return
        self._err.write(line)
        self._err.flush()

    def flush(self) -> None:
        """Prints what deferral held back."""
        with self._lock:
            lines, self._unprinted = self._unprinted, []
        if lines:
            self._err.write("".join(lines))
            self._err.flush()

    @property
    def damaged(self) -> bool:
        with self._lock:
            return bool(self._seen)

    @property
    def count(self) -> int:
        """Distinct warnings so far."""
        with self._lock:
            return len(self._seen)

    def damage_of(self, path: str, table: str) -> Damage | None:
        with self._lock:
            return self._by_table.get((path, table))

    def entries(self, path: str | None = None) -> list[Damage]:
        """Everything recorded (for one file), for a process that reports
        to another."""
        with self._lock:
            return [d for (p, _), d in self._by_table.items() if path is None or p == path]
