"""Human-readable output: aligned columns, and names made safe for a terminal.

Names and carved strings come from the database file, which may be damaged or
hostile: control characters are shown escaped, so they can neither break the
column layout nor send escape sequences to the terminal."""

from __future__ import annotations

import unicodedata
from collections.abc import Iterable, Sequence

_ESCAPES = {"\t": "\\t", "\n": "\\n", "\r": "\\r", "\\": "\\\\"}

# The database state stored in the header: the name check() and the
# manifest give it, and the words people read.
_STATES = {1: ("new", "just created"), 2: ("dirty", "dirty shutdown"), 3: ("clean", "clean shutdown"),
           4: ("being_converted", "being converted"), 5: ("force_detach", "force detach")}


def state_name(code: int) -> str:
    """The state's name: dirty, clean, ...; unknown for a value the engine never writes."""
    return _STATES.get(code, ("unknown", ""))[0]


def state_text(code: int) -> str:
    """The state in words: dirty shutdown, clean shutdown, ...; unknown (7)."""
    return _STATES[code][1] if code in _STATES else f"unknown ({code})"


def printable(text: str) -> str:
    """text with every non-printable character written as a Python escape."""
    if text.isprintable() and "\\" not in text:
        return text
    out = []
    for ch in text:
        if ch in _ESCAPES:
            out.append(_ESCAPES[ch])
        elif ch.isprintable():
            out.append(ch)
        else:
            code = ord(ch)
            out.append(f"\\x{code:02x}" if code < 0x100 else f"\\u{code:04x}" if code < 0x10000 else f"\\U{code:08x}")
    return "".join(out)


def display_width(text: str) -> int:
    """Columns text takes on a terminal: wide East Asian characters take two."""
    if text.isascii():
        return len(text)
    return sum(2 if unicodedata.east_asian_width(ch) in "WF" else 0 if unicodedata.combining(ch) else 1
               for ch in text)


def table(headers: Sequence[str], rows: Iterable[Sequence[str]], right: Iterable[int] = ()) -> list[str]:
    """Lines of an aligned table: a header line, then one line per row. Columns
    listed in `right` are right-aligned (numbers); the last column is not
    padded, so a line ends in spaces only where its last cell does."""
    rows = [list(row) for row in rows]
    right = set(right)
    widths = [display_width(h) for h in headers]
    for row in rows:
        for i, cell in enumerate(row):
            widths[i] = max(widths[i], display_width(cell))
    last = len(headers) - 1

    def line(cells: Sequence[str]) -> str:
        parts = []
        for i, cell in enumerate(cells):
            pad = " " * (widths[i] - display_width(cell))
            if i in right:
                parts.append(pad + cell)
            else:
                parts.append(cell if i == last else cell + pad)
        return "  ".join(parts)

    return [line(headers)] + [line(row) for row in rows]
