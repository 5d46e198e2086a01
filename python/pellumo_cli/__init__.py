"""The `pellumo` command: inspect, dump, export and carve ESE database files
from the shell, on top of the pellumo extension module."""

from pellumo_cli.cli import main

__all__ = ["main"]
