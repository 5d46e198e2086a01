"""Repeats every entry point of EseDatabase, successful and failing, and exits
non-zero when memory, references, mappings or descriptors grow with the number
of repetitions. Run in its own process by test_leaks.py:

    leak_check.py <database> <damaged file> <rounds> [<database with records> [<database with remains>]]

The database with records, when given, is read table by table (tables whose
leaf chain is broken included) and carved in every scope; the database with
remains has its deleted records recovered, wholly and in part.
"""

import gc
import os
import sys
import tracemalloc
import warnings

from pellumo import DamageWarning, EseDatabase

try:
    import pyarrow
except ImportError:  # the Arrow capsules are still made and dropped
    pyarrow = None

DATABASE, DAMAGED, ROUNDS = sys.argv[1], sys.argv[2], int(sys.argv[3])
# Reads of damaged tables raise their warning as an error: what a read
# builds before it must be dropped whole. (Shown instead, the warnings
# machinery churns the interpreter's own tables, which reads as noise.)
warnings.simplefilter("error", DamageWarning)
RECORDS = sys.argv[4] if len(sys.argv) > 4 else None
REMAINS = sys.argv[5] if len(sys.argv) > 5 else None
SCOPES = ["slack", "all", "tag_data", "lv_all", "lv_slack"]
MISSING = DATABASE + ".missing"


def failing_calls(db):
    yield lambda: EseDatabase(MISSING)
    yield lambda: EseDatabase(DAMAGED)
    yield lambda: EseDatabase(b"bytes")
    yield lambda: EseDatabase()
    yield lambda: EseDatabase("a", path="a")
    yield lambda: db.get_table_schema("No such table")
    yield lambda: db.get_table_schema(table_name=1)
    yield lambda: db.get_table_schema("x", unknown=1)
    yield lambda: db.get_tables(1)
    yield lambda: db.__exit__(None)
    yield lambda: db.read_table("No such table")
    yield lambda: db.read_table(1)
    yield lambda: db.read_table("\udcff")
    yield lambda: db.carve_utf16le_strings_scoped("Slack")
    yield lambda: db.carve_utf16le_strings_scoped("nope", "x", 3, None)
    yield lambda: db.carve_utf16le_strings(min_chars=-1)
    yield lambda: db.carve_utf16le_strings(needle="\udcff")
    yield lambda: db.carve_utf16le_strings(max_hits=2**64)
    yield lambda: db.arrow("No such table")
    yield lambda: db.arrow("Users", columns=["UserId", "No such column"])
    yield lambda: db.arrow("Users", columns=["UserId", "UserId"])
    yield lambda: db.arrow("Users", columns=[1])
    yield lambda: db.arrow("Users", batch_rows=0)
    yield lambda: db.arrow("Users", values="engine", raw_columns=["No such column"])
    yield lambda: db.arrow("Users", values="engine", columns=["UserId"], raw_columns=["Name"])
    yield lambda: db.arrow("Users", values="engine", raw_columns="Name")
    yield lambda: db.recover("No such table")
    yield lambda: db.recover("MSysObjects", sources=["nope"])
    yield lambda: db.recover("MSysObjects", sources=[1])
    yield lambda: db.recover("MSysObjects", ["hole"])
    yield lambda: db.arrow("Users", values="cooked")
    yield lambda: db.iter_table("Users", columns=["UserId", "No such column"], values="engine")
    yield lambda: db.iter_table("Users", columns=["UserId", "UserId"])
    yield lambda: db.iter_table("Users", values=1)


def read_everything(db):
    for table in db.get_tables():
        try:
            db.read_table(table)
        except DamageWarning:  # a broken leaf chain
            pass
        # Engine values (datetimes, UUIDs, lists) and a projection.
        # (Names that are not valid UTF-8 cannot be asked for by name.)
        columns = [c["name"] for c in db.get_table_schema(table) if "\ufffd" not in c["name"]][::-1]
        try:
            for _ in db.iter_table(table, values="engine"):
                pass
        except DamageWarning:
            pass
        try:
            for _ in db.iter_table(table, columns=columns, values="engine"):
                pass
        except DamageWarning:
            pass
        if pyarrow is not None:
            try:
                pyarrow.table(db.arrow(table, values="engine", batch_rows=3))
                pyarrow.table(db.arrow(table, values="engine", raw_columns=columns[:2]))
            except OSError:  # the warning made an error fails the stream
                pass
        # Arrow: capsules dropped unread, and (with pyarrow) streams read to
        # the end or to their error. A stream left behind would keep the
        # file mapped, which the mapping count below sees.
        source = db.arrow(table, batch_rows=3)
        source.__arrow_c_schema__()
        source.__arrow_c_stream__()
        if pyarrow is not None:
            try:
                pyarrow.table(source)
            except OSError:
                pass
    for scope in SCOPES:
        db.carve_utf16le_strings_scoped(scope, None, 2, 10_000)
        db.carve_utf16le_strings_scoped(scope, needle="e", max_hits=3)
    db.carve_utf16le_strings()
    for table in db.get_tables():
        try:
            list(db.recover(table))
            next(db.recover(table, sources=("hole", "stale_tag")), None)  # dropped part-way
        except DamageWarning:
            pass


def exercise():
    db = EseDatabase(DATABASE)
    repr(db), db.path, db.page_size, db.total_pages
    with db as same:
        assert same is db
    for table in db.get_tables():
        db.get_table_schema(table)
        db.get_table_schema(table_name=table)
    read_everything(db)
    if RECORDS is not None:
        read_everything(EseDatabase(RECORDS))
    if REMAINS is not None:
        read_everything(EseDatabase(REMAINS))
    for call in failing_calls(db):
        try:
            call()
        except (TypeError, ValueError, OSError, OverflowError, UnicodeEncodeError):
            pass
        else:
            raise AssertionError("a failing call succeeded")


def mappings_of(path):
    with open("/proc/self/maps") as maps:
        return sum(1 for line in maps if line.rstrip().endswith(path))


def snapshot(probe_db, probe_name):
    gc.collect()
    return {
        "traced bytes": tracemalloc.get_traced_memory()[0],
        "gc objects": len(gc.get_objects()),
        "refs to probe instance": sys.getrefcount(probe_db),
        "refs to probe name": sys.getrefcount(probe_name),
        "refs to key 'name'": sys.getrefcount(sys.intern("name")),
        "refs to key 'nullable'": sys.getrefcount(sys.intern("nullable")),
        "refs to key 'page'": sys.getrefcount(sys.intern("page")),
        "refs to key 'region_kind'": sys.getrefcount(sys.intern("region_kind")),
        "refs to key 'text'": sys.getrefcount(sys.intern("text")),
        "open descriptors": len(os.listdir("/proc/self/fd")),
        "mappings of the database": mappings_of(os.path.realpath(DATABASE)) - 1,  # the probe's own
        "total refcount": getattr(sys, "gettotalrefcount", lambda: 0)(),
    }


def main():
    probe_db = EseDatabase(DATABASE)
    probe_name = "".join(["Us", "ers"])  # a fresh str, not the interned literal

    def use_probe():
        try:
            probe_db.get_table_schema(probe_name)
        except ValueError:
            pass
        probe_db.__exit__(probe_db, probe_name, None)
        probe_db.__enter__()

    for _ in range(100):  # warm caches, free lists and interned strings
        exercise()
        use_probe()
    tracemalloc.start()
    # Two halves: a leak grows in each, while what the interpreter fills
    # lazily up to a bound (free lists, caches) settles in one or the other.
    half = ROUNDS // 2
    marks = [snapshot(probe_db, probe_name)]
    for _ in range(2):
        for _ in range(half):
            exercise()
            use_probe()
        marks.append(snapshot(probe_db, probe_name))
    before, middle, after = marks
    # A few KiB of Python-level growth is noise (tracemalloc's own start-up,
    # caches); one leaked str or dict per round is far above it.
    allowed = {"traced bytes": 4096 + half, "total refcount": 10}
    failures = [
        f"{what}: {before[what]} -> {middle[what]} -> {after[what]}"
        for what in before
        if min(middle[what] - before[what], after[what] - middle[what]) > allowed.get(what, 0)
    ]
    if failures:
        print(f"growth after {ROUNDS} rounds:", *failures, sep="\n  ")
        return 1
    print("no growth after", ROUNDS, "rounds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
