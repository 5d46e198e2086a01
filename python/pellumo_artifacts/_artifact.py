"""Opening a file as an artifact, and the Artifact object."""

from __future__ import annotations

import fnmatch
import os
import threading
import warnings
from collections.abc import Sequence
from typing import Any

import pellumo

from pellumo_artifacts._base import Catalog, Kind, Source, TimelineSpec, same_file
from pellumo_artifacts._convert import Warnings
from pellumo_artifacts._registry import detect, kinds


class Artifact:
    """One artifact database (with its companions) as named, resolved tables.

    Tables are built when first asked for and kept. `warnings` lists what
    building them met so far (ids that do not resolve, tables not known,
    values that do not convert, damage): after `tables()` or `timeline()`
    it covers every table. A database table read that met damage is also
    issued as a pellumo.DamageWarning, as the module issues it."""

    def __init__(self, kind: type[Kind], source: Source, companions: Sequence[Source] = ()) -> None:
        self._kind_class = kind
        self._kind = kind(source, companions)
        self._source = source
        self._companions = list(companions)
        self._tables: dict[str, Any] = {}
        self._schemas: dict[str, Any] = {}
        self._names = self._kind.table_names()
        self._lock = threading.RLock()

    @property
    def kind(self) -> str:
        """The kind's name: "srum", "ual", "bits", "file_history", "catroot", ..."""
        return self._kind_class.name

    @property
    def path(self) -> str:
        """The database file, as given to open()."""
        return self._source.path

    @property
    def companion_paths(self) -> list[str]:
        """The companion databases read with it."""
        return [c.path for c in self._companions]

    @property
    def recovered(self) -> bool:
        return self._source.recovered

    @property
    def table_names(self) -> list[str]:
        return list(self._names)

    @property
    def warnings(self) -> list[str]:
        return self._source.warnings.lines()

    @property
    def damage(self) -> list[dict[str, Any]]:
        """The database table reads so far that met damage, of this file and
        its companions: path, table and what could not be read (the counts
        of pellumo.DamageWarning.damage). Each is also a line of warnings."""
        return self._source.warnings.damage()

    @property
    def database(self) -> pellumo.EseDatabase:
        """The open database of the artifact's own file."""
        return self._source.db

    def _check(self, name: str) -> None:
        if name not in self._names:
            raise ValueError(f"{self.kind} artifact {self.path} has no table {name!r}; its tables: "
                             f"{', '.join(self._names) or 'none'}")

    def table(self, name: str) -> Any:
        """One table as a pyarrow.Table. ValueError for a name not in table_names."""
        self._check(name)
        with self._lock:
            if name not in self._tables:
                self._tables[name] = self._kind.build(name)
            return self._tables[name]

    def tables(self) -> dict[str, Any]:
        """Every table, by name, in listing order."""
        return {name: self.table(name) for name in self._names}

    def schema(self, name: str) -> Any:
        """The pyarrow.Schema table(name) has, learnt without reading records."""
        self._check(name)
        with self._lock:
            if name in self._tables:
                return self._tables[name].schema
            if name not in self._schemas:
                empty = self._kind_class(self._source.schema_only(), [c.schema_only() for c in self._companions])
                self._schemas[name] = empty.build(name).schema
            return self._schemas[name]

    def timeline_specs(self) -> list[TimelineSpec]:
        return self._kind.timeline_specs()

    def timeline(self) -> Any:
        """This artifact's timeline (see pellumo_artifacts.timeline)."""
        from pellumo_artifacts._timeline import timeline

        return timeline([self])

    def __repr__(self) -> str:
        return f"<pellumo_artifacts.Artifact kind={self.kind!r} path={self.path!r} tables={len(self._names)}>"


def _open_source(path: str, found: Warnings, recovered: bool, warn: bool) -> Source:
    db = pellumo.EseDatabase.open(path, warn=False)
    catalog = db.catalog_damage_warning
    if catalog is not None:
        # Tables listed on catalog pages the file lost are missing: kept with
        # the damage of the table reads, and issued as the open issues it.
        found.add_damage(catalog.path, catalog.table, dict(catalog.damage), str(catalog))
        if warn:
            warnings.warn(catalog, stacklevel=3)
    return Source(path, db, Catalog(db), found, recovered=recovered)


def companions_beside(path: str, names: Sequence[str]) -> list[str]:
    """The files beside `path` whose names match one of `names` (letter case
    ignored, as on the Windows volume they came from), `path` itself left out."""
    folder = os.path.dirname(path) or "."
    try:
        entries = sorted(os.listdir(folder))
    except OSError:
        return []
    found = []
    for pattern in names:
        for entry in entries:
            candidate = os.path.join(folder, entry)
            if fnmatch.fnmatch(entry.lower(), pattern.lower()) and os.path.isfile(candidate) \
                    and not same_file(candidate, path) and candidate not in found:
                found.append(candidate)
    return found


class UnknownKindError(ValueError):
    """The file is a database, but of no artifact kind this package knows."""


def open_artifact(path: str | os.PathLike[str], *, companions: Sequence[str | os.PathLike[str]] | None = None,
                  values: str = "engine", recovered: bool = False, warn: bool = True) -> Artifact:
    """Opens an artifact database.

    The kind is recognised from the catalog (the tables and columns present),
    never from the file name; a file of no known kind raises ValueError
    (UnknownKindError) naming what was looked for. companions: other files of the same artifact
    (a User Access Logging database's SystemIdentity.mdb); by default the
    files of the kind's companion names lying beside `path`; [] for none.
    values: "engine", the values the database engine returns, on which every
    table is defined. recovered: also the records EseDatabase.recover finds
    (deleted and superseded), appended to each table with `_recovered` true.
    A catalog the open could not read whole (a table of the artifact may be
    missing for it) is in `warnings` and `damage` (table "MSysObjects") and,
    unless warn=False, issued as a pellumo.DamageWarning here, as
    EseDatabase(path) issues it; later table reads warn as they read.
    Raises what EseDatabase raises for a file it cannot open."""
    if values != "engine":
        raise ValueError(f"Invalid values: {values!r} (artifact tables are built from engine values: 'engine')")
    if not isinstance(recovered, bool):
        raise TypeError(f"recovered must be a bool, not {type(recovered).__name__}")
    text_path = os.fspath(path)
    if not isinstance(text_path, str):
        raise TypeError("path must be str or os.PathLike[str]")
    found = Warnings()
    source = _open_source(text_path, found, recovered, warn)
    kind = detect(source.catalog)
    if kind is None:
        looked = "; ".join(f"{k.name}: {k.looked_for}" for k in kinds())
        raise UnknownKindError(f"{text_path}: not an artifact database of a known kind (looked for {looked})")
    if companions is None:
        companion_paths = companions_beside(text_path, kind.companion_names)
    else:
        companion_paths = [os.fspath(c) for c in companions]
    opened = []
    for companion in companion_paths:
        try:
            opened.append(_open_source(str(companion), found, recovered, warn))
        except (OSError, ValueError) as error:
            found.add(f"companion {companion} cannot be read: {error}")
    return Artifact(kind, source, opened)
