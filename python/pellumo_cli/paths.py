"""Glob patterns over evidence folders, the one rule for the command line
and pellumo_fleet: which names are patterns, and what a pattern matches."""

from __future__ import annotations

import glob
import os

# The characters that make a name a pattern (fnmatch's wildcards and the
# opening of a character class).
_WILDCARDS = frozenset("*?[")


def is_pattern(name: str) -> bool:
    """Whether the name holds a wildcard (`*`, `?`, `[`) and is read as a
    glob pattern rather than as a path."""
    return not _WILDCARDS.isdisjoint(name)


def matching_files(pattern: str) -> list[str]:
    """The files (not folders) the pattern matches, sorted, so that the
    order of the files, and with it of their records, does not depend on
    the directory listing. `**` matches any depth of folders."""
    return sorted(p for p in glob.glob(pattern, recursive=True) if not os.path.isdir(p))
