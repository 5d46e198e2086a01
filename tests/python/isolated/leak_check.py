"""Repeats every entry point of EseDatabase, successful and failing, and exits
non-zero when memory, references, mappings or descriptors grow with the number
of repetitions. Run in its own process by test_leaks.py:

    leak_check.py <database> <damaged file> <rounds>
"""

import gc
import os
import sys
import tracemalloc

from pellumo import EseDatabase

DATABASE, DAMAGED, ROUNDS = sys.argv[1], sys.argv[2], int(sys.argv[3])
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


def exercise():
    db = EseDatabase(DATABASE)
    repr(db), db.path, db.page_size, db.total_pages
    with db as same:
        assert same is db
    for table in db.get_tables():
        db.get_table_schema(table)
        db.get_table_schema(table_name=table)
    for call in failing_calls(db):
        try:
            call()
        except (TypeError, ValueError, OSError):
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

    for _ in range(20):  # warm caches, free lists and interned strings
        exercise()
        use_probe()
    tracemalloc.start()
    before = snapshot(probe_db, probe_name)
    for _ in range(ROUNDS):
        exercise()
        use_probe()
    after = snapshot(probe_db, probe_name)
    # A few KiB of Python-level growth is noise (tracemalloc's own start-up,
    # caches); one leaked str or dict per round is far above it.
    allowed = {"traced bytes": 4096 + ROUNDS, "total refcount": 10}
    failures = [
        f"{what}: {before[what]} -> {after[what]}"
        for what in before
        if after[what] - before[what] > allowed.get(what, 0)
    ]
    if failures:
        print(f"growth after {ROUNDS} rounds:", *failures, sep="\n  ")
        return 1
    print("no growth after", ROUNDS, "rounds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
