"""A folder of many databases, laid out as evidence from many machines:
<root>/hostNN/<file>. Copies of the sample databases (where ../shared/samples
exists) and files written by the fixture tool at every page size, some
without the table a test reads, one damaged beyond opening, one whose leaf
chain breaks part-way. Used by the multi-file tests and bench/fleet_bench.py."""

from __future__ import annotations

import gzip
import shutil
import subprocess
from dataclasses import dataclass, field
from pathlib import Path

PAGE_SIZES = (4096, 8192, 16384, 32768)
# Fixture scenarios with the tables they hold besides MSysObjects.
SCENARIOS = ("sample", "records", "python-values", "tables12", "export-json")
# Samples copied; large.edb (24 MiB, 65,000 catalog records) only on request.
SMALL_SAMPLES = ("SRUDB.dat", "Current.mdb", "basic.edb", "binary.edb", "default.edb", "index.edb", "multi.edb",
                 "text.edb")


@dataclass
class Corpus:
    root: Path
    files: list[str] = field(default_factory=list)  # every file, in sorted path order
    damaged: str = ""  # cannot be opened
    broken: str = ""  # opens; its table Chained stops at a broken leaf chain


def reference(files: list[str], table: str) -> tuple[dict[str, list[dict[str, object]]], dict[str, str]]:
    """path -> read_table(table) for the files that have it; the others -> why not."""
    import pellumo

    found, missing = {}, {}
    for path in files:
        try:
            found[path] = pellumo.EseDatabase(path).read_table(table)
        except (OSError, ValueError) as error:
            missing[path] = str(error)
    return found, missing


def _fixture(tool: Path, scenario: str, out: Path, page_size: int | None = None) -> None:
    out.parent.mkdir(parents=True, exist_ok=True)
    command = [str(tool), scenario, str(out)]
    if page_size is not None:
        command += ["--page-size", str(page_size)]
    subprocess.run(command, check=True, capture_output=True)


def build(root: Path, tool: Path, samples_dir: Path | None, *, copies: int = 3, with_large: bool = False) -> Corpus:
    """Writes the corpus under root (several dozen files with the defaults)."""
    corpus = Corpus(root)
    host = iter(range(1, 10_000))

    def next_host() -> Path:
        return root / f"host{next(host):02d}"

    for scenario in SCENARIOS:
        for page_size in PAGE_SIZES:
            _fixture(tool, scenario, next_host() / f"{scenario}.edb", page_size)
    if samples_dir is not None and samples_dir.is_dir():
        names = SMALL_SAMPLES + (("large.edb",) if with_large else ())
        unpacked: dict[str, bytes] = {}
        for name in names:
            gz = samples_dir / f"{name}.gz"
            if gz.is_file():
                unpacked[name] = gzip.decompress(gz.read_bytes())
        for _ in range(copies):
            machine = next_host()
            machine.mkdir(parents=True)
            for name, data in unpacked.items():
                (machine / name).write_bytes(data)
    else:
        for _ in range(copies):
            machine = next_host()
            for scenario in SCENARIOS:
                _fixture(tool, scenario, machine / f"{scenario}.edb")
    broken = next_host() / "broken.edb"
    _fixture(tool, "python-broken-chain", broken)
    corpus.broken = str(broken)
    damaged = next_host() / "SRUDB.dat"
    damaged.parent.mkdir(parents=True)
    # A torn copy: the header page of a database and nothing after it.
    source = root / "host01" / "sample.edb"
    damaged.write_bytes(source.read_bytes()[:4096])
    corpus.damaged = str(damaged)
    corpus.files = sorted(str(p) for p in root.rglob("*") if p.is_file())
    return corpus


def many(root: Path, tool: Path, count: int, *, records: int = 2000) -> list[str]:
    """count small databases for the benchmark: the same bench table of
    `records` records in every file, as hostNNNN/bench.edb."""
    first = root / "seed.edb"
    root.mkdir(parents=True, exist_ok=True)
    subprocess.run([str(tool), "bench-million", str(first), "--records", str(records)], check=True,
                   capture_output=True)
    paths = []
    for i in range(count):
        target = root / f"host{i:04d}" / "bench.edb"
        target.parent.mkdir(exist_ok=True)
        if not target.exists():
            shutil.copyfile(first, target)
        paths.append(str(target))
    first.unlink()
    return paths
