"""The distribution: the type stub against the built module, and the source
archive and wheel that the test command builds (`python -m build`, the wheel
from the sdist) into $PELLUMO_DIST_DIR, the wheel installed into a fresh
virtual environment."""

import ast
import base64
import csv
import hashlib
import importlib.util
import inspect
import io
import json
import os
import shutil
import subprocess
import sys
import tarfile
import zipfile
from pathlib import Path

import pytest

import pellumo
from conftest import PROJECT_VERSION, ROOT

VERSION = PROJECT_VERSION
STUB = ROOT / "python" / "pellumo.pyi"
CLI_PACKAGE = ROOT / "python" / "pellumo_cli"
# The Python packages shipped in the wheel beside the module.
PACKAGES = sorted(p for p in (ROOT / "python").iterdir() if p.is_dir() and (p / "__init__.py").is_file())


# --- the type stub -----------------------------------------------------------------


def _stub_signature(node):
    """(parameter names without self, {name: default}) of a stub function."""
    args = node.args
    positional = args.posonlyargs + args.args
    names = [a.arg for a in positional][1:] + [a.arg for a in args.kwonlyargs]
    defaults = dict(zip([a.arg for a in positional][len(positional) - len(args.defaults):],
                        (ast.literal_eval(d) for d in args.defaults)))
    defaults.update({a.arg: ast.literal_eval(d) for a, d in zip(args.kwonlyargs, args.kw_defaults) if d is not None})
    return names, defaults


def _runtime_signature(function):
    parameters = list(inspect.signature(function).parameters.values())
    names = [p.name for p in parameters if p.name not in ("self", "cls")]
    defaults = {p.name: p.default for p in parameters if p.default is not inspect.Parameter.empty}
    return names, defaults


def test_stub_describes_the_module():
    tree = ast.parse(STUB.read_text(encoding="utf-8"))
    public = {node.target.id for node in tree.body if isinstance(node, ast.AnnAssign)} | \
             {node.name for node in tree.body if isinstance(node, ast.ClassDef)}
    public = {name for name in public if not name.startswith("_") or name == "__version__"}
    assert public == {name for name in vars(pellumo) if not name.startswith("_")} | {"__version__"}

    cls = next(node for node in tree.body if isinstance(node, ast.ClassDef) and node.name == "EseDatabase")
    stub_members = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
    runtime = pellumo.EseDatabase
    runtime_members = {name for name in vars(runtime) if not name.startswith("__")} | {"__enter__", "__exit__"}
    assert runtime_members <= set(stub_members)

    assert set(stub_members) - set(vars(runtime)) - {"__new__"} == set()
    for name, node in stub_members.items():
        decorators = {d.id for d in node.decorator_list if isinstance(d, ast.Name)}
        attribute = inspect.getattr_static(runtime, name)
        if "property" in decorators:
            assert inspect.isgetsetdescriptor(attribute), name
        elif name == "__new__":
            assert _stub_signature(node) == (["path"], {})
            assert runtime.__text_signature__ == "(path)"
        else:
            assert _stub_signature(node) == _runtime_signature(attribute), name


def _dist_file(pattern):
    dist = os.environ.get("PELLUMO_DIST_DIR")
    if not dist:
        pytest.skip("no distribution built: PELLUMO_DIST_DIR is not set (scripts/test.sh sets it)")
    if os.environ.get("PELLUMO_SANITIZED") == "1":
        pytest.skip("the distribution is checked once, in the run without sanitizers")
    found = sorted(Path(dist).glob(pattern))
    assert len(found) == 1, f"{dist}: {pattern} matches {found}"
    return found[0]


# --- the source archive ------------------------------------------------------------


def test_sdist():
    path = _dist_file("pellumo-*.tar.gz")
    assert path.name == f"pellumo-{VERSION}.tar.gz"
    with tarfile.open(path) as archive:
        members = {m.name: m for m in archive.getmembers()}
        pkg_info = archive.extractfile(f"pellumo-{VERSION}/PKG-INFO").read().decode()
        pyproject = archive.extractfile(f"pellumo-{VERSION}/pyproject.toml").read()
    names = {n.split("/", 1)[1] for n in members if "/" in n}
    assert all(n.startswith(f"pellumo-{VERSION}") for n in members)
    assert {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "README.md", "python/pellumo.pyi",
            "python/pellumo_cli/cli.py", "src/python/module.cpp", "src/utils/bytes.h"} <= names
    assert {f"python/pellumo_cli/{p.name}" for p in CLI_PACKAGE.glob("*.py")} <= names
    # Every source of the library and the module, whatever its name.
    sources = {p.relative_to(ROOT).as_posix() for p in (ROOT / "src").rglob("*") if p.is_file()}
    assert sources - names == set()
    tops = {n.split("/")[0] for n in names}
    assert not [t for t in tops if t.startswith("build") or t in (".git", ".venv", "dist", "out")]
    assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc")]
    assert pyproject == (ROOT / "pyproject.toml").read_bytes()
    assert f"\nName: pellumo\nVersion: {VERSION}\n" in pkg_info


# --- the wheel ---------------------------------------------------------------------


def _build_python():
    """The interpreter running the tests: the wheel was built for it."""
    probe = subprocess.run(
        [sys.executable, "-c", "import sys, json, sysconfig, ensurepip, venv, pip;"
                               "print(json.dumps([list(sys.version_info[:2]), sysconfig.get_config_var('EXT_SUFFIX')]))"],
        capture_output=True, text=True, env=_clean_env())
    if probe.returncode != 0:
        pytest.skip(f"{sys.executable} lacks pip or venv: {probe.stderr.strip().splitlines()[-1:]}")
    version, ext_suffix = json.loads(probe.stdout)
    return {"path": sys.executable, "version": tuple(version), "ext_suffix": ext_suffix}


def _clean_env():
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "LD_PRELOAD", "VIRTUAL_ENV")
           and not k.startswith(("PIP_", "ASAN", "UBSAN"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    return env


@pytest.fixture(scope="module")
def wheel():
    path = _dist_file("pellumo-*.whl")
    return _build_python(), path


def _supported_tags(python):
    done = subprocess.run([python, "-c", "from pip._vendor.packaging.tags import sys_tags\n"
                                         "for t in sys_tags(): print(t)"],
                          capture_output=True, text=True, env=_clean_env(), check=True)
    return done.stdout.split()


def test_wheel_contents(wheel):
    python, path = wheel
    major, minor = python["version"]
    name, version, tag = path.name.removesuffix(".whl").split("-", 2)
    assert (name, version) == ("pellumo", VERSION)
    python_tag, abi_tag, platform_tag = tag.split("-")
    assert python_tag == f"cp{major}{minor}" and abi_tag.startswith(python_tag)
    # A plain Linux build: no manylinux claim, which only auditwheel can vouch for.
    assert platform_tag.startswith("linux_")
    assert tag in _supported_tags(python["path"])  # pip installs it on this interpreter

    dist_info = f"pellumo-{VERSION}.dist-info"
    with zipfile.ZipFile(path) as archive:
        files = {info.filename: archive.read(info) for info in archive.infolist()}
    expected_python = {"pellumo.pyi": STUB.read_bytes()}
    for package in PACKAGES:
        expected_python.update({f"{package.name}/{p.relative_to(package)}": p.read_bytes()
                                for p in package.rglob("*") if p.is_file() and "__pycache__" not in p.parts})
    module = "pellumo" + python["ext_suffix"]
    dist_files = {n for n in files if n.startswith(f"{dist_info}/")}
    assert {f"{dist_info}/{n}" for n in ("METADATA", "WHEEL", "entry_points.txt", "RECORD")} <= dist_files
    assert set(files) - dist_files == {module, *expected_python}
    assert all(files[n] == data for n, data in expected_python.items())
    assert files[module].startswith(b"\x7fELF")

    record = list(csv.reader(io.StringIO(files[f"{dist_info}/RECORD"].decode())))
    assert sorted(row[0] for row in record) == sorted(files)
    for file_name, digest, size in record:
        if file_name == f"{dist_info}/RECORD":
            assert (digest, size) == ("", "")
            continue
        data = files[file_name]
        assert digest == "sha256=" + base64.urlsafe_b64encode(hashlib.sha256(data).digest()).rstrip(b"=").decode()
        assert size == str(len(data))

    wheel_meta = files[f"{dist_info}/WHEEL"].decode().splitlines()
    assert "Root-Is-Purelib: false" in wheel_meta and f"Tag: {tag}" in wheel_meta
    metadata = files[f"{dist_info}/METADATA"].decode()
    headers = metadata.split("\n\n", 1)[0].splitlines()
    assert "Name: pellumo" in headers and f"Version: {VERSION}" in headers
    assert "Requires-Python: >=3.10" in headers
    assert any(h.startswith("Summary: ") for h in headers)
    # The core needs nothing; every integration is an extra.
    assert not [h for h in headers if h.startswith("Requires-Dist:") and "extra ==" not in h]
    assert {"arrow", "parquet", "dask", "spark"} <= {h.split(": ", 1)[1] for h in headers
                                                     if h.startswith("Provides-Extra: ")}
    entry_points = files[f"{dist_info}/entry_points.txt"].decode()
    assert "[console_scripts]" in entry_points and "pellumo = pellumo_cli:main" in entry_points


def test_wheel_installs_into_a_fresh_venv(wheel, tmp_path, make_db):
    python, path = wheel
    env = _clean_env()
    venv = tmp_path / "venv"
    subprocess.run([python["path"], "-m", "venv", str(venv)], check=True, env=env, timeout=600)
    install = subprocess.run([str(venv / "bin" / "python"), "-m", "pip", "install", "--no-index", str(path)],
                             capture_output=True, text=True, env=env, timeout=600)
    assert install.returncode == 0, install.stdout + install.stderr

    # Run from an empty directory, so that nothing of the source tree is found.
    work = tmp_path / "work"
    work.mkdir()
    probe = subprocess.run(
        [str(venv / "bin" / "python"), "-c",
         "import json, pathlib, pellumo; print(json.dumps([pellumo.__file__, pellumo.__version__,"
         " sorted(n for n in vars(pellumo) if not n.startswith('_')),"
         " pathlib.Path(pellumo.__file__).with_name('pellumo.pyi').is_file()]))"],
        cwd=work, capture_output=True, text=True, env=env, timeout=300)
    assert probe.returncode == 0, probe.stderr
    module_file, version, names, stub_beside = json.loads(probe.stdout)
    assert Path(module_file).is_relative_to(venv)
    assert (version, names, stub_beside) == (VERSION, ["DamageWarning", "EseDatabase"], True)

    tool = str(venv / "bin" / "pellumo")
    done = subprocess.run([tool, "--version"], cwd=work, capture_output=True, env=env, timeout=300)
    assert (done.returncode, done.stdout, done.stderr) == (0, f"pellumo {VERSION}\n".encode(), b"")

    db = make_db("sample")
    done = subprocess.run([tool, "tables", db], cwd=work, capture_output=True, text=True, env=env, timeout=300)
    assert done.returncode == 0, done.stderr
    listed = [line.split()[0] for line in done.stdout.splitlines()[1:]]
    assert listed == pellumo.EseDatabase(db).get_tables()

    out = tmp_path / "reference.jsonl"
    pellumo.EseDatabase(db).export_table("MSysObjects", str(out))
    done = subprocess.run([tool, "dump", db, "MSysObjects", "--limit", "3"], cwd=work, capture_output=True,
                          env=env, timeout=300)
    assert (done.returncode, done.stderr) == (0, b"")
    assert done.stdout == b"".join(out.read_bytes().splitlines(keepends=True)[:3])
