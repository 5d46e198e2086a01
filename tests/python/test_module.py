"""The module object and the shape of the EseDatabase class."""

import inspect
import os
import shutil
import subprocess
import sys

import pytest

import pellumo
from conftest import PROJECT_VERSION
from pellumo import EseDatabase

CLASS_DOC = (
    "Python wrapper for ESE database.\n\nThis class provides access to Microsoft ESE databases from Python.\n\n"
    "Example:\n    >>> from pellumo import EseDatabase\n    >>> db = EseDatabase(\"Current.mdb\")\n"
    "    >>> tables = db.get_tables()\n    >>> records = db.read_table(\"MSysObjects\")"
)

ATTRIBUTE_DOCS = {
    "path": "Get the path to the database file.\n\nReturns:\n    str: Path to the database file",
    "page_size": "Get the database page size.\n\nReturns:\n    int: Page size in bytes",
    "total_pages": "Get the total number of pages in the database.\n\nReturns:\n    int: Total number of pages",
}

# name -> (text signature, docstring after the signature)
METHODS = {
    "get_tables": (
        "($self)",
        "Get a list of all table names in the database.\n\nReturns:\n    list[str]: List of table names",
    ),
    "read_table": (
        "($self, table_name)",
        "Read all records from a table.\n\nArgs:\n    table_name: Name of the table to read\n\n"
        "Returns:\n    list[dict]: List of records as dictionaries\n\n"
        "Raises:\n    ValueError: If the table doesn't exist\n    IOError: If there's an error reading the table",
    ),
    "get_table_schema": (
        "($self, table_name)",
        "Get the schema (columns) for a table.\n\nArgs:\n    table_name: Name of the table\n\n"
        "Returns:\n    list[dict]: List of column information with 'name', 'type', 'id'\n\n"
        "Raises:\n    ValueError: If the table doesn't exist",
    ),
    "__enter__": ("($self)", "Context manager support: enter"),
    "__exit__": ("($self, _exc_type, _exc_value, _traceback)", "Context manager support: exit"),
}


def test_version_and_attributes():
    assert pellumo.__version__ == PROJECT_VERSION
    assert pellumo.__doc__ == ""
    public = [name for name in vars(pellumo) if not name.startswith("__") or name == "__version__"]
    # The class is added before the version, the warning category after it;
    # there are no module-level functions.
    assert public == ["EseDatabase", "__version__", "DamageWarning"]
    assert not any(inspect.isbuiltin(value) for value in vars(pellumo).values())


def test_class_identity_and_signature():
    assert EseDatabase.__name__ == "EseDatabase"
    assert EseDatabase.__qualname__ == "EseDatabase"
    assert EseDatabase.__module__ == "pellumo"
    assert EseDatabase.__doc__ == CLASS_DOC
    assert EseDatabase.__text_signature__ == "(path)"
    assert str(inspect.signature(EseDatabase)) == "(path)"


def test_member_order():
    own = [name for name in vars(EseDatabase) if name in ATTRIBUTE_DOCS or name in METHODS]
    assert own == ["get_tables", "read_table", "get_table_schema", "__enter__", "__exit__", "path", "page_size",
                   "total_pages"]
    methods = [name for name in vars(EseDatabase) if callable(getattr(EseDatabase, name))
               and not name.startswith("__") or name in ("__enter__", "__exit__")]
    carving = [name for name in methods if name.startswith("carve_")]
    assert carving == ["carve_utf16le_strings", "carve_utf16le_strings_scoped"]
    # Carving comes after the schema and before the context manager.
    assert methods.index("get_table_schema") < methods.index(carving[0]) < methods.index("__enter__")


@pytest.mark.parametrize("name", sorted(METHODS))
def test_method_docstrings_and_signatures(name):
    text_signature, doc = METHODS[name]
    method = getattr(EseDatabase, name)
    assert method.__text_signature__ == text_signature
    assert method.__doc__ == doc
    parameters = text_signature[len("($self"):-1].lstrip(", ")
    assert str(inspect.signature(method)) == f"(self, /{', ' + parameters if parameters else ''})"


@pytest.mark.parametrize("name", sorted(ATTRIBUTE_DOCS))
def test_attribute_descriptors(name):
    descriptor = vars(EseDatabase)[name]
    assert inspect.isgetsetdescriptor(descriptor)
    assert descriptor.__doc__ == ATTRIBUTE_DOCS[name]


def test_heap_type_is_immutable_and_final():
    assert type(EseDatabase) is type
    with pytest.raises(TypeError, match="immutable type"):
        EseDatabase.extra = 1
    with pytest.raises(TypeError, match="immutable type"):
        EseDatabase.get_tables = None
    with pytest.raises(TypeError, match="is not an acceptable base type"):
        type("Sub", (EseDatabase,), {})


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("pellumo")
    try:
        import pellumo as again

        assert again is first
        assert again.EseDatabase is EseDatabase
    finally:
        sys.modules["pellumo"] = first


def test_subinterpreter_import_fails(module_dir):
    si = pytest.importorskip("_xxsubinterpreters", reason="no subinterpreter support in this Python")
    interp = si.create()
    try:
        si.run_string(interp, f"import sys\nsys.path.insert(0, {str(module_dir)!r})")
        # An exception inside the subinterpreter surfaces as RunFailedError
        # naming its class and message.
        with pytest.raises(si.RunFailedError, match="ImportError.*once per process"):
            si.run_string(interp, "import pellumo")
        si.run_string(interp, "import sys\nassert 'pellumo' not in sys.modules")
    finally:
        si.destroy(interp)
    # The main interpreter's module keeps working.
    assert sys.modules["pellumo"].EseDatabase is EseDatabase


def test_imports_in_the_default_python3(module_dir):
    """The same built module loads in the other 3.11 on PATH (pyenv or Debian)."""
    other = shutil.which("python3")
    if other is None:
        pytest.skip("no python3 on PATH")
    version = subprocess.run([other, "-c", "import sys; print(sys.version_info[:2] == (3, 11))"],
                             capture_output=True, text=True)
    if version.stdout.strip() != "True":
        pytest.skip(f"{other} is not a Python 3.11")
    env = dict(os.environ, PYTHONPATH=str(module_dir))
    done = subprocess.run(
        [other, "-c", "import pellumo, sys; print(pellumo.__version__, pellumo.EseDatabase.__name__, sys.executable)"],
        capture_output=True, text=True, env=env, cwd="/")
    assert done.returncode == 0, done.stderr
    assert done.stdout.split()[:2] == [PROJECT_VERSION, "EseDatabase"]
