"""pyarrow, imported once, with a useful message where it is missing."""

from __future__ import annotations

try:
    import pyarrow  # type: ignore[import-untyped]
    import pyarrow.compute  # type: ignore[import-untyped]
except ImportError as error:  # pragma: no cover - depends on the installation
    raise ImportError(
        f"pellumo_artifacts needs pyarrow ({error}); install it with: pip install 'pellumo[arrow]'"
    ) from error

pa = pyarrow
pc = pyarrow.compute

__all__ = ["pa", "pc"]
