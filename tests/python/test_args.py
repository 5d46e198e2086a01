"""Bad calls: every public callable reports missing, surplus, unknown, duplicated and
badly typed arguments with TypeError naming the callable and the argument."""

import pathlib

import pytest

from pellumo import EseDatabase

# (id, call on an instance `db`, exception class, message pattern)
BAD_METHOD_CALLS = [
    ("get_tables-surplus", lambda db: db.get_tables(1), TypeError,
     r"EseDatabase\.get_tables\(\) takes no arguments \(1 given\)"),
    ("get_tables-keyword", lambda db: db.get_tables(table_name="x"), TypeError,
     r"EseDatabase\.get_tables\(\) takes no keyword arguments"),
    ("schema-missing", lambda db: db.get_table_schema(), TypeError,
     r"^EseDatabase\.get_table_schema\(\) missing required argument 'table_name' \(pos 1\)$"),
    ("schema-surplus", lambda db: db.get_table_schema("Users", "Users"), TypeError,
     r"^EseDatabase\.get_table_schema\(\) takes at most 1 argument \(2 given\)$"),
    ("schema-unknown", lambda db: db.get_table_schema(name="Users"), TypeError,
     r"^EseDatabase\.get_table_schema\(\) got an unexpected keyword argument 'name'$"),
    ("schema-unknown-after-valid", lambda db: db.get_table_schema(table_name="Users", extra=1), TypeError,
     r"^EseDatabase\.get_table_schema\(\) got an unexpected keyword argument 'extra'$"),
    ("schema-duplicated", lambda db: db.get_table_schema("Users", table_name="Users"), TypeError,
     r"^argument for EseDatabase\.get_table_schema\(\) given by name \('table_name'\) and position \(1\)$"),
    ("schema-int", lambda db: db.get_table_schema(1), TypeError,
     r"^argument 'table_name': 'int' object cannot be converted to 'str'$"),
    ("schema-bytes", lambda db: db.get_table_schema(table_name=b"Users"), TypeError,
     r"^argument 'table_name': 'bytes' object cannot be converted to 'str'$"),
    ("schema-none", lambda db: db.get_table_schema(None), TypeError,
     r"^argument 'table_name': 'NoneType' object cannot be converted to 'str'$"),
    ("schema-lone-surrogate", lambda db: db.get_table_schema("\udcff"), UnicodeEncodeError,
     r"surrogates not allowed"),
    ("read-missing", lambda db: db.read_table(), TypeError,
     r"^EseDatabase\.read_table\(\) missing required argument 'table_name' \(pos 1\)$"),
    ("read-surplus", lambda db: db.read_table("Users", 1), TypeError,
     r"^EseDatabase\.read_table\(\) takes at most 1 argument \(2 given\)$"),
    ("read-unknown", lambda db: db.read_table(table="Users"), TypeError,
     r"^EseDatabase\.read_table\(\) got an unexpected keyword argument 'table'$"),
    ("read-duplicated", lambda db: db.read_table("Users", table_name="Users"), TypeError,
     r"^argument for EseDatabase\.read_table\(\) given by name \('table_name'\) and position \(1\)$"),
    ("read-bytes", lambda db: db.read_table(b"Users"), TypeError,
     r"^argument 'table_name': 'bytes' object cannot be converted to 'str'$"),
    ("read-none", lambda db: db.read_table(table_name=None), TypeError,
     r"^argument 'table_name': 'NoneType' object cannot be converted to 'str'$"),
    ("read-lone-surrogate", lambda db: db.read_table("\udcff"), UnicodeEncodeError, r"surrogates not allowed"),
    ("enter-surplus", lambda db: db.__enter__(None), TypeError,
     r"EseDatabase\.__enter__\(\) takes no arguments \(1 given\)"),
    ("exit-missing-all", lambda db: db.__exit__(), TypeError,
     r"^EseDatabase\.__exit__\(\) missing required argument '_exc_type' \(pos 1\)$"),
    ("exit-missing-last", lambda db: db.__exit__(None, None), TypeError,
     r"^EseDatabase\.__exit__\(\) missing required argument '_traceback' \(pos 3\)$"),
    ("exit-surplus", lambda db: db.__exit__(None, None, None, None), TypeError,
     r"^EseDatabase\.__exit__\(\) takes at most 3 arguments \(4 given\)$"),
    ("exit-unknown", lambda db: db.__exit__(None, None, traceback=None), TypeError,
     r"^EseDatabase\.__exit__\(\) got an unexpected keyword argument 'traceback'$"),
    ("exit-duplicated", lambda db: db.__exit__(None, None, None, _exc_value=None), TypeError,
     r"^argument for EseDatabase\.__exit__\(\) given by name \('_exc_value'\) and position \(2\)$"),
]

# (id, call, exception class, message pattern); no database needed.
BAD_CONSTRUCTOR_CALLS = [
    ("missing", lambda: EseDatabase(), TypeError,
     r"^EseDatabase\(\) missing required argument 'path' \(pos 1\)$"),
    ("surplus", lambda: EseDatabase("a", "b"), TypeError,
     r"^EseDatabase\(\) takes at most 1 argument \(2 given\)$"),
    ("unknown", lambda: EseDatabase(file="a"), TypeError,
     r"^EseDatabase\(\) got an unexpected keyword argument 'file'$"),
    ("unknown-with-path", lambda: EseDatabase(path="a", mode="r"), TypeError,
     r"^EseDatabase\(\) got an unexpected keyword argument 'mode'$"),
    ("duplicated", lambda: EseDatabase("a", path="a"), TypeError,
     r"^argument for EseDatabase\(\) given by name \('path'\) and position \(1\)$"),
    ("surrogate-keyword", lambda: EseDatabase(path="a", **{"\udcff": 1}), TypeError,
     r"^EseDatabase\(\) got an unexpected keyword argument '\udcff'$"),
    ("not-a-path", lambda: EseDatabase(["a"]), TypeError,
     r"^argument 'path': expected str, bytes or os.PathLike object, not list$"),
    # A surrogate escape stands for a byte of a name that is not UTF-8; another one for nothing.
    ("escaped-byte", lambda: EseDatabase("a\udcff"), FileNotFoundError, r"^Database file not found: a\udcff$"),
    ("lone-surrogate", lambda: EseDatabase("a\ud800"), UnicodeEncodeError, r"surrogates not allowed"),
    ("pathlib-missing", lambda: EseDatabase(pathlib.PurePosixPath("a")), FileNotFoundError,
     r"^Database file not found: a$"),
]


@pytest.fixture
def db(make_db):
    return EseDatabase(make_db("sample"))


@pytest.mark.parametrize("call, exception, pattern", [case[1:] for case in BAD_METHOD_CALLS],
                         ids=[case[0] for case in BAD_METHOD_CALLS])
def test_bad_method_call(db, call, exception, pattern):
    with pytest.raises(exception, match=pattern) as raised:
        call(db)
    assert type(raised.value) is exception


@pytest.mark.parametrize("call, exception, pattern", [case[1:] for case in BAD_CONSTRUCTOR_CALLS],
                         ids=[case[0] for case in BAD_CONSTRUCTOR_CALLS])
def test_bad_constructor_call(call, exception, pattern):
    with pytest.raises(exception, match=pattern) as raised:
        call()
    assert type(raised.value) is exception


def test_arguments_by_keyword_and_position_agree(db):
    assert db.get_table_schema("Users") == db.get_table_schema(table_name="Users")
    assert db.read_table("MSysObjects") == db.read_table(table_name="MSysObjects")
    assert db.__exit__(1, 2, 3) is db.__exit__(_traceback=3, _exc_type=1, _exc_value=2) is False


def test_str_subclass_is_accepted(db):
    class Name(str):
        pass

    assert db.get_table_schema(Name("Users")) == db.get_table_schema("Users")
    assert db.read_table(Name("MSysObjects")) == db.read_table("MSysObjects")
