"""The distribution: the type stub against the built module, the source archive,
and a wheel built by pip offline and installed into a fresh virtual environment."""

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
from conftest import ROOT

VERSION = "0.1.8"
STUB = ROOT / "python" / "pellumo.pyi"
CLI_PACKAGE = ROOT / "python" / "pellumo_cli"


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


def test_fallback_toml_reader_reads_pyproject():
    # Python 3.10 has no tomllib: the backend's own reader must see the same data.
    tomllib = pytest.importorskip("tomllib")
    module_spec = importlib.util.spec_from_file_location("pellumo_build", ROOT / "build_backend" / "pellumo_build.py")
    backend = importlib.util.module_from_spec(module_spec)
    module_spec.loader.exec_module(backend)
    text = (ROOT / "pyproject.toml").read_text(encoding="utf-8")
    assert backend._parse_simple_toml(text) == tomllib.loads(text)


# --- the source archive ------------------------------------------------------------


def test_sdist(tmp_path):
    hook = ("import sys; sys.path.insert(0, 'build_backend'); import pellumo_build; "
            f"print(pellumo_build.build_sdist({str(tmp_path)!r}))")
    done = subprocess.run([sys.executable, "-c", hook], cwd=ROOT, capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    name = done.stdout.strip()
    assert name == f"pellumo-{VERSION}.tar.gz"
    with tarfile.open(tmp_path / name) as archive:
        members = {m.name: m for m in archive.getmembers()}
        pkg_info = archive.extractfile(f"pellumo-{VERSION}/PKG-INFO").read().decode()
        pyproject = archive.extractfile(f"pellumo-{VERSION}/pyproject.toml").read()
    names = {n.split("/", 1)[1] for n in members}
    assert all(n.startswith(f"pellumo-{VERSION}/") for n in members)
    assert {"PKG-INFO", "pyproject.toml", "CMakeLists.txt", "build_backend/pellumo_build.py",
            "python/pellumo.pyi", "python/pellumo_cli/cli.py", "src/python/module.cpp"} <= names
    assert {f"python/pellumo_cli/{p.name}" for p in CLI_PACKAGE.glob("*.py")} <= names
    assert not [n for n in names if n.split("/")[0].startswith("build") and not n.startswith("build_backend/")]
    assert not [n for n in names if "__pycache__" in n or n.endswith(".pyc") or n.startswith(".git/")]
    assert pyproject == (ROOT / "pyproject.toml").read_bytes()
    assert f"\nName: pellumo\nVersion: {VERSION}\n" in pkg_info
    assert all(m.isfile() and m.uid == 0 for m in members.values())


# --- the wheel ---------------------------------------------------------------------


def _build_python():
    """The default python3 with pip and venv, as a user would run `pip install .`."""
    python = shutil.which("python3")
    if python is None:
        return None, "no python3 on PATH"
    probe = subprocess.run(
        [python, "-c", "import sys, json, sysconfig, ensurepip, venv, pip;"
                       "print(json.dumps([sys.implementation.name, list(sys.version_info[:2]),"
                       " sysconfig.get_config_var('EXT_SUFFIX')]))"],
        capture_output=True, text=True, env=_clean_env())
    if probe.returncode != 0:
        return None, f"{python} lacks pip or venv: {probe.stderr.strip().splitlines()[-1:]}"
    implementation, version, ext_suffix = json.loads(probe.stdout)
    if implementation != "cpython" or tuple(version) < (3, 10):
        return None, f"{python} is {implementation} {version}, not CPython 3.10 or newer"
    return {"path": python, "version": tuple(version), "ext_suffix": ext_suffix}, None


def _clean_env():
    env = {k: v for k, v in os.environ.items()
           if k not in ("PYTHONPATH", "PYTHONHOME", "LD_PRELOAD") and not k.startswith(("PIP_", "ASAN", "UBSAN"))}
    env.update(PIP_DISABLE_PIP_VERSION_CHECK="1", PIP_NO_INPUT="1")
    return env


@pytest.fixture(scope="module")
def wheel(tmp_path_factory):
    if os.environ.get("PELLUMO_SANITIZED") == "1":
        pytest.skip("the wheel is built and tested once, in the run without sanitizers")
    python, reason = _build_python()
    if python is None:
        pytest.skip(reason)
    out = tmp_path_factory.mktemp("wheelhouse")
    # Offline, as on a build machine without network: nothing may be downloaded.
    done = subprocess.run([python["path"], "-m", "pip", "wheel", str(ROOT), "--no-deps", "--no-index", "-w", str(out)],
                          cwd=out, capture_output=True, text=True, env=_clean_env(), timeout=3600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    wheels = list(out.glob("*.whl"))
    assert len(wheels) == 1, wheels
    return python, wheels[0]


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
    expected_python.update({f"pellumo_cli/{p.name}": p.read_bytes() for p in CLI_PACKAGE.glob("*.py")})
    module = "pellumo" + python["ext_suffix"]
    assert set(files) == {module, *expected_python} | {f"{dist_info}/{n}" for n in
                                                         ("METADATA", "WHEEL", "entry_points.txt", "RECORD")}
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
    assert wheel_meta == ["Wheel-Version: 1.0", "Generator: pellumo_build", "Root-Is-Purelib: false", f"Tag: {tag}"]
    metadata = files[f"{dist_info}/METADATA"].decode()
    headers = metadata.split("\n\n", 1)[0].splitlines()
    assert headers[:3] == ["Metadata-Version: 2.1", "Name: pellumo", f"Version: {VERSION}"]
    assert "Requires-Python: >=3.10" in headers
    assert any(h.startswith("Summary: ") for h in headers)
    assert files[f"{dist_info}/entry_points.txt"] == b"[console_scripts]\npellumo = pellumo_cli:main\n"


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
    assert (version, names, stub_beside) == (VERSION, ["EseDatabase"], True)

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
