"""carve_utf16le_strings and carve_utf16le_strings_scoped: argument conversion
and its order, scope names, the hit dicts, and runs over the samples."""

import gzip
import shutil

import pytest

from conftest import SAMPLES_DIR, sample_paths
from pellumo import EseDatabase

KEYS = ["page", "offset", "slack_start", "slack_end", "region_kind", "page_flags", "page_type", "table", "text"]
SCOPES = ["slack", "all", "tag_data", "lv_all", "lv_slack"]
SCOPE_MESSAGE = "Invalid scope: {} (expected: slack, all, tag_data, lv_all, lv_slack)"
PAGE_TYPES = {"long_value", "space_tree", "index", "leaf", "branch"}
REGION_OF_SCOPE = {"slack": "slack", "all": "all", "tag_data": "tag_data", "lv_all": "all", "lv_slack": "slack"}


class Index:
    """Not an int, but usable as one."""

    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.fixture
def db(make_db):
    return EseDatabase(make_db("carve"))


# The interpreter's own message for a negative unsigned conversion, passed on
# without naming the argument.
NEGATIVE = "can't convert negative int to unsigned"

# (id, call, exception class, exact message or None when only the class matters)
BAD_CALLS = [
    ("scope-missing", lambda db: db.carve_utf16le_strings_scoped(), TypeError,
     "EseDatabase.carve_utf16le_strings_scoped() missing required argument 'scope' (pos 1)"),
    ("scope-surplus", lambda db: db.carve_utf16le_strings_scoped("all", None, 6, 10, 1), TypeError,
     "EseDatabase.carve_utf16le_strings_scoped() takes at most 4 arguments (5 given)"),
    ("plain-surplus", lambda db: db.carve_utf16le_strings(None, 6, 10, "all"), TypeError,
     "EseDatabase.carve_utf16le_strings() takes at most 3 arguments (4 given)"),
    ("plain-scope-keyword", lambda db: db.carve_utf16le_strings(scope="all"), TypeError,
     "EseDatabase.carve_utf16le_strings() got an unexpected keyword argument 'scope'"),
    ("duplicated", lambda db: db.carve_utf16le_strings_scoped("all", "x", needle="y"), TypeError,
     "argument for EseDatabase.carve_utf16le_strings_scoped() given by name ('needle') and position (2)"),
    ("scope-int", lambda db: db.carve_utf16le_strings_scoped(1), TypeError,
     "argument 'scope': 'int' object cannot be converted to 'str'"),
    ("scope-none", lambda db: db.carve_utf16le_strings_scoped(None), TypeError,
     "argument 'scope': 'NoneType' object cannot be converted to 'str'"),
    ("needle-bytes", lambda db: db.carve_utf16le_strings(b"x"), TypeError,
     "argument 'needle': 'bytes' object cannot be converted to 'str'"),
    ("min-none", lambda db: db.carve_utf16le_strings(min_chars=None), TypeError,
     "argument 'min_chars': 'NoneType' object cannot be interpreted as an integer"),
    ("min-float", lambda db: db.carve_utf16le_strings(min_chars=2.5), TypeError,
     "argument 'min_chars': 'float' object cannot be interpreted as an integer"),
    ("min-str", lambda db: db.carve_utf16le_strings_scoped("all", None, "6"), TypeError,
     "argument 'min_chars': 'str' object cannot be interpreted as an integer"),
    ("max-none", lambda db: db.carve_utf16le_strings_scoped("all", max_hits=None), TypeError,
     "argument 'max_hits': 'NoneType' object cannot be interpreted as an integer"),
    ("min-negative", lambda db: db.carve_utf16le_strings(min_chars=-1), OverflowError, NEGATIVE),
    ("max-negative", lambda db: db.carve_utf16le_strings_scoped("all", max_hits=-1), OverflowError,
     NEGATIVE),
    ("max-too-large", lambda db: db.carve_utf16le_strings(max_hits=2**64), OverflowError,
     "int too big to convert"),
    ("index-negative", lambda db: db.carve_utf16le_strings(min_chars=Index(-3)), OverflowError, NEGATIVE),
    ("scope-surrogate", lambda db: db.carve_utf16le_strings_scoped("\udcff"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\udcff' in position 0: surrogates not allowed"),
    ("needle-surrogate", lambda db: db.carve_utf16le_strings(needle="a\udcff"), UnicodeEncodeError, None),
    # Every argument converts before the scope name is judged.
    ("bad-scope-then-needle", lambda db: db.carve_utf16le_strings_scoped("Slack", 5), TypeError,
     "argument 'needle': 'int' object cannot be converted to 'str'"),
    ("bad-scope-then-min", lambda db: db.carve_utf16le_strings_scoped("nope", None, None), TypeError,
     "argument 'min_chars': 'NoneType' object cannot be interpreted as an integer"),
    ("bad-scope-then-max", lambda db: db.carve_utf16le_strings_scoped("nope", max_hits=-5), OverflowError,
     NEGATIVE),
    ("bad-scope-then-surrogate", lambda db: db.carve_utf16le_strings_scoped("nope", "\ud800"),
     UnicodeEncodeError, None),
    # needle converts before min_chars, min_chars before max_hits.
    ("needle-before-min", lambda db: db.carve_utf16le_strings(1, None, -1), TypeError,
     "argument 'needle': 'int' object cannot be converted to 'str'"),
    ("min-before-max", lambda db: db.carve_utf16le_strings(None, -1, None), OverflowError, NEGATIVE),
    ("max-after-min", lambda db: db.carve_utf16le_strings(None, 3, 1.0), TypeError,
     "argument 'max_hits': 'float' object cannot be interpreted as an integer"),
]


@pytest.mark.parametrize("call, exception, message", [c[1:] for c in BAD_CALLS], ids=[c[0] for c in BAD_CALLS])
def test_bad_calls(db, call, exception, message):
    with pytest.raises(exception) as raised:
        call(db)
    assert type(raised.value) is exception
    if message is not None:
        assert str(raised.value) == message


@pytest.mark.parametrize("scope", ["Slack", " slack", "slack ", "SLACK", "", "lv-all", "slack\0", "tag data",
                                   "\u00e9"])
def test_unknown_scope(db, scope):
    with pytest.raises(ValueError) as raised:
        db.carve_utf16le_strings_scoped(scope)
    assert type(raised.value) is ValueError
    assert raised.value.args == (SCOPE_MESSAGE.format(scope),)


def test_default_is_slack(db):
    slack = db.carve_utf16le_strings_scoped("slack")
    assert slack
    assert db.carve_utf16le_strings() == slack
    assert db.carve_utf16le_strings(None, 6, 1000) == slack
    assert db.carve_utf16le_strings(max_hits=1000, needle=None, min_chars=6) == slack
    assert db.carve_utf16le_strings("page", 4, 2) == db.carve_utf16le_strings_scoped("slack", "page", 4, 2)
    assert {hit["region_kind"] for hit in slack} == {"slack"}


@pytest.mark.parametrize("scope", SCOPES)
def test_hit_dicts(db, scope):
    hits = db.carve_utf16le_strings_scoped(scope)
    assert type(hits) is list and hits
    page_size = db.page_size
    for hit in hits:
        assert type(hit) is dict
        assert list(hit) == KEYS
        for key in ["page", "offset", "slack_start", "slack_end", "page_flags"]:
            assert type(hit[key]) is int and hit[key] >= 0, key
        assert hit["region_kind"] == REGION_OF_SCOPE[scope]
        assert hit["page_type"] in PAGE_TYPES
        assert hit["table"] is None or type(hit["table"]) is str
        assert type(hit["text"]) is str and len(hit["text"]) >= 6
        assert hit["slack_start"] <= hit["offset"] < hit["slack_end"] <= page_size
        if scope in ("all", "lv_all"):
            assert (hit["slack_start"], hit["slack_end"]) == (0, page_size)
        if scope.startswith("lv_"):
            assert hit["page_flags"] & 0x80 and hit["page_type"] == "long_value"
    # In page order.
    assert [h["page"] for h in hits] == sorted(h["page"] for h in hits)
    # The repeated texts are shared between the dicts of one call.
    first = hits[0]
    assert all(h["region_kind"] is first["region_kind"] for h in hits)
    for h in hits:
        if h["page_type"] == first["page_type"]:
            assert h["page_type"] is first["page_type"]


def test_hits_locate_their_bytes(db, make_db):
    with open(make_db("carve", name="raw.edb"), "rb") as f:
        data = f.read()
    for scope in SCOPES:
        for hit in db.carve_utf16le_strings_scoped(scope):
            start = (hit["page"] + 1) * db.page_size + hit["offset"]
            text = hit["text"]
            assert data[start:start + 2 * len(text)].decode("utf-16-le") == text


def test_known_hits(db):
    slack = db.carve_utf16le_strings()
    first = slack[0]
    assert first["text"] == "stale alpha slack"
    assert first["table"] == "Alpha" and first["page_type"] == "leaf" and first["page_flags"] == 0x02
    assert {"orphan leaf slack", "lv page slack", "space tree slack", "branch page slack"} <= {
        h["text"] for h in slack}
    lv_slack = db.carve_utf16le_strings_scoped("lv_slack")
    assert [h["text"] for h in lv_slack] == ["lv page slack"]
    tags = db.carve_utf16le_strings_scoped("tag_data")
    record = next(h for h in tags if h["text"] == "alpha record 1")
    # Under tag_data the range is the tag's value, inside the page.
    assert 0 < record["slack_start"] < record["slack_end"] < db.page_size


def test_needle(db):
    every = db.carve_utf16le_strings_scoped("all")
    assert db.carve_utf16le_strings_scoped("all", "") == every
    assert db.carve_utf16le_strings_scoped("all", needle=None) == every
    records = db.carve_utf16le_strings_scoped("all", "record")
    assert records == [h for h in every if "record" in h["text"]]
    assert len(records) >= 8
    assert db.carve_utf16le_strings_scoped("all", "Record") == []  # case-sensitive
    assert db.carve_utf16le_strings_scoped("all", "text found nowhere") == []


def test_min_chars(db):
    at_two = db.carve_utf16le_strings_scoped("all", min_chars=2)
    assert db.carve_utf16le_strings_scoped("all", min_chars=0) == at_two
    assert db.carve_utf16le_strings_scoped("all", min_chars=1) == at_two
    assert db.carve_utf16le_strings_scoped("all", min_chars=True) == at_two
    assert db.carve_utf16le_strings_scoped("all", min_chars=Index(1)) == at_two
    long_ones = db.carve_utf16le_strings_scoped("all", min_chars=17)
    assert long_ones and all(len(h["text"]) >= 17 for h in long_ones)
    assert long_ones == [h for h in at_two if len(h["text"]) >= 17]
    assert db.carve_utf16le_strings_scoped("all", min_chars=2**64 - 1) == []


def test_max_hits(db):
    every = db.carve_utf16le_strings_scoped("all")
    assert len(every) > 3
    assert db.carve_utf16le_strings_scoped("all", max_hits=0) == every[:1]
    assert db.carve_utf16le_strings_scoped("all", max_hits=1) == every[:1]
    assert db.carve_utf16le_strings_scoped("all", max_hits=Index(3)) == every[:3]
    assert db.carve_utf16le_strings_scoped("all", max_hits=2**64 - 1) == every
    assert db.carve_utf16le_strings(max_hits=2) == db.carve_utf16le_strings()[:2]


def test_nothing_to_find(make_db):
    db = EseDatabase(make_db("empty-catalog"))
    for scope in SCOPES:
        assert db.carve_utf16le_strings_scoped(scope, "text found nowhere") == []
    assert db.carve_utf16le_strings_scoped("lv_all") == []


def test_methods_are_described(db):
    assert EseDatabase.carve_utf16le_strings.__text_signature__ == "($self, needle=None, min_chars=6, max_hits=1000)"
    assert EseDatabase.carve_utf16le_strings_scoped.__text_signature__ == (
        "($self, scope, needle=None, min_chars=6, max_hits=1000)")
    # The docstrings hold the signature alone.
    assert EseDatabase.carve_utf16le_strings.__doc__ is None
    assert EseDatabase.carve_utf16le_strings_scoped.__doc__ is None


SAMPLES = sample_paths()


@pytest.mark.skipif(not SAMPLES, reason=f"sample databases not found in {SAMPLES_DIR}")
@pytest.mark.parametrize("compressed", SAMPLES, ids=[p.name for p in SAMPLES])
def test_every_scope_on_the_samples(compressed, tmp_path):
    path = tmp_path / compressed.name[: -len(".gz")]
    with gzip.open(compressed, "rb") as source, open(path, "wb") as out:
        shutil.copyfileobj(source, out)
    db = EseDatabase(str(path))
    tables = set(db.get_tables())
    data = path.read_bytes()
    for scope in SCOPES:
        hits = db.carve_utf16le_strings_scoped(scope, max_hits=200)
        assert len(hits) <= 200
        for hit in hits:
            assert list(hit) == KEYS
            assert hit["region_kind"] == REGION_OF_SCOPE[scope]
            assert hit["table"] is None or hit["table"] in tables
            start = (hit["page"] + 1) * db.page_size + hit["offset"]
            assert data[start:start + 2 * len(hit["text"])].decode("utf-16-le") == hit["text"]
