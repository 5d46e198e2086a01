"""The kinds of artifact, in the order they are tried.

Every public module of the package (a name without a leading underscore) is
imported the first time the kinds are needed; each registers its kinds with
the `register` decorator. Kinds are tried in order of (priority, name)."""

from __future__ import annotations

import importlib
import pkgutil
import threading

from pellumo_artifacts._base import Catalog, Kind

_KINDS: dict[str, type[Kind]] = {}
_loaded = False
_lock = threading.Lock()


def register(kind: type[Kind]) -> type[Kind]:
    """Class decorator: adds a Kind. Two kinds of one name are an error."""
    known = _KINDS.get(kind.name)
    if known is not None and known is not kind:
        raise ValueError(f"two artifact kinds are named {kind.name!r}: {known.__module__} and {kind.__module__}")
    _KINDS[kind.name] = kind
    return kind


def _load() -> None:
    global _loaded
    with _lock:
        if _loaded:
            return
        import pellumo_artifacts

        for module in pkgutil.iter_modules(pellumo_artifacts.__path__):
            if not module.name.startswith("_"):
                importlib.import_module(f"pellumo_artifacts.{module.name}")
        _loaded = True


def kinds() -> list[type[Kind]]:
    """Every kind, in the order they are tried."""
    _load()
    return sorted(_KINDS.values(), key=lambda k: (k.priority, k.name))


def kind_named(name: str) -> type[Kind] | None:
    _load()
    return _KINDS.get(name)


def detect(catalog: Catalog) -> type[Kind] | None:
    """The first kind that recognises the catalog, or None."""
    return next((k for k in kinds() if k.detect(catalog)), None)
