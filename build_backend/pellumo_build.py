"""PEP 517 build backend for pellumo: builds the extension module with CMake and
writes the wheel and the source archive with the standard library alone.

Why the backend is part of the repository: pellumo's extension module is built
by the project's own CMake files, and the wheel has to be buildable where no
package index can be reached (build machines without network access, whose
Python has setuptools but not `wheel`). A backend named in pyproject.toml with
`backend-path` and `requires = []` is loaded straight from the source tree, so
pip needs to download nothing, with or without build isolation; on a connected
machine it is the ordinary PEP 517 route, and pip, `python -m build` and every
other front end drive it the same way. The only outside tool is CMake: when no
CMake 3.20 or newer is on PATH, the backend asks the front end for the `cmake`
package instead.

Hooks: build_wheel, build_sdist, prepare_metadata_for_build_wheel and the
get_requires_for_build_* queries. Options (pip: `-C key=value`,
build: `-Ckey=value`):

    build-dir   CMake build directory to use and keep (default: a temporary one,
                removed afterwards); reusing one makes repeated builds quick
    build-type  CMAKE_BUILD_TYPE (default Release)
    jobs        parallel build jobs (default $CMAKE_BUILD_PARALLEL_LEVEL, else
                the number of processors)
    cmake-args  further arguments for the CMake configure step (shell-quoted)
"""

from __future__ import annotations

import base64
import csv
import gzip
import hashlib
import io
import os
import re
import shlex
import shutil
import stat
import subprocess
import sys
import sysconfig
import tarfile
import tempfile
import time
import zipfile
from pathlib import Path

__all__ = [
    "build_sdist",
    "build_wheel",
    "get_requires_for_build_sdist",
    "get_requires_for_build_wheel",
    "prepare_metadata_for_build_wheel",
]

# The CMake target that builds the extension module, and where it puts it.
MODULE_TARGET = "pellumo_module"
MODULE_NAME = "pellumo"
MODULE_OUTPUT_DIR = "python"
# Pure-Python files installed beside the module: the type stub and the
# command-line tool's package.
PYTHON_SOURCE_DIR = "python"
STUB_FILE = "pellumo.pyi"
PYTHON_PACKAGES = ("pellumo_cli",)
MIN_CMAKE = (3, 20)

# Paths never put into the source archive (relative to the project root).
_SDIST_EXCLUDED_DIRS = re.compile(
    r"^(build(?!_backend/)[^/]*|\.git|\.pytest_cache|dist|out)(/|$)|(^|/)(__pycache__|\.mypy_cache)(/|$)")
_SDIST_EXCLUDED_FILES = re.compile(r"\.py[co]$")

# Metadata keys of [project] this backend turns into core metadata.
_KNOWN_PROJECT_KEYS = {"name", "version", "description", "readme", "requires-python", "keywords",
                       "classifiers", "urls", "scripts"}


class BuildError(Exception):
    """A build step failed; the message says which and why."""


# --- pyproject.toml -----------------------------------------------------------


def _source_root() -> Path:
    # Front ends run every hook in the root of the source tree.
    root = Path.cwd()
    if not (root / "pyproject.toml").is_file():
        raise BuildError(f"{root} holds no pyproject.toml: run the build from the project root")
    return root


def _parse_toml(text: str) -> dict:
    try:
        import tomllib
    except ModuleNotFoundError:  # Python 3.10
        return _parse_simple_toml(text)
    return tomllib.loads(text)


def _parse_simple_toml(text: str) -> dict:
    """Reads the part of TOML that pyproject.toml uses: [tables], and keys whose
    values are strings, booleans or arrays of strings, arrays possibly spanning
    several lines."""
    import ast

    data: dict = {}
    table = data
    pending = ""
    for raw in text.splitlines():
        raw = raw.strip()
        if not raw or raw.startswith("#"):
            continue
        line = pending + raw
        if line.startswith("[") and not pending and "=" not in line:
            table = data
            for part in line.strip("[]").split("."):
                table = table.setdefault(part.strip().strip('"'), {})
            continue
        key, _, value = line.partition("=")
        value = value.strip()
        if value.startswith("[") and not value.rstrip(",").endswith("]"):
            pending = line + " "
            continue
        pending = ""
        value = re.sub(r"#[^\"\]]*$", "", value).strip()
        if value in ("true", "false"):
            parsed = value == "true"
        else:
            parsed = ast.literal_eval(value)
        table[key.strip().strip('"')] = parsed
    return data


def _load_project(root: Path) -> dict:
    pyproject = _parse_toml((root / "pyproject.toml").read_text(encoding="utf-8"))
    project = pyproject.get("project")
    if not isinstance(project, dict):
        raise BuildError("pyproject.toml has no [project] table")
    unknown = set(project) - _KNOWN_PROJECT_KEYS
    if unknown:
        raise BuildError(f"pellumo_build does not handle [project] keys: {', '.join(sorted(unknown))}")
    for key in ("name", "version"):
        if not isinstance(project.get(key), str) or not project[key]:
            raise BuildError(f"[project] {key} must be a non-empty string")
    # The module reports the version CMake compiles into it; both must agree.
    cmake_version = re.search(r"project\(\s*\w+\s+VERSION\s+([0-9][0-9.]*)",
                              (root / "CMakeLists.txt").read_text(encoding="utf-8"))
    if cmake_version and cmake_version.group(1) != project["version"]:
        raise BuildError(f"pyproject.toml says version {project['version']} but CMakeLists.txt says "
                         f"{cmake_version.group(1)}")
    return project


def _normalized_name(name: str) -> str:
    # File names of wheels and dist-info directories use '_' for runs of -_.
    return re.sub(r"[-_.]+", "_", name).lower()


def _metadata_text(root: Path, project: dict) -> str:
    lines = [
        "Metadata-Version: 2.1",
        f"Name: {project['name']}",
        f"Version: {project['version']}",
    ]
    if project.get("description"):
        lines.append(f"Summary: {project['description']}")
    if project.get("keywords"):
        lines.append("Keywords: " + ",".join(project["keywords"]))
    for label, url in (project.get("urls") or {}).items():
        lines.append(f"Project-URL: {label}, {url}")
    for classifier in project.get("classifiers") or ():
        lines.append(f"Classifier: {classifier}")
    if project.get("requires-python"):
        lines.append(f"Requires-Python: {project['requires-python']}")
    body = ""
    readme = project.get("readme")
    if readme is not None:
        if not isinstance(readme, str):
            raise BuildError("[project] readme must be a file name")
        readme_path = root / readme
        if not readme_path.is_file():
            raise BuildError(f"readme file {readme} does not exist")
        content_type = {".md": "text/markdown", ".rst": "text/x-rst"}.get(readme_path.suffix.lower(), "text/plain")
        lines.append(f"Description-Content-Type: {content_type}")
        body = readme_path.read_text(encoding="utf-8")
    return "\n".join(lines) + "\n\n" + body


def _entry_points_text(project: dict) -> str:
    scripts = project.get("scripts") or {}
    if not scripts:
        return ""
    return "[console_scripts]\n" + "".join(f"{name} = {target}\n" for name, target in scripts.items())


# --- tags ---------------------------------------------------------------------


def _wheel_tag() -> str:
    """python-abi-platform of the running interpreter, which is the one the
    module is compiled for (cp311-cp311-linux_x86_64 on CPython 3.11)."""
    if sys.implementation.name != "cpython":
        raise BuildError(f"pellumo is a CPython extension module; {sys.implementation.name} is not supported")
    python_tag = "cp" + sys.implementation.cache_tag.split("-")[1]
    # SOABI (cpython-311-x86_64-linux-gnu, cpython-313t-...) carries the ABI
    # flags of debug and free-threaded builds.
    soabi = sysconfig.get_config_var("SOABI") or ""
    parts = soabi.split("-")
    abi_tag = "cp" + parts[1] if len(parts) > 1 and parts[0] == "cpython" else python_tag
    platform = re.sub(r"[^A-Za-z0-9_]", "_", sysconfig.get_platform())
    if platform == "linux_x86_64" and sys.maxsize <= 2**32:
        platform = "linux_i686"  # a 32-bit interpreter on a 64-bit kernel
    return f"{python_tag}-{abi_tag}-{platform}"


def _wheel_text(tag: str) -> str:
    return ("Wheel-Version: 1.0\n"
            "Generator: pellumo_build\n"
            "Root-Is-Purelib: false\n"
            f"Tag: {tag}\n")


# --- options ------------------------------------------------------------------


def _setting(config_settings, key: str):
    value = (config_settings or {}).get(key)
    if isinstance(value, list):  # a key given more than once
        value = " ".join(value) if key == "cmake-args" else value[-1]
    return value


def _jobs(config_settings) -> str:
    jobs = _setting(config_settings, "jobs") or os.environ.get("CMAKE_BUILD_PARALLEL_LEVEL") or os.cpu_count() or 1
    if not str(jobs).isdigit() or int(jobs) < 1:
        raise BuildError(f"jobs must be a positive number, got {jobs!r}")
    return str(jobs)


# --- CMake --------------------------------------------------------------------


def _cmake_version(cmake: str) -> tuple[int, ...] | None:
    try:
        out = subprocess.run([cmake, "--version"], capture_output=True, text=True, check=True).stdout
    except (OSError, subprocess.CalledProcessError):
        return None
    found = re.search(r"version (\d+)\.(\d+)", out)
    return tuple(int(x) for x in found.groups()) if found else None


def _usable_cmake() -> str | None:
    cmake = shutil.which("cmake")
    if cmake is None:
        return None
    version = _cmake_version(cmake)
    return cmake if version is not None and version >= MIN_CMAKE else None


def _run(command: list[str], what: str) -> None:
    print("+ " + shlex.join(command), flush=True)
    try:
        done = subprocess.run(command)
    except OSError as error:
        raise BuildError(f"{what} could not start: {error}") from None
    if done.returncode != 0:
        raise BuildError(f"{what} failed with exit status {done.returncode}; its output is above")


def _build_module(root: Path, build_dir: Path, config_settings) -> Path:
    """Configures and builds only the extension module; returns the built file."""
    cmake = _usable_cmake()
    if cmake is None:
        raise BuildError("CMake %d.%d or newer is needed to build pellumo (Debian: apt-get install cmake g++ "
                         "liblz4-dev python3-dev)" % MIN_CMAKE)
    build_type = _setting(config_settings, "build-type") or "Release"
    extra = shlex.split(_setting(config_settings, "cmake-args") or "")
    _run([cmake, "-S", str(root), "-B", str(build_dir),
          f"-DCMAKE_BUILD_TYPE={build_type}",
          "-DPELLUMO_BUILD_TESTS=OFF",
          "-DPELLUMO_BUILD_PYTHON=ON",
          "-DPELLUMO_SANITIZE=OFF",
          # The module must be compiled for the interpreter that will load it.
          f"-DPython3_EXECUTABLE={sys.executable}",
          *extra], "CMake configuration")
    _run([cmake, "--build", str(build_dir), "--target", MODULE_TARGET, "--parallel", _jobs(config_settings)],
         "CMake build")
    module = build_dir / MODULE_OUTPUT_DIR / (MODULE_NAME + sysconfig.get_config_var("EXT_SUFFIX"))
    if not module.is_file():
        built = sorted(p.name for p in (build_dir / MODULE_OUTPUT_DIR).glob(MODULE_NAME + "*"))
        raise BuildError(f"the build did not produce {module.name} (found: {', '.join(built) or 'nothing'}); "
                         f"was it configured for another interpreter than {sys.executable}?")
    return module


# --- archives -----------------------------------------------------------------


def _timestamp() -> float:
    # Reproducible archives: SOURCE_DATE_EPOCH when given, else a fixed date.
    epoch = os.environ.get("SOURCE_DATE_EPOCH")
    return max(int(epoch), 315532800) if epoch and epoch.isdigit() else 315532800  # 1980-01-01


class _WheelWriter:
    """Writes a wheel: files in sorted order, then the dist-info directory with
    RECORD last, each entry with its sha256 digest and size."""

    def __init__(self, path: Path, dist_info: str):
        self._zip = zipfile.ZipFile(path, "w", compression=zipfile.ZIP_DEFLATED)
        self._dist_info = dist_info
        self._records: list[tuple[str, str, str]] = []
        self._date_time = time.gmtime(_timestamp())[:6]

    def add(self, arcname: str, data: bytes, executable: bool = False) -> None:
        info = zipfile.ZipInfo(arcname, date_time=self._date_time)
        info.external_attr = ((0o755 if executable else 0o644) | stat.S_IFREG) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, data)
        digest = base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode("ascii")
        self._records.append((arcname, f"sha256={digest}", str(len(data))))

    def close(self) -> None:
        record_name = f"{self._dist_info}/RECORD"
        out = io.StringIO()
        writer = csv.writer(out, lineterminator="\n")
        writer.writerows(self._records)
        writer.writerow((record_name, "", ""))
        info = zipfile.ZipInfo(record_name, date_time=self._date_time)
        info.external_attr = (0o644 | stat.S_IFREG) << 16
        info.compress_type = zipfile.ZIP_DEFLATED
        self._zip.writestr(info, out.getvalue().encode("utf-8"))
        self._zip.close()

    def abort(self) -> None:
        self._zip.close()


def _python_files(root: Path) -> list[tuple[str, Path]]:
    """(name inside the wheel, file) of the stub and the pure-Python packages."""
    source = root / PYTHON_SOURCE_DIR
    files = [(STUB_FILE, source / STUB_FILE)]
    for package in PYTHON_PACKAGES:
        for path in sorted((source / package).rglob("*.py")):
            if "__pycache__" not in path.parts:
                files.append((path.relative_to(source).as_posix(), path))
    missing = [str(path) for _, path in files if not path.is_file()]
    if missing:
        raise BuildError(f"missing source files: {', '.join(missing)}")
    return files


def _dist_info_files(root: Path, project: dict, tag: str) -> dict[str, str]:
    files = {"METADATA": _metadata_text(root, project), "WHEEL": _wheel_text(tag)}
    entry_points = _entry_points_text(project)
    if entry_points:
        files["entry_points.txt"] = entry_points
    return files


def _sdist_files(root: Path) -> list[str]:
    """The project's files relative to root: what git tracks or would track
    (new files included, ignored ones not), else every file outside build
    directories and caches."""
    names: list[str] | None = None
    if (root / ".git").exists() and shutil.which("git"):
        done = subprocess.run(["git", "-C", str(root), "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                              capture_output=True)
        if done.returncode == 0:
            names = [n for n in done.stdout.decode("utf-8", "surrogateescape").split("\0") if n]
    if names is None:
        names = [p.relative_to(root).as_posix() for p in root.rglob("*") if p.is_file() or p.is_symlink()]
    kept = []
    for name in names:
        if _SDIST_EXCLUDED_DIRS.search(name) or _SDIST_EXCLUDED_FILES.search(name) or name == "PKG-INFO":
            continue
        path = root / name
        if path.is_file() and not path.is_symlink():  # deleted-but-tracked files are skipped
            kept.append(name)
    return sorted(set(kept))


# --- hooks --------------------------------------------------------------------


def get_requires_for_build_wheel(config_settings=None):
    return [] if _usable_cmake() else ["cmake>=%d.%d" % MIN_CMAKE]


def get_requires_for_build_sdist(config_settings=None):
    return []


def prepare_metadata_for_build_wheel(metadata_directory, config_settings=None):
    root = _source_root()
    project = _load_project(root)
    dist_info = f"{_normalized_name(project['name'])}-{project['version']}.dist-info"
    target = Path(metadata_directory) / dist_info
    target.mkdir(parents=True, exist_ok=True)
    for name, text in _dist_info_files(root, project, _wheel_tag()).items():
        (target / name).write_text(text, encoding="utf-8")
    return dist_info


def build_wheel(wheel_directory, config_settings=None, metadata_directory=None):
    root = _source_root()
    project = _load_project(root)
    tag = _wheel_tag()
    name = _normalized_name(project["name"])
    dist_info = f"{name}-{project['version']}.dist-info"
    filename = f"{name}-{project['version']}-{tag}.whl"
    python_files = _python_files(root)

    kept_build_dir = _setting(config_settings, "build-dir")
    with tempfile.TemporaryDirectory(prefix="pellumo-build-") as scratch:
        build_dir = Path(kept_build_dir).resolve() if kept_build_dir else Path(scratch)
        module = _build_module(root, build_dir, config_settings)

        wheel_path = Path(wheel_directory) / filename
        partial = wheel_path.with_suffix(".whl.part")
        writer = _WheelWriter(partial, dist_info)
        try:
            writer.add(module.name, module.read_bytes(), executable=True)
            for arcname, path in python_files:
                writer.add(arcname, path.read_bytes())
            for meta_name, text in _dist_info_files(root, project, tag).items():
                writer.add(f"{dist_info}/{meta_name}", text.encode("utf-8"))
        except BaseException:
            writer.abort()
            partial.unlink(missing_ok=True)
            raise
        writer.close()
        os.replace(partial, wheel_path)
    return filename


def build_sdist(sdist_directory, config_settings=None):
    root = _source_root()
    project = _load_project(root)
    base = f"{_normalized_name(project['name'])}-{project['version']}"
    filename = f"{base}.tar.gz"
    mtime = _timestamp()

    def add(tar: tarfile.TarFile, arcname: str, data: bytes, mode: int) -> None:
        info = tarfile.TarInfo(f"{base}/{arcname}")
        info.size = len(data)
        info.mtime = mtime
        info.mode = mode
        info.uid = info.gid = 0
        info.uname = info.gname = ""
        tar.addfile(info, io.BytesIO(data))

    target = Path(sdist_directory) / filename
    partial = target.with_suffix(".part")
    try:
        with open(partial, "wb") as raw, \
                gzip.GzipFile(filename=filename.removesuffix(".gz"), mode="wb", fileobj=raw, mtime=mtime) as gz, \
                tarfile.open(fileobj=gz, mode="w", format=tarfile.PAX_FORMAT) as tar:
            add(tar, "PKG-INFO", _metadata_text(root, project).encode("utf-8"), 0o644)
            for name in _sdist_files(root):
                path = root / name
                executable = os.stat(path).st_mode & 0o111
                add(tar, name, path.read_bytes(), 0o755 if executable else 0o644)
    except BaseException:
        partial.unlink(missing_ok=True)
        raise
    os.replace(partial, target)
    return filename
