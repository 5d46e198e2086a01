"""The warning the Dask and Spark readers give for a file they leave out,
where no `skipped` list can reach the caller (partitions run elsewhere)."""

from __future__ import annotations


class SkippedFileWarning(UserWarning):
    """A file left out of a read (it cannot be opened, lacks the table, or
    its records stopped early), and why; path and reason say which."""

    def __init__(self, path: str, reason: str) -> None:
        super().__init__(f"{path}: skipped: {reason}")
        self.path = path
        self.reason = reason

    def __reduce__(self) -> tuple[type[SkippedFileWarning], tuple[str, str]]:
        return type(self), (self.path, self.reason)
