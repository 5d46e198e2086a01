"""pellumo_fleet on real engines: a Dask dataframe on the local scheduler and on
a distributed.LocalCluster of two worker processes, and the Spark data source
on a local[2] session. Row counts per file, and values on sample tables, must
equal read_table. The engine tests are marked `integration` (slow to start;
left out of the sanitizer pass)."""

import decimal
import os
import sys

import pytest

pa = pytest.importorskip("pyarrow")

import pellumo  # noqa: E402
from conftest import INSTALLED, MODULE_DIR, ROOT  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

from fleet_corpus import reference  # noqa: E402

integration = pytest.mark.integration


def _child_environment():
    """Worker processes of both engines import pellumo as this process does."""
    if not INSTALLED:
        paths = [str(MODULE_DIR), str(ROOT / "python"), os.environ.get("PYTHONPATH", "")]
        os.environ["PYTHONPATH"] = os.pathsep.join(p for p in paths if p)
    os.environ["PYSPARK_PYTHON"] = sys.executable
    os.environ["PYSPARK_DRIVER_PYTHON"] = sys.executable


def _plain(value):
    """A value from pandas or Spark as read_table gives it."""
    if value is None or value is getattr(__import__("pandas"), "NA", object()):
        return None
    if isinstance(value, decimal.Decimal):
        return int(value)
    if isinstance(value, bytearray):
        return bytes(value)
    return value


TABLES = ["MSysObjects", "SruDbIdMapTable", "Users"]


# --- Dask ------------------------------------------------------------------------------


@pytest.fixture(scope="session")
def dask_client():
    pytest.importorskip("dask.dataframe")
    distributed = pytest.importorskip("distributed")
    _child_environment()
    cluster = distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True,
                                       dashboard_address=None, silence_logs=40)
    client = distributed.Client(cluster, set_as_default=False)
    yield client
    client.close()
    cluster.close()


def _dask_counts(frame):
    return {k: int(v) for k, v in frame.groupby("_source").size().items()}


@integration
@pytest.mark.parametrize("table", TABLES)
def test_dask_counts_per_file_on_a_cluster_and_locally(corpus, dask_client, table):
    import pellumo_fleet.dask

    found, _ = reference(corpus.files, table)
    if not found:
        pytest.skip(f"no file of the corpus has {table}")
    expected = {p: len(rows) for p, rows in found.items() if rows}
    frame = pellumo_fleet.dask.read_table(corpus.files, table)
    assert frame.npartitions == len(corpus.files)
    assert _dask_counts(dask_client.compute(frame).result()) == expected
    assert _dask_counts(frame.compute(scheduler="sync")) == expected
    grouped = pellumo_fleet.dask.read_table(corpus.files, table, files_per_partition=7)
    assert grouped.npartitions == -(-len(corpus.files) // 7)
    assert _dask_counts(dask_client.compute(grouped).result()) == expected


@integration
def test_dask_values_equal_read_table(corpus, dask_client):
    import pellumo_fleet.dask

    files = [p for p in corpus.files if p.endswith(("sample.edb", "SRUDB.dat"))]
    frame = dask_client.compute(pellumo_fleet.dask.read_table(files, "Users")).result()
    names = [c for c in frame.columns if c != "_source"]
    got = [{k: _plain(v) for k, v in row.items()} for row in frame.to_dict("records")]
    expected = [{**{n: r[n] for n in names}, "_source": p}
                for p, rows in reference(files, "Users")[0].items() for r in rows]
    assert sorted(got, key=repr) == sorted(expected, key=repr)


@integration
def test_dask_reads_nothing_before_compute(corpus, tmp_path):
    import pellumo_fleet.dask

    first = next(p for p in corpus.files if p.endswith("sample.edb"))
    later = str(tmp_path / "appears-later.edb")
    frame = pellumo_fleet.dask.read_table([first, later], "Users", on_missing="error")  # no error yet
    assert list(frame.columns) == [c["name"] for c in pellumo.EseDatabase(first).get_table_schema("Users")] + \
        ["_source"]
    with pytest.raises(FileNotFoundError, match="appears-later.edb"):
        frame.compute(scheduler="sync")
    skipping = pellumo_fleet.dask.read_table([first, later], "Users")
    assert len(skipping.compute(scheduler="sync")) == len(pellumo.EseDatabase(first).read_table("Users"))


def _reported(caught):
    """(kind, path) of the skipped-file and damage warnings caught, in order."""
    import pellumo_fleet

    kinds = {pellumo_fleet.SkippedFileWarning: "skipped", pellumo.DamageWarning: "damage"}
    return [(kinds[w.category], w.message.path) for w in caught if w.category in kinds]


def test_dask_partitions_warn_of_skipped_files_and_damage(make_db, tmp_path):
    pytest.importorskip("dask.dataframe")
    import warnings

    import pellumo_fleet.dask

    healthy, cut = make_db("checksummed"), make_db("truncated-tree")
    absent = str(tmp_path / "absent.edb")
    frame = pellumo_fleet.dask.read_table([absent, healthy, cut], "Beta", values="engine")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        got = frame.compute(scheduler="sync")
    assert got.groupby("_source").size().to_dict() == {
        healthy: len(pellumo.EseDatabase(healthy).read_table("Beta")), cut: 6}
    assert sorted(_reported(caught)) == [("damage", cut), ("skipped", absent)]  # partitions in any order
    (skip,) = [w.message for w in caught if w.category is pellumo_fleet.SkippedFileWarning]
    assert skip.reason == f"Database file not found: {absent}"
    assert str(skip) == f"{absent}: skipped: {skip.reason}"
    with pytest.raises(ValueError, match="values must be 'raw' or 'engine'"):
        pellumo_fleet.dask.read_table([healthy], "Beta", values="stored")


@integration
def test_dask_warnings_reach_the_client_from_a_cluster(make_db, tmp_path, dask_client):
    import time
    import warnings

    import pellumo_fleet.dask

    cut = make_db("truncated-tree")
    absent = str(tmp_path / "absent.edb")
    frame = pellumo_fleet.dask.read_table([cut, absent], "Beta")
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        assert len(dask_client.compute(frame).result()) == 6
        deadline = time.monotonic() + 10  # the events follow the result
        while len(_reported(caught)) < 2 and time.monotonic() < deadline:
            time.sleep(0.05)
    assert sorted(_reported(caught)) == [("damage", cut), ("skipped", absent)]
    logs = "\n".join(text for worker in dask_client.get_worker_logs().values() for _, text in worker)
    assert f"skipped {absent}" in logs and "table Beta: 3 pages beyond the end" in logs


# --- Spark -----------------------------------------------------------------------------


@pytest.fixture(scope="session")
def spark():
    pytest.importorskip("pyspark")
    from pyspark.sql import SparkSession

    from pellumo_fleet.spark import EseDataSource

    _child_environment()
    session = (SparkSession.builder.master("local[2]").appName("pellumo-tests")
               .config("spark.ui.enabled", "false")
               .config("spark.ui.showConsoleProgress", "false")
               .config("spark.sql.shuffle.partitions", "2")
               .config("spark.driver.extraJavaOptions", "-XX:+UseSerialGC -Xss4m")
               .getOrCreate())
    session.sparkContext.setLogLevel("ERROR")
    session.dataSource.register(EseDataSource)
    yield session
    session.stop()


@integration
@pytest.mark.parametrize("table", TABLES)
def test_spark_counts_per_file(corpus, spark, table):
    found, _ = reference(corpus.files, table)
    if not found:
        pytest.skip(f"no file of the corpus has {table}")
    pattern = os.path.join(os.path.dirname(os.path.dirname(corpus.files[0])), "**", "*.*")
    frame = spark.read.format("ese").option("table", table).load(pattern)
    assert frame.rdd.getNumPartitions() == len(corpus.files)
    got = {row["_source"]: row["count"] for row in frame.groupBy("_source").count().collect()}
    assert got == {p: len(rows) for p, rows in found.items() if rows}


@integration
def test_spark_values_types_and_options(corpus, spark):
    files = [p for p in corpus.files if p.endswith(("records.edb", "SRUDB.dat", "sample.edb"))]
    for table in ("Users", "SruDbIdMapTable"):
        found, _ = reference(files, table)
        if not found:
            continue  # SRUDB.dat comes from the samples, which may be absent
        frame = spark.read.format("ese").option("table", table).load(files)
        names = [c for c in frame.columns if c != "_source"]
        got = [{k: _plain(v) for k, v in row.asDict().items()} for row in frame.collect()]
        expected = [{**{n: r[n] for n in names}, "_source": p} for p, rows in found.items() for r in rows]
        assert sorted(got, key=repr) == sorted(expected, key=repr)
    # Every column type, through Spark's types: the values of the Arrow stream.
    found = {p: pa.table(pellumo.EseDatabase(p).arrow("AllTypes")).to_pylist() for p in files
             if p.endswith("records.edb")}
    frame = spark.read.format("ese").option("table", "AllTypes").load(list(found))
    got = [{k: _plain(v) for k, v in row.asDict().items()} for row in frame.collect()]
    assert sorted(got, key=repr) == sorted(({**r, "_source": p} for p, rows in found.items() for r in rows), key=repr)
    arrow_types = {f.name: f.type for f in pa.schema(pellumo.EseDatabase(next(iter(found))).arrow("AllTypes"))}
    spark_types = {f.name: f.dataType.simpleString() for f in frame.schema.fields}
    widened = {pa.uint8(): "smallint", pa.uint16(): "int", pa.uint32(): "bigint", pa.uint64(): "decimal(20,0)"}
    for name, arrow_type in arrow_types.items():
        if arrow_type in widened:
            assert spark_types[name] == widened[arrow_type], name

    # A schema given by the reader: columns picked by name and cast; options.
    chosen = spark.read.format("ese").schema("Name string, UserId bigint, file string") \
        .option("table", "Users").option("source_column", "file").load(corpus.files)
    rows = sorted((r["file"], r["UserId"], r["Name"]) for r in chosen.collect())
    users, _ = reference(corpus.files, "Users")
    assert rows == sorted((p, r["UserId"], r["Name"]) for p, rs in users.items() for r in rs)
    projected = spark.read.format("ese").option("table", "Users").option("columns", "Email,UserId").load(files[:1]
                                                                                                       + corpus.files)
    assert projected.columns == ["Email", "UserId", "_source"]
    with pytest.raises(Exception, match='needs the option "table"'):
        spark.read.format("ese").load(files).collect()
    with pytest.raises(Exception, match="Table not found: Users"):
        spark.read.format("ese").option("table", "Users").option("on_missing", "error").load(files).collect()


@integration
def test_spark_counts_skipped_files_after_the_job(make_db, tmp_path, spark):
    from pellumo_fleet.spark import SkippedFiles

    healthy, cut = make_db("checksummed"), make_db("truncated-tree")
    absent = [str(tmp_path / "absent-1.edb"), str(tmp_path / "absent-2.edb")]
    skipped = SkippedFiles(spark)
    frame = (spark.read.format("ese").option("table", "Beta").option("values", "engine")
             .option("skipped_counter", skipped.option).load([healthy, *absent, cut]))
    assert frame.count() == len(pellumo.EseDatabase(healthy).read_table("Beta")) + 6
    assert skipped.count == 2


class _Records(__import__("logging").Handler):
    def __init__(self):
        super().__init__()
        self.records = []

    def emit(self, record):
        self.records.append(record)


def test_spark_reader_logs_skips_and_damage_and_counts_skips(make_db, tmp_path):
    # The reader run in this process, as an executor runs it: no JVM needed.
    pytest.importorskip("pyspark")
    import json

    from pyspark.accumulators import INT_ACCUMULATOR_PARAM, Accumulator
    from pyspark.logger import PySparkLogger

    from pellumo_fleet.spark import EseDataSource

    healthy, cut = make_db("checksummed"), make_db("truncated-tree")
    absent = str(tmp_path / "absent.edb")
    counter = Accumulator(987_654, 0, INT_ACCUMULATOR_PARAM)  # the driver's, which SkippedFiles makes
    options = {"table": "Beta", "paths": json.dumps([absent, healthy, cut]), "values": "engine",
               "skipped_counter": "987654"}
    source = EseDataSource(options)
    schema = source.schema()  # from the first file that has the table
    assert [f.name for f in schema.fields] == ["Id", "_source"]
    reader = source.reader(schema)
    logger = PySparkLogger.getLogger("pellumo_fleet.spark")
    handler = _Records()
    logger.addHandler(handler)
    try:
        rows = {p.value: sum(b.num_rows for b in reader.read(p)) for p in reader.partitions()}
    finally:
        logger.removeHandler(handler)
    assert rows == {absent: 0, healthy: len(pellumo.EseDatabase(healthy).read_table("Beta")), cut: 6}
    assert counter.value == 1
    logged = [(r.levelname, r.context["path"], r.getMessage()) for r in handler.records]
    assert logged[0] == ("WARNING", absent, f"skipped {absent}: Database file not found: {absent}")
    assert logged[1][:2] == ("WARNING", cut) and "table Beta: 3 pages beyond the end" in logged[1][2]
    assert handler.records[1].context["damage"]["pages_beyond_end"] == 3
    assert len(logged) == 2
    for bad, message in [({"values": "cooked"}, 'option "values"'), ({"skipped_counter": "x"}, "skipped_counter")]:
        with pytest.raises(ValueError, match=message):
            EseDataSource({**options, **bad}).schema()


def test_spark_type_mapping():
    pytest.importorskip("pyspark")
    from pellumo_fleet.spark import arrow_to_spark_type, spark_to_arrow_type

    cases = [
        (pa.bool_(), "boolean", pa.bool_()), (pa.uint8(), "smallint", pa.int16()),
        (pa.int16(), "smallint", pa.int16()), (pa.uint16(), "int", pa.int32()), (pa.int32(), "int", pa.int32()),
        (pa.uint32(), "bigint", pa.int64()), (pa.int64(), "bigint", pa.int64()),
        (pa.uint64(), "decimal(20,0)", pa.decimal128(20, 0)), (pa.float32(), "float", pa.float32()),
        (pa.float64(), "double", pa.float64()), (pa.string(), "string", pa.string()),
        (pa.binary(), "binary", pa.binary()), (pa.timestamp("us", tz="UTC"), "timestamp", pa.timestamp("us", "UTC")),
        (pa.list_(pa.uint32()), "array<bigint>", pa.list_(pa.int64())),
        # Artifact tables: days, UUIDs (the canonical extension type, sent as its 16 bytes), FILETIMEs.
        (pa.date32(), "date", pa.date32()), (pa.uuid(), "binary", pa.binary()),
        (pa.timestamp("ns", tz="UTC"), "timestamp", pa.timestamp("us", "UTC")),
    ]
    for arrow_type, spark_name, back in cases:
        spark_type = arrow_to_spark_type(arrow_type)
        assert spark_type.simpleString() == spark_name, arrow_type
        assert spark_to_arrow_type(spark_type) == back, arrow_type
        # Every value of the Arrow type survives the cast to what Spark is sent.
        if not pa.types.is_list(arrow_type) and not pa.types.is_timestamp(arrow_type) \
                and not isinstance(arrow_type, pa.BaseExtensionType):
            sample = pa.array([None], arrow_type)
            assert sample.cast(back).null_count == 1
    assert pa.array([2**64 - 1], pa.uint64()).cast(pa.decimal128(20, 0)).to_pylist() == [decimal.Decimal(2**64 - 1)]
    with pytest.raises(TypeError, match="no Spark type"):
        arrow_to_spark_type(pa.dictionary(pa.int8(), pa.string()))
