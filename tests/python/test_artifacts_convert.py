"""The conversions every artifact kind shares: edge values of FILETIMEs,
SIDs, addresses, hex, names, NUL stripping and joined summaries."""

import sys

import pytest

pa = pytest.importorskip("pyarrow")

from conftest import INSTALLED, ROOT  # noqa: E402

if not INSTALLED:
    sys.path.insert(0, str(ROOT / "python"))

from pellumo_artifacts import _convert as cv  # noqa: E402

EPOCH = cv.FILETIME_UNIX_EPOCH


@pytest.mark.parametrize("ticks, ns, bad", [
    (EPOCH, 0, 0),
    (EPOCH + 1, 100, 0),                          # one tick: 100 ns, kept
    (132815602642009395, 1637086664200939500, 0),
    (0, None, 0),                                 # 0: never, not a damaged value
    (None, None, 0),
    (EPOCH - (2**63 // 100) + 1, -(2**63 // 100 - 1) * 100, 0),   # the first a timestamp[ns] holds
    (EPOCH - (2**63 // 100), None, 1),            # 1677: before what it holds
    (EPOCH + (2**63 - 1) // 100 + 1, None, 1),    # 2262: after
    (2**64 - 1, None, 1),                         # read as unsigned: no time
])
def test_filetime_to_timestamp(ticks, ns, bad):
    warnings = cv.Warnings()
    array = pa.array([ticks], pa.uint64() if ticks is not None and ticks >= 2**63 else pa.int64())
    out = cv.filetime_to_timestamp(array, warnings, "t")
    assert out.type == pa.timestamp("ns", tz="UTC")
    assert (out[0].value if out[0].is_valid else None) == ns
    assert warnings.lines() == ([f"t: values that are no FILETIME a timestamp can hold, left null: {bad}"]
                                if bad else [])


@pytest.mark.parametrize("blob, text", [
    (bytes.fromhex("010500000000000515000000") + bytes(12) + (500).to_bytes(4, "little"), "S-1-5-21-0-0-0-500"),
    (bytes.fromhex("010100000000000512000000"), "S-1-5-18"),
    (bytes.fromhex("0100000000000000"), "S-1-0"),
    (bytes.fromhex("01010000000100000000000000"), None),        # a sub-authority cut short
    (bytes.fromhex("0101010000000000") + bytes(4), "S-1-0x010000000000-0"),   # authority of 2**40: hex
    (bytes.fromhex("020100000000000512000000"), None),           # revision 2
    (b"", None),
    (None, None),
])
def test_sid_text(blob, text):
    assert cv.sid_text(blob) == text


@pytest.mark.parametrize("blob, text", [
    (bytes([192, 168, 0, 1]), "192.168.0.1"),
    (bytes(15) + b"\x01", "::1"),
    (bytes.fromhex("fe800000000000008804fd0e088a0abe"), "fe80::8804:fd0e:88a:abe"),
    (bytes.fromhex("20010db8000000010000000000000001"), "2001:db8:0:1::1"),
    (bytes(16), "::"),
    (b"\x01\x02\x03", None),
    (None, None),
])
def test_ip_text(blob, text):
    assert cv.ip_text(blob) == text


def test_hex_text_of_slices_nulls_and_empties():
    values = [b"\x00\xff", None, b"", b"\x12\x34\x56", None]
    array = pa.array(values, pa.binary())
    assert cv.hex_text(array).to_pylist() == [v.hex() if v is not None else None for v in values]
    assert cv.hex_text(array.slice(2)).to_pylist() == ["", "123456", None]
    assert cv.hex_text(pa.array([b"\xab" * 20], pa.binary(20))).to_pylist() == ["ab" * 20]
    assert cv.hex_text(pa.array([], pa.binary())).to_pylist() == []
    assert cv.hex_text(pa.chunked_array([array.slice(0, 1), array.slice(3)])).to_pylist() == ["00ff", "123456", None]


def test_join_present_keeps_every_row():
    parts = [pa.array(["a", None, None, "d"]), pa.array(["b", "c", None, None])]
    assert cv.join_present(parts, "; ").to_pylist() == ["a; b", "c", None, "d"]


@pytest.mark.parametrize("existing, wanted, name", [
    (["AppId"], "AppName", "AppName"),
    (["appname"], "AppName", "AppName_2"),
    (["APPNAME", "appname_2"], "AppName", "AppName_3"),
])
def test_free_name(existing, wanted, name):
    assert cv.free_name(existing, wanted) == name


def test_strip_trailing_nul():
    text = pa.array(["a\0\0", "a\0b", "\0", None, "plain"])
    assert cv.strip_trailing_nul(text).to_pylist() == ["a", "a\0b", "", None, "plain"]
    lists = pa.array([["x\0", "y"], None, []], pa.list_(pa.string()))
    assert cv.strip_trailing_nul(lists).to_pylist() == [["x", "y"], None, []]
    numbers = pa.array([1, 2])
    assert cv.strip_trailing_nul(numbers) is numbers
    # Text without a trailing NUL is kept as it is; one NUL anywhere (a later
    # chunk, past a slice's start, a large string, a list's item) is found.
    clean = pa.chunked_array([pa.array(["a", "", None]), pa.array(["b\0c"])])
    assert cv.strip_trailing_nul(clean) is clean
    for text, stripped in [
        (pa.chunked_array([pa.array(["a", None]), pa.array(["", "b\0"])]), ["a", None, "", "b"]),
        (pa.array(["x\0", "y", "z\0"]).slice(1), ["y", "z"]),
        (pa.array(["x\0", "y"]).slice(1), ["y"]),
        (pa.array(["q", "r\0"], pa.large_string()), ["q", "r"]),
        (pa.array([["a"], ["b", "c\0"]], pa.list_(pa.string())), [["a"], ["b", "c"]]),
    ]:
        assert cv.strip_trailing_nul(text).to_pylist() == stripped
