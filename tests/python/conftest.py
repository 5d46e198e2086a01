"""Shared set-up for the Python tests of the pellumo module.

With PELLUMO_INSTALLED=1 the tests use the pellumo installed in the running
interpreter (a wheel, as users get it). Otherwise the built module is looked
for in $PELLUMO_BUILD_DIR/python when that is set, else in
<root>/build/python, else in the first <root>/build*/python that holds it
(skipping sanitizer builds, which only load with the sanitizer runtime
preloaded). Test databases are written by the fixture tool of a build.
"""

import os
import re
import struct
import subprocess
import sys
from pathlib import Path

import pytest

ROOT = Path(__file__).resolve().parents[2]
SAMPLES_DIR = ROOT.parent / "shared" / "samples"
FIXTURE_TOOL_NAME = "pellumo_fixture_tool"


def _has_module(python_dir):
    return python_dir.is_dir() and any(python_dir.glob("pellumo*.so"))


def _is_sanitizer_build(build_dir):
    cache = build_dir / "CMakeCache.txt"
    return cache.is_file() and "PELLUMO_SANITIZE:BOOL=ON" in cache.read_text(errors="replace")


def _find_build_dir():
    explicit = os.environ.get("PELLUMO_BUILD_DIR")
    if explicit:
        build = Path(explicit).resolve()
        if not _has_module(build / "python"):
            raise pytest.UsageError(f"PELLUMO_BUILD_DIR={explicit}: no pellumo module in {build / 'python'}")
        return build
    candidates = [ROOT / "build"] + sorted(p for p in ROOT.glob("build*") if p.name != "build")
    for build in candidates:
        if _has_module(build / "python") and not _is_sanitizer_build(build):
            return build
    raise pytest.UsageError(f"no built pellumo module under {ROOT}/build*/python; set PELLUMO_BUILD_DIR")


def _project_version():
    cmake = (ROOT / "CMakeLists.txt").read_text(encoding="utf-8")
    return re.search(r"project\(pellumo VERSION ([0-9.]+)", cmake).group(1)


PROJECT_VERSION = _project_version()
INSTALLED = os.environ.get("PELLUMO_INSTALLED") == "1"
if INSTALLED:
    import importlib.util

    _installed = importlib.util.find_spec("pellumo")
    if _installed is None or _installed.origin is None:
        raise pytest.UsageError("PELLUMO_INSTALLED=1 but no pellumo is installed in " + sys.executable)
    MODULE_DIR = Path(_installed.origin).parent
    if "site-packages" not in MODULE_DIR.parts:
        raise pytest.UsageError(f"PELLUMO_INSTALLED=1 but pellumo is not an installed one: {MODULE_DIR}")
    _build = os.environ.get("PELLUMO_BUILD_DIR")
    BUILD_DIR = Path(_build).resolve() if _build else ROOT / "build"
else:
    BUILD_DIR = _find_build_dir()
    MODULE_DIR = BUILD_DIR / "python"
    sys.path.insert(0, str(MODULE_DIR))


def _find_fixture_tool():
    explicit = os.environ.get("PELLUMO_FIXTURE_TOOL")
    if explicit:
        return Path(explicit)
    own = BUILD_DIR / FIXTURE_TOOL_NAME
    if own.is_file():
        return own
    # Any build of the same tree writes the same databases.
    for other in sorted(ROOT.glob("build*/" + FIXTURE_TOOL_NAME)):
        if other.is_file() and os.access(other, os.X_OK):
            return other
    return None


FIXTURE_TOOL = _find_fixture_tool()


@pytest.fixture(scope="session")
def module_dir():
    """The directory holding the built module, for subprocesses."""
    return MODULE_DIR


@pytest.fixture
def make_db(tmp_path):
    """make_db(scenario, page_size=None, format_version=None, format_revision=None) -> path (str).

    Writes the named fixture database into tmp_path with the fixture tool;
    the test is skipped when no build has the tool yet."""
    counter = iter(range(1_000_000))

    def make(scenario, *, page_size=None, format_version=None, format_revision=None, name=None):
        if FIXTURE_TOOL is None:
            pytest.skip(f"{FIXTURE_TOOL_NAME} is not built in {BUILD_DIR}")
        out = tmp_path / (name or f"{scenario}-{next(counter)}.edb")
        command = [str(FIXTURE_TOOL), scenario, str(out)]
        for flag, value in (("--page-size", page_size), ("--format-version", format_version),
                            ("--format-revision", format_revision)):
            if value is not None:
                command += [flag, str(value)]
        done = subprocess.run(command, capture_output=True, text=True)
        if done.returncode != 0:
            pytest.fail(f"{' '.join(command)} failed ({done.returncode}): {done.stderr.strip()}")
        return str(out)

    return make


def write_header_file(path, *, signature=0x89ABCDEF, page_size=4096, format_version=0x620,
                      format_revision=0x14, length=4096 * 3):
    """Writes a file that is only a database header followed by zero bytes."""
    data = bytearray(length)
    if length >= 240:
        struct.pack_into("<I", data, 4, signature)
        struct.pack_into("<I", data, 8, format_version)
        struct.pack_into("<I", data, 232, format_revision)
        struct.pack_into("<I", data, 236, page_size)
    Path(path).write_bytes(bytes(data))
    return str(path)


def sample_paths():
    """The gzip-compressed sample databases, or an empty list where the folder is absent."""
    if not SAMPLES_DIR.is_dir():
        return []
    return sorted(SAMPLES_DIR.glob("*.gz"))


@pytest.fixture(scope="session")
def corpus(tmp_path_factory):
    """A folder of several dozen databases from many "machines" (fleet_corpus.py)."""
    if FIXTURE_TOOL is None:
        pytest.skip(f"{FIXTURE_TOOL_NAME} is not built in {BUILD_DIR}")
    import fleet_corpus

    return fleet_corpus.build(tmp_path_factory.mktemp("corpus"), FIXTURE_TOOL, SAMPLES_DIR)
