"""Damage is reported wherever records are read: each damaged fixture through
every reading method of the module gives the same records as before, one
DamageWarning naming the file, the table and what was lost, and the same
counts; healthy tables warn nothing; the warning made an error is an
exception. Every page size and format the reader distinguishes."""

import io
import os
import threading
import warnings

import pytest

import pellumo
from pellumo import DamageWarning, EseDatabase

FORMATS = [
    pytest.param({}, id="4k"),
    pytest.param({"page_size": 8192, "format_revision": 0x0C}, id="8k-ecc"),
    pytest.param({"page_size": 32768}, id="32k"),
    pytest.param({"page_size": 32768, "format_revision": 0x11}, id="32k-large-tags"),
]


def counts(refused=0, reasons=None, beyond=0, skipped=0, undecodable=0, unresolved=0):
    return {"pages_refused": refused, "reasons": reasons or {}, "pages_beyond_end": beyond,
            "entries_skipped": skipped, "records_undecodable": undecodable, "values_unresolved": unresolved}


ALL = list(range(1, 13))
# scenario, table, the Ids read, the damage, what the text says of it
# ("{pages}": the file's page count).
DAMAGED = [
    pytest.param("truncated-tree", "Beta", list(range(1, 7)),
                 counts(3, {"out_of_range": 3}, beyond=3),
                 "3 pages beyond the end of the file ({pages} pages): the file is truncated", id="truncated-tree"),
    pytest.param("truncated-root", "Beta", [], counts(1, {"out_of_range": 1}, beyond=1),
                 "1 page beyond the end of the file ({pages} pages): the file is truncated", id="truncated-root"),
    pytest.param("bad-checksum", "Alpha", [1, 2, 5, 6, 7, 8, 9, 10, 11, 12], counts(1, {"checksum": 1}),
                 "1 page failing its checksum (torn or overwritten)", id="torn-leaf"),
    pytest.param("torn-long-value", "Alpha", ALL, counts(unresolved=1),
                 "1 long value unresolved (read as null)", id="unresolved-long-value"),
]


def ids_of(records):
    return [r["Id"] for r in records]


# Each reading method: (records read, or None where the method gives no
# records) from a database and a table, in a tmp folder.
def via_read_table(db, table, tmp):
    return ids_of(db.read_table(table))


def via_iter_table(db, table, tmp):
    return ids_of(db.iter_table(table))


def via_iter_engine(db, table, tmp):
    return ids_of(db.iter_table(table, values="engine"))


def via_export_table(db, table, tmp):
    db.export_table(table, str(tmp / "t.jsonl"))
    return ids_of(read_jsonl(tmp / "t.jsonl"))


def via_export_all(db, table, tmp):
    db.export_all(str(tmp / "all"))
    return ids_of(read_jsonl(tmp / "all" / f"{table}.jsonl"))


def via_write_table_jsonl(db, table, tmp):
    out = io.BytesIO()
    db.write_table_jsonl(table, out)
    return ids_of(read_jsonl(out))


def via_arrow(db, table, tmp):
    pa = pytest.importorskip("pyarrow")
    source = db.arrow(table)
    rows = pa.table(source).column("Id").to_pylist()
    via_arrow.source = source
    return rows


def via_arrow_polars(db, table, tmp):
    pl = pytest.importorskip("polars")
    return pl.DataFrame(db.arrow(table))["Id"].to_list()


def read_jsonl(where):
    import json

    data = where.getvalue() if isinstance(where, io.BytesIO) else where.read_bytes()
    return [json.loads(line) for line in data.splitlines()]


READERS = [via_read_table, via_iter_table, via_iter_engine, via_export_table, via_export_all,
           via_write_table_jsonl, via_arrow, via_arrow_polars]


def read_with_warnings(reader, db, table, tmp):
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        ids = reader(db, table, tmp)
    return ids, [w for w in caught if issubclass(w.category, DamageWarning)], caught


@pytest.mark.parametrize("options", FORMATS)
@pytest.mark.parametrize("scenario, table, ids, damage, text", DAMAGED)
@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__[4:])
def test_every_reading_path_warns_once_with_the_counts(make_db, tmp_path, options, scenario, table, ids, damage,
                                                        text, reader):
    path = make_db(scenario, **options)
    db = EseDatabase(path)
    got, damage_warnings, _ = read_with_warnings(reader, db, table, tmp_path)
    assert got == ids  # the values returned do not change: what the file still holds
    assert len(damage_warnings) == 1, [str(w.message) for w in damage_warnings]
    warning = damage_warnings[0].message
    assert isinstance(warning, RuntimeWarning)
    assert str(warning) == (f"{path}: table {table}: {text.format(pages=db.total_pages)}; "
                            f"run `pellumo check {path}` for details")
    assert (warning.path, warning.table, warning.damage) == (path, table, damage)
    # The warning points at the caller's line, not into the module (for a
    # stream: wherever the consumer reached its end).
    if reader not in (via_arrow, via_arrow_polars):
        assert damage_warnings[0].filename == __file__
    if reader is via_arrow:
        assert via_arrow.source.damage == damage
        assert str(via_arrow.source.damage_warning) == str(warning)


def test_columns_not_read_meet_no_damage(make_db):
    # A projection without the long-value column never fetches the value.
    db = EseDatabase(make_db("torn-long-value"))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        assert ids_of(db.iter_table("Alpha", columns=["Id"], values="engine")) == ALL
    with pytest.warns(DamageWarning, match="1 long value unresolved"):
        blobs = [r["Blob"] for r in db.iter_table("Alpha", columns=["Blob"])]
    assert sum(blob is not None for blob in blobs) == 3  # of four: one unresolved


@pytest.mark.parametrize("options", FORMATS)
@pytest.mark.parametrize("reader", READERS, ids=lambda r: r.__name__[4:])
def test_healthy_tables_warn_nothing(make_db, tmp_path, options, reader):
    db = EseDatabase(make_db("checksummed", **options))
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        assert reader(db, "Alpha", tmp_path) == ALL
        if reader is via_arrow:
            assert via_arrow.source.damage == counts()
            assert via_arrow.source.damage_warning is None


@pytest.mark.parametrize("reader", [via_read_table, via_iter_table, via_export_table, via_write_table_jsonl,
                                    via_export_all], ids=lambda r: r.__name__[4:])
def test_the_warning_made_an_error_raises_it(make_db, tmp_path, reader):
    path = make_db("truncated-tree")
    db = EseDatabase(path)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        with pytest.raises(DamageWarning) as raised:
            reader(db, "Beta", tmp_path)
    assert raised.value.table == "Beta" and raised.value.damage["pages_beyond_end"] == 3


def test_the_warning_made_an_error_fails_an_arrow_stream_at_its_end(make_db):
    pa = pytest.importorskip("pyarrow")
    path = make_db("truncated-tree")
    source = EseDatabase(path).arrow("Beta", batch_rows=2)
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        reader = pa.RecordBatchReader.from_stream(source)
        # The batches before the end come; the end is the failure.
        assert [reader.read_next_batch().num_rows for _ in range(3)] == [2, 2, 2]
        with pytest.raises(OSError, match=r"DamageWarning: .*table Beta: 3 pages beyond the end"):
            reader.read_next_batch()
        with pytest.raises(OSError, match="DamageWarning"):
            pa.table(source)  # all or nothing
    assert source.damage["pages_beyond_end"] == 3


def test_arrow_warn_false_leaves_the_report_to_the_caller(make_db):
    pa = pytest.importorskip("pyarrow")
    source = EseDatabase(make_db("truncated-root")).arrow("Beta", warn=False)
    assert source.damage == counts()  # no stream read yet
    with warnings.catch_warnings():
        warnings.simplefilter("error", DamageWarning)
        assert pa.table(source).num_rows == 0
    assert source.damage == counts(1, {"out_of_range": 1}, beyond=1)
    warning = source.damage_warning
    assert isinstance(warning, DamageWarning) and warning.damage == source.damage


def test_a_stream_read_on_a_thread_python_does_not_know_warns_at_the_next_use(make_db):
    # DuckDB reads streams on threads of its own: the warning waits for the
    # object's next use on a Python thread.
    duckdb = pytest.importorskip("duckdb")
    source = EseDatabase(make_db("truncated-tree")).arrow("Beta")  # noqa: F841 - read by name below
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        rows = duckdb.sql("SELECT count(*) FROM source").fetchall()
        damage = source.damage
    assert rows == [(6,)]
    assert damage["pages_beyond_end"] == 3
    assert [w.message.table for w in caught if issubclass(w.category, DamageWarning)] == ["Beta"]


def test_iterators_released_early_tell_what_they_met(make_db):
    db = EseDatabase(make_db("truncated-root"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        iterator = db.iter_table("Alpha")
        next(iterator)
        del iterator  # healthy: nothing
        iterator = db.recover("Beta")
        del iterator  # never advanced, but its root was refused when it was made
    assert [w.message.table for w in caught if issubclass(w.category, DamageWarning)] == ["Beta"]


def test_recover_reports_the_walk_of_the_live_tree(make_db):
    path = make_db("truncated-root")
    db = EseDatabase(path)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert list(db.recover("Beta")) == []
        assert list(db.recover("Alpha")) == []
    assert [(w.message.table, w.message.damage["pages_beyond_end"]) for w in caught] == [("Beta", 1)]


def test_reads_on_threads_warn_once_each(make_db):
    pa = pytest.importorskip("pyarrow")
    db = EseDatabase(make_db("truncated-tree"))
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        threads = [threading.Thread(target=lambda: pa.table(db.arrow("Beta"))) for _ in range(4)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
    assert len([w for w in caught if issubclass(w.category, DamageWarning)]) == 4


def test_damage_warning_is_a_module_member(make_db):
    assert pellumo.DamageWarning is DamageWarning
    assert issubclass(DamageWarning, RuntimeWarning) and DamageWarning.__module__ == "pellumo"
    assert issubclass(DamageWarning, Warning) and DamageWarning.__doc__.startswith("Issued once per table read")


def test_a_file_named_by_a_path_that_is_not_utf8(make_db, tmp_path):
    raw = os.fsencode(str(tmp_path)) + b"/cut\xff.edb"
    os.rename(make_db("truncated-root"), raw)
    db = EseDatabase(raw)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        db.read_table("Beta")
    (warning,) = [w.message for w in caught]
    assert os.fsencode(warning.path) == raw  # opens the same file again
    assert "cut\ufffd.edb: table Beta: " in str(warning)
