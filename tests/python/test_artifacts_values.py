"""The value decoders of the WebCache, Windows Search and directory kinds,
checked against values built here from the formats' descriptions (no
database needed)."""

import struct
import sys
import uuid
from datetime import datetime, timezone

import numpy as np
import pyarrow as pa
import pytest
from conftest import INSTALLED, ROOT

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

from pellumo_artifacts import _bytes_columns as bc  # noqa: E402
from pellumo_artifacts import _ntds_values as nv  # noqa: E402
from pellumo_artifacts import _search_values as sv  # noqa: E402
from pellumo_artifacts import search, webcache  # noqa: E402
from pellumo_artifacts._xpress_huffman import XpressHuffmanError, decompress  # noqa: E402
from search_encoding import huffman_compress, obfuscate, run_length  # noqa: E402


def test_huffman_round_trips_literals_and_matches():
    text = b"abcabcabcabcXYZabcabc"
    tokens = [*b"abc", (9, 3), *b"XYZ", (6, 9)]
    assert decompress(huffman_compress(tokens), len(text)) == text
    # An overlapping match repeats one byte; the output stops at the size.
    assert decompress(huffman_compress([ord("a"), (17, 1)]), 10) == b"a" * 10


@pytest.mark.parametrize(
    "data, size, message",
    [
        (bytes([0x11]) * 256 + b"\0" * 8, 4, "oversubscribe"),  # 512 codes of length 1
        (bytes([0x01]) + b"\0" * 255 + b"\0" * 8, 4, "do not fill"),  # one code of length 1
        (b"\0" * 100, 4, "cannot hold"),
        (None, 70000, "outside one block"),
    ],
)
def test_huffman_refuses_broken_streams(data, size, message):
    with pytest.raises(XpressHuffmanError, match=message):
        decompress(data or b"", size)


def test_huffman_match_before_the_output_start_is_refused():
    with pytest.raises(XpressHuffmanError, match="before the output"):
        decompress(huffman_compress([ord("a"), (3, 2)]), 4)


# ---------------------------------------------------------------------------------------
# Encoded strings of the older Windows Search stores.

def _huffman_literals(data: bytes) -> bytes:
    return struct.pack("<H", len(data)) + huffman_compress(list(data))


@pytest.mark.parametrize(
    "packed, expected",
    [
        (b"\x00" + run_length("Report.docx"), "Report.docx"),
        (b"\x00" + run_length("Zürich – Ω"), "Zürich – Ω"),  # three high bytes
        (b"\x01" + "Plain".encode("latin-1"), "Plain"),
        (b"\x04" + "Stored\x00".encode("utf-16-le"), "Stored"),
        (b"\x02" + _huffman_literals(run_length("Squeezed text")), "Squeezed text"),
        (b"\x03" + _huffman_literals(b"eight bit"), "eight bit"),
        (b"\x06" + _huffman_literals("whole".encode("utf-16-le")), "whole"),
        (b"\x08" + b"abc", None),  # an unknown packing
        (b"\x00" + bytes([5, 0]) + b"ab", None),  # a run longer than its bytes
        (b"\x00\x03", None),  # a run header cut short
        (b"", None),
    ],
)
def test_encoded_strings(packed, expected):
    assert sv.decode_encoded_string(obfuscate(packed)) == expected


def test_deobfuscation_is_its_own_inverse_and_depends_on_size():
    data = bytes(range(40))
    assert sv.deobfuscate(sv.deobfuscate(data)) == data
    assert sv.deobfuscate(data[:39]) != sv.deobfuscate(data)[:39]


@pytest.mark.parametrize(
    "stored, expected",
    [
        ("4625-System_Search_AutoSummary", "System_Search_AutoSummary"),
        ("4631F-System_Search_GatherTime", "System_Search_GatherTime"),
        ("0-InvertedOnlyPids", "InvertedOnlyPids"),
        ("WorkID", "WorkID"),
        ("System_ItemName", "System_ItemName"),  # the oldest stores have no prefix
        ("Some-Name-With-Dashes", "Some-Name-With-Dashes"),
    ],
)
def test_property_names(stored, expected):
    assert search.property_name(stored) == expected


@pytest.mark.parametrize(
    "data, expected",
    [
        ("folder".encode("utf-16-le"), ["folder"]),
        ("link\0program".encode("utf-16-le"), ["link", "program"]),
        ("one\0".encode("utf-16-le"), ["one"]),
        (b"abc", None),
        (b"\x00\xd8", None),  # a lone surrogate
    ],
)
def test_string_lists(data, expected):
    assert sv.string_list(data) == expected


def test_string_lists_of_a_whole_column():
    values = [
        "folder".encode("utf-16-le"),
        None,
        "link\0program".encode("utf-16-le"),
        "one\0\0".encode("utf-16-le"),  # trailing NULs
        b"",
        "\0\0".encode("utf-16-le"),
        "Zürich – Ω\0x".encode("utf-16-le"),  # two- and three-byte UTF-8
        "a\0\0b".encode("utf-16-le"),  # an empty item between
        b"abc",  # odd length: no text
        "bad\x01".encode("utf-16-le"),  # a control character
        "😀 smile".encode("utf-16-le"),  # a surrogate pair: decoded one by one
    ]
    lists, failed, slow = bc.utf16_string_lists(pa.array(values, pa.binary()))
    expected = [None if v is None else sv.string_list(v) for v in values]
    got = lists.to_pylist()
    for i, value in enumerate(values):
        if slow[i]:
            assert got[i] is None and expected[i] == ["😀 smile"]
        elif failed[i]:
            assert got[i] is None and i in (8, 9)
        else:
            assert got[i] == expected[i], value
    assert list(np.nonzero(failed)[0]) == [8, 9] and list(np.nonzero(slow)[0]) == [10]
    # Sliced input (a chunk of a larger column) gives the same.
    assert bc.utf16_string_lists(pa.array(values, pa.binary()).slice(2, 5))[0].to_pylist() == got[2:7]


# ---------------------------------------------------------------------------------------
# Whole-column conversions.

_EPOCH_FT = 116_444_736_000_000_000


def _ft(when: datetime, extra: int = 0) -> int:
    return _EPOCH_FT + int((when - datetime(1970, 1, 1, tzinfo=timezone.utc)).total_seconds()) * 10_000_000 + extra


def test_filetimes_keep_every_digit_and_null_the_markers():
    when = datetime(2022, 2, 5, 19, 47, 56, tzinfo=timezone.utc)
    values = pa.array([_ft(when, 7), 0, 0x7FFF_FFFF_FFFF_FFFF, None, 1, 2**62, -5], pa.int64())
    times, failed, count = bc.filetimes_from_int64(values)
    assert times[0].value == int(when.timestamp()) * 1_000_000_000 + 700
    # 0, "never" and the small markers (the gatherer writes 1) are no time;
    # times no timestamp[ns] holds (past 2262, before 1677) are counted.
    assert times.to_pylist()[1:] == [None] * 6
    assert list(failed) == [False, False, False, False, False, True, True] and count == 2


def test_filetime_bytes_in_either_order_and_wrong_lengths():
    value = _ft(datetime(2021, 11, 29, 21, 5, 33, tzinfo=timezone.utc), 3)
    values = pa.array([value.to_bytes(8, "little"), value.to_bytes(8, "big"), b"\x01\x02", None], pa.binary())
    little, failed, count = bc.filetimes_from_bytes(values)
    assert little[0].value % 1000 == 300 and count == 2  # the big-endian one is beyond 2262, the short one no time
    big, _, _ = bc.filetimes_from_bytes(values, big_endian=True)
    assert big[1].value == little[0].value
    assert bc.plausible_filetimes(values, big_endian=False) == 1
    assert list(failed) == [False, True, True, False]


def test_integers_of_a_width_and_the_rest_flagged():
    values = pa.array([b"\x2a\x00\x00\x00", b"\x00\x00\x00\x2a", b"\x01", None], pa.binary())
    little, failed, count = bc.integers(values, 4)
    assert little.to_pylist() == [42, 0x2A000000, None, None] and count == 1
    big, _, _ = bc.integers(values, 4, big_endian=True)
    assert big.to_pylist()[:2] == [0x2A000000, 42]
    assert list(failed) == [False, False, True, False]


def test_text_where_text():
    values = pa.array(
        [b"HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n\x00\x00", b"\x01\x02binary", b"a\x00b", b"caf\xc3\xa9", None],
        pa.binary(),
    )
    assert webcache._text_where_text(values).to_pylist() == [
        "HTTP/1.1 200 OK\r\nContent-Type: text/html\r\n",
        None,
        None,
        "café",
        None,
    ]


# ---------------------------------------------------------------------------------------
# Directory values.


def sid_bytes(text: str) -> bytes:
    parts = [int(p) for p in text.split("-")[1:]]
    revision, authority, subs = parts[0], parts[1], parts[2:]
    body = bytes([revision, len(subs)]) + authority.to_bytes(6, "big")
    body += b"".join(s.to_bytes(4, "little") for s in subs[:-1])
    return body + subs[-1].to_bytes(4, "big")  # the directory keeps the RID big-endian


@pytest.mark.parametrize(
    "sid",
    ["S-1-5-21-2290304894-658537038-505560459-1104", "S-1-5-32-544", "S-1-5-18", "S-1-16-12288"],
)
def test_sids_read_the_rid_big_endian(sid):
    text, rids, bad = nv.sids(pa.array([sid_bytes(sid)], pa.binary()))
    assert text.to_pylist() == [sid] and rids.to_pylist() == [int(sid.rsplit("-", 1)[1])] and bad == 0


def test_values_that_are_no_sid_are_null_and_counted():
    good = sid_bytes("S-1-5-21-1-2-3-500")
    values = pa.array([b"\x02" + good[1:], good[:-1], b"", None, good], pa.binary())
    text, rids, bad = nv.sids(values)
    assert text.to_pylist() == [None, None, None, None, "S-1-5-21-1-2-3-500"]
    assert rids.to_pylist()[-1] == 500 and bad == 3


def test_guids_in_windows_byte_order():
    value = uuid.UUID("f5daf6dd-3d3b-4237-99a6-654d540a1ac6")
    uuids, bad = nv.guids(pa.array([value.bytes_le, b"short", None], pa.binary()))
    assert uuids.to_pylist() == [value, None, None] and bad == 1


def test_account_control_flag_names():
    names = nv.flag_names(pa.array([0x200, 0x202 | 0x10000, 0x1000 | 0x80000 | 0x10000000, None, 0]), nv.UAC_FLAGS)
    assert names.to_pylist() == [
        ["NORMAL_ACCOUNT"],
        ["ACCOUNTDISABLE", "NORMAL_ACCOUNT", "DONT_EXPIRE_PASSWORD"],
        ["WORKSTATION_TRUST_ACCOUNT", "TRUSTED_FOR_DELEGATION", "0x10000000"],
        None,
        [],
    ]


def test_generalized_times_are_seconds_since_1601():
    seconds = nv.SECONDS_1601_TO_1970 + 1_600_000_000
    times, bad = nv.dstime(pa.array([seconds, 0, None, 2**62], pa.int64()))
    assert times[0].value == 1_600_000_000 * 10**9
    assert times.to_pylist()[1:] == [None, None, None] and bad == 1


@pytest.mark.parametrize(
    "value, escaped",
    [
        ("Users", "Users"),
        ("Smith, John", "Smith\\, John"),
        ("a+b=c", "a\\+b\\=c"),
        ('say "hi" <x>;', 'say \\"hi\\" \\<x\\>\\;'),
        ("back\\slash", "back\\\\slash"),
        (" padded ", "\\ padded\\ "),
        ("#1", "\\#1"),
        ("Old\nDEL:5c2b8f0e", "Old\\0ADEL:5c2b8f0e"),
    ],
)
def test_rdn_escaping(value, escaped):
    assert nv.escape_rdn_values(pa.array([value])).to_pylist() == [escaped]


def test_distinguished_names_follow_the_parent_chain():
    # 2 is the root (parent 0); 3 and 4 form a loop; 9's parent is missing.
    dnt = pa.array([2, 5, 6, 7, 3, 4, 9], pa.int32())
    pdnt = pa.array([0, 2, 5, 6, 4, 3, 42], pa.int32())
    rdn = pa.array([None, "DC=com", "DC=contoso", "CN=Users", "CN=a", "CN=b", "CN=lost"])
    dn, unresolved = nv.distinguished_names(dnt, pdnt, rdn)
    assert dn.to_pylist() == ["", "DC=com", "DC=contoso,DC=com", "CN=Users,DC=contoso,DC=com", None, None, "CN=lost"]
    assert unresolved == 2


def test_distinguished_names_stop_at_the_depth_bound():
    n = 40
    dnt = pa.array(range(1, n + 1), pa.int32())
    pdnt = pa.array(range(0, n), pa.int32())
    rdn = pa.array([f"CN={i}" for i in range(1, n + 1)])
    dn, unresolved = nv.distinguished_names(dnt, pdnt, rdn, max_depth=10)
    assert dn[10].as_py() == ",".join(f"CN={i}" for i in range(11, 0, -1)) and unresolved == n - 11


# ---------------------------------------------------------------------------------------
# WebCache helpers.


@pytest.mark.parametrize(
    "name, family",
    [
        ("History", "history"),
        ("MSHist012021111520211122", "history_daily"),
        ("Content\x00", "content"),
        ("Cookies", "cookies"),
        ("DOMStore", "dom_store"),
        ("iedownload", "downloads"),
        ("iecompat", "iecompat"),
        ("iecompatua", "iecompat"),
        ("EmieSiteList", "other"),
        (None, "other"),
    ],
)
def test_container_families(name, family):
    assert webcache.family_of(name) == family


def test_download_locations_from_response_headers():
    header = b"\x24\x00\x00\x00\x01\x00\x00\x00" + bytes(range(7))  # binary head, odd length
    body = "https://example.com/setup.exe\0C:\\Users\\ann\\Downloads\\setup.exe\0\0".encode("utf-16-le")
    assert webcache.download_locations(header + body) == (
        "https://example.com/setup.exe",
        "C:\\Users\\ann\\Downloads\\setup.exe",
    )
    assert webcache.download_locations(b"\x01\x02\x03") == (None, None)
