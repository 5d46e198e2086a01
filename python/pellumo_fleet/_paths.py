"""Turning the `paths` argument of the readers into a list of file paths."""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import Union

from pellumo_cli.paths import is_pattern, matching_files

# A glob pattern or one path, or any iterable of paths.
PathsArg = Union[str, "os.PathLike[str]", Iterable[Union[str, "os.PathLike[str]"]]]


def expand_paths(paths: PathsArg) -> list[str]:
    """The files a `paths` argument names, in reading order.

    A single string is a glob pattern (`**` matches any depth of folders); its
    matches (folders left out) are sorted, so that the order, and with it the order of the
    records, does not depend on the directory listing. A string without
    wildcards, and every item of an iterable, is taken as the path it is, so
    a file name holding '[' or '*' can still be named. A pattern that matches
    nothing raises FileNotFoundError; an empty iterable raises ValueError.
    Paths are kept as given (not made absolute): they are what the provenance
    column shows."""
    if isinstance(paths, (str, os.PathLike)):
        pattern = os.fspath(paths)
        if not isinstance(pattern, str):
            raise TypeError(f"paths must be str or os.PathLike[str], not {type(pattern).__name__}")
        if not is_pattern(pattern):
            return [pattern]
        found = matching_files(pattern)
        if not found:
            raise FileNotFoundError(f"no file matches {pattern!r}")
        return found
    if isinstance(paths, bytes):
        raise TypeError("paths must be str, os.PathLike[str] or an iterable of them, not bytes")
    result: list[str] = []
    for item in paths:
        path = os.fspath(item)
        if not isinstance(path, str):
            raise TypeError(f"paths must hold str or os.PathLike[str], not {type(path).__name__}")
        result.append(path)
    if not result:
        raise ValueError("no paths given")
    return result
