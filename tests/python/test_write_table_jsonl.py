"""write_table_jsonl: the export's bytes streamed to a descriptor or to any
object with write(), a record limit, and the errors of each kind of target;
and the header fields the module reads (format numbers, database state)."""

import io
import os

import pytest

from pellumo import EseDatabase


def exported(path, table, tmp_path):
    out = tmp_path / "reference.jsonl"
    EseDatabase(path).export_table(table, str(out))
    return out.read_bytes()


def first_lines(data, n):
    return b"".join(data.splitlines(keepends=True)[:n])


class Chunks:
    """A writer that keeps what it is given, as bytes objects."""

    def __init__(self):
        self.chunks = []

    def write(self, data):
        assert type(data) is bytes
        self.chunks.append(data)


def to_descriptor(db, table, tmp_path, **kw):
    path = tmp_path / "out.jsonl"
    fd = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_TRUNC)
    try:
        count = db.write_table_jsonl(table, fd, **kw)
        os.fstat(fd)  # still open
    finally:
        os.close(fd)
    return count, path.read_bytes()


def to_bytesio(db, table, tmp_path, **kw):
    out = io.BytesIO()
    return db.write_table_jsonl(table, out, **kw), out.getvalue()


def to_writer(db, table, tmp_path, **kw):
    out = Chunks()
    count = db.write_table_jsonl(table, file=out, **kw)
    return count, b"".join(out.chunks)


TARGETS = [to_descriptor, to_bytesio, to_writer]


@pytest.mark.parametrize("target", TARGETS)
@pytest.mark.parametrize("scenario", ["records", "export-json"])
def test_writes_the_export_bytes(make_db, tmp_path, scenario, target):
    path = make_db(scenario)
    db = EseDatabase(path)
    for table in db.get_tables():
        reference = exported(path, table, tmp_path)
        records = reference.count(b"\n")
        for limit in (None, 0, 1, 3, records, records + 5):
            count, data = target(db, table, tmp_path, limit=limit)
            expected = reference if limit is None else first_lines(reference, limit)
            assert (count, data) == (expected.count(b"\n"), expected), (table, limit)


def test_large_tables_arrive_in_blocks(tmp_path, make_db):
    path = make_db("records")
    db = EseDatabase(path)
    table = max(db.get_tables(), key=lambda t: len(exported(path, t, tmp_path)))
    reference = exported(path, table, tmp_path)
    out = Chunks()
    db.write_table_jsonl(table, out)
    assert b"".join(out.chunks) == reference
    # Whole lines in every block, none empty.
    assert all(chunk.endswith(b"\n") for chunk in out.chunks)


def test_broken_leaf_chain_writes_every_record(make_db, tmp_path):
    path = make_db("python-broken-chain")
    reference = exported(path, "Chained", tmp_path)
    assert reference.count(b"\n") == 7
    db = EseDatabase(path)
    out = io.BytesIO()
    assert db.write_table_jsonl("Chained", out) == 7
    assert out.getvalue() == reference


def test_a_closed_pipe_is_a_broken_pipe(make_db):
    db = EseDatabase(make_db("records"))
    read_end, write_end = os.pipe()
    os.close(read_end)
    try:
        with pytest.raises(BrokenPipeError) as raised:
            db.write_table_jsonl("AllTypes", write_end)
    finally:
        os.close(write_end)
    assert raised.value.errno == 32
    assert str(raised.value) == "[Errno 32] Write error: Broken pipe (os error 32)"


def test_a_call_reentering_the_database_is_refused_in_plain_words(make_db):
    # write() runs while write_table_jsonl holds its claim on the instance;
    # __exit__'s exclusive claim then meets it. The claim is given back
    # once the call ends.
    db = EseDatabase(make_db("records"))

    class Reentering:
        def write(self, data):
            db.__exit__(None, None, None)

    with pytest.raises(RuntimeError) as raised:
        db.write_table_jsonl("AllTypes", Reentering())
    assert str(raised.value) == "EseDatabase is in use by another call"
    assert db.__exit__(None, None, None) is False
    assert db.write_table_jsonl("AllTypes", Chunks(), limit=1) == 1


class Failing:
    def __init__(self, error):
        self.error = error

    def write(self, data):
        raise self.error


def test_bad_calls(make_db, tmp_path):
    db = EseDatabase(make_db("records"))
    cases = [
        (("Nope", io.BytesIO()), {}, ValueError, "Table not found: Nope"),
        (("AllTypes", object()), {}, TypeError,
         "argument 'file': expected a file descriptor or an object with write(), got object"),
        (("AllTypes", -1), {}, ValueError, "argument 'file': not a file descriptor: -1"),
        (("AllTypes", io.BytesIO()), {"limit": -1}, OverflowError, None),
        (("AllTypes", io.BytesIO()), {"limit": "3"}, TypeError, None),
        (("AllTypes",), {}, TypeError, None),
        (("AllTypes", Failing(ValueError("full"))), {}, ValueError, "full"),
        (("AllTypes", Failing(KeyboardInterrupt())), {}, KeyboardInterrupt, None),
    ]
    for args, kwargs, kind, message in cases:
        with pytest.raises(kind) as raised:
            db.write_table_jsonl(*args, **kwargs)
        if message is not None:
            assert str(raised.value) == message, args
    # A closed descriptor fails as the system says.
    fd = os.open(tmp_path / "x", os.O_WRONLY | os.O_CREAT)
    os.close(fd)
    with pytest.raises(OSError) as raised:
        db.write_table_jsonl("AllTypes", fd)
    assert raised.value.errno == 9


@pytest.mark.parametrize("page_size, version, revision", [(4096, 0x620, 0x14), (8192, 0x620, 0x11),
                                                          (32768, 0x620, 0x11)])
def test_header_attributes(make_db, page_size, version, revision):
    db = EseDatabase(make_db("sample", page_size=page_size, format_version=version, format_revision=revision))
    assert (db.page_size, db.format_version, db.format_revision, db.state) == (page_size, version, revision, 3)


def test_state_is_read_as_stored(make_db, tmp_path):
    original = open(make_db("sample"), "rb").read()
    for state in (1, 2, 5, 0xDEADBEEF):
        path = tmp_path / f"state-{state}.edb"
        path.write_bytes(original[:52] + state.to_bytes(4, "little") + original[56:])
        assert EseDatabase(str(path)).state == state
