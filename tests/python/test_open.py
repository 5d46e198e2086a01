"""Constructing EseDatabase: arguments, failures, attributes, repr and the context manager."""

import os
import pathlib

import pytest

from conftest import write_header_file
import pellumo
from pellumo import EseDatabase


@pytest.mark.parametrize("path", [
    bytearray(b"/tmp"),
    None,
    3,
    ["/tmp"],
])
def test_path_must_be_a_path(path):
    message = f"^argument 'path': expected str, bytes or os.PathLike object, not {type(path).__name__}"
    with pytest.raises(TypeError, match=message):
        EseDatabase(path)
    with pytest.raises(TypeError, match="^argument 'path': "):
        EseDatabase(path=path)


class _FsPath:
    def __init__(self, path):
        self._path = path

    def __fspath__(self):
        return self._path


@pytest.mark.parametrize("as_given", [
    str,
    os.fsencode,
    pathlib.Path,
    lambda p: _FsPath(os.fsencode(p)),
], ids=["str", "bytes", "pathlib", "pathlike-bytes"])
def test_path_as_open_takes_it(make_db, as_given):
    path = make_db("sample")
    db = EseDatabase(as_given(path))
    assert db.path == path
    assert db.get_tables()[:2] == ["MSysObjects", "Users"]


def test_a_name_that_is_not_utf8(make_db, tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/caf\xe9.edb"
    os.rename(make_db("sample"), raw)
    for given in (raw, os.fsdecode(raw), pathlib.Path(os.fsdecode(raw))):
        db = EseDatabase(given)
        assert os.fsencode(db.path) == raw  # the name as given: it opens the same file again
        assert "caf\ufffd.edb" in repr(db)  # shown, it cannot break a terminal
        assert len(db.read_table("Users")) == 3
    with pytest.raises(FileNotFoundError, match="^Database file not found: .*/caf\udcff.edb$"):
        EseDatabase(os.fsencode(str(tmp_path)) + b"/caf\xff.edb")


@pytest.mark.parametrize("given", [
    "missing.edb",
    "dir/with space/ünïcode.edb",
    "",
    "nul\0byte",
])
@pytest.mark.parametrize("as_given", [str, os.fsencode], ids=["str", "bytes"])
def test_missing_file(tmp_path, given, as_given):
    path = given if given == "" else str(tmp_path / given)
    with pytest.raises(FileNotFoundError) as raised:
        EseDatabase(as_given(path))
    assert str(raised.value) == "Database file not found: " + path
    assert raised.value.args == ("Database file not found: " + path,)


def test_dangling_symlink_is_not_found(tmp_path):
    link = tmp_path / "link.edb"
    link.symlink_to(tmp_path / "nowhere.edb")
    with pytest.raises(FileNotFoundError, match="^Database file not found: "):
        EseDatabase(str(link))


# (name, header options, expected message after "Failed to open database: ",
# the exception's kind)
DAMAGED_FILES = [
    ("short", {"length": 100}, "Invalid database header", "invalid_header"),
    ("empty", {"length": 0}, "Invalid database header", "invalid_header"),
    ("just-short", {"length": 4095}, "Invalid database header", "invalid_header"),
    ("zero-signature", {"signature": 0}, "Invalid signature, expected 0x89ABCDEF, got 0x0", "invalid_signature"),
    ("small-signature", {"signature": 0xAB}, "Invalid signature, expected 0x89ABCDEF, got 0xab", "invalid_signature"),
    ("swapped-signature", {"signature": 0xEFCDAB89}, "Invalid signature, expected 0x89ABCDEF, got 0xefcdab89",
     "invalid_signature"),
    ("page-size-zero", {"page_size": 0}, "Parse error: Invalid page size in database header: 0", "parse"),
    # A header alone has no catalog root page.
    ("header-only", {"length": 4096 * 3}, "Invalid page number: 4", "invalid_page_number"),
]


@pytest.mark.parametrize("name, options, message, kind", DAMAGED_FILES, ids=[case[0] for case in DAMAGED_FILES])
def test_damaged_file(tmp_path, name, options, message, kind):
    path = write_header_file(tmp_path / f"{name}.edb", **options)
    with pytest.raises(OSError) as raised:
        EseDatabase(path)
    assert type(raised.value) is OSError
    assert str(raised.value) == "Failed to open database: " + message
    # Callers decide by the kind, not by the text.
    assert (raised.value.kind, raised.value.reading_record) == (kind, False)


def test_directory_cannot_be_opened(tmp_path):
    with pytest.raises(OSError) as raised:
        EseDatabase(str(tmp_path))
    assert type(raised.value) is OSError
    assert str(raised.value) == "Failed to open database: IO error: Is a directory (os error 21)"
    assert raised.value.kind == "io"


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads files whatever their mode")
def test_unreadable_file(tmp_path):
    path = write_header_file(tmp_path / "locked.edb")
    os.chmod(path, 0)
    with pytest.raises(OSError) as raised:
        EseDatabase(path)
    assert str(raised.value) == "Failed to open database: IO error: Permission denied (os error 13)"


def test_attributes_and_repr(make_db, tmp_path, monkeypatch):
    make_db("tables12", name="a.edb")
    monkeypatch.chdir(tmp_path)
    db = EseDatabase("a.edb")
    assert db.path == "a.edb"
    assert db.page_size == 4096
    assert db.total_pages == os.path.getsize("a.edb") // 4096 - 2
    assert repr(db) == "EseDatabase(path='a.edb', tables=12, page_size=4096)"


def test_keyword_path_behaves_like_positional(make_db):
    path = make_db("tables12")
    by_position, by_keyword = EseDatabase(path), EseDatabase(path=path)
    assert by_keyword.path == by_position.path == path
    assert by_keyword.get_tables() == by_position.get_tables()
    assert repr(by_keyword) == repr(by_position)


def test_repr_inserts_path_unescaped(make_db, tmp_path):
    path = make_db("empty-catalog", name="it's \"odd\" ünï.edb")
    db = EseDatabase(path)
    assert db.path == path
    assert repr(db) == f"EseDatabase(path='{path}', tables=0, page_size=4096)"


@pytest.mark.parametrize("page_size", [8192, 16384, 32768])
def test_page_size_attribute(make_db, page_size):
    path = make_db("tables12", page_size=page_size)
    db = EseDatabase(path)
    assert db.page_size == page_size
    assert db.total_pages == os.path.getsize(path) // page_size - 2
    assert repr(db).endswith(f", tables=12, page_size={page_size})")


@pytest.mark.parametrize("name", ["path", "page_size", "total_pages"])
def test_attributes_are_read_only(make_db, name):
    db = EseDatabase(make_db("empty-catalog"))
    before = getattr(db, name)
    with pytest.raises(AttributeError, match=f"attribute '{name}' of 'pellumo.EseDatabase' objects is not writable"):
        setattr(db, name, before)
    with pytest.raises(AttributeError):
        delattr(db, name)
    with pytest.raises(AttributeError):
        db.other = 1
    assert getattr(db, name) == before


def test_context_manager(make_db):
    db = EseDatabase(make_db("tables12"))
    with db as entered:
        assert entered is db
        tables = db.get_tables()
    # Leaving the block closes nothing.
    assert db.get_tables() == tables
    assert db.__enter__() is db
    assert db.__exit__(None, None, None) is False
    assert db.__exit__(_exc_type=1, _exc_value="x", _traceback=[]) is False


def test_context_manager_lets_exceptions_through(make_db):
    with pytest.raises(KeyError, match="inside"):
        with EseDatabase(make_db("empty-catalog")) as db:
            raise KeyError("inside")
    assert db.get_tables() == []


def test_catalog_loop_is_refused_and_the_rest_read(make_db):
    # The entry leading back is refused as damage, which the open tells.
    with pytest.warns(pellumo.DamageWarning, match="table MSysObjects: 1 page reached a second time"):
        db = EseDatabase(make_db("catalog-loop"))
    assert sorted(db.get_tables()) == sorted(["MSysObjects", "Users", "Events", "Settings", "Empty"])
