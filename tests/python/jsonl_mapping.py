"""What the JSON Lines export should write for a record that read_table
returns, built independently of the module: the value mapping (bytes as hex,
non-finite floats as 0, members sorted by the UTF-8 bytes of their names) and
the exact text (escapes, number layout from the shortest repr digits)."""

import math
import re
from decimal import Decimal

_ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}
_NEEDS_ESCAPE = re.compile(r'["\\\x00-\x1f]')


def json_value(value):
    """The JSON-side value of one read_table value."""
    if isinstance(value, bytes):
        return value.hex()
    if isinstance(value, float) and not math.isfinite(value):
        return 0
    return value


def member_order(row):
    """The names of a record in the order its line lists them."""
    return sorted(row, key=lambda n: n.encode("utf-8"))


def json_object(row, order=None):
    """The members of a record's line, in the order they are written. Every
    record of a table has the same names: `order` (member_order of any of
    them) saves sorting them again."""
    return {name: json_value(row[name]) for name in (order or member_order(row))}


def float_text(value):
    """A finite float: shortest digits, plain for exponents -5..15, else d.ddde±x."""
    sign = "-" if math.copysign(1.0, value) < 0 else ""
    if value == 0:
        return sign + "0.0"
    digits, exponent = Decimal(repr(abs(value))).normalize().as_tuple()[1:]
    digits = "".join(map(str, digits))
    e = len(digits) - 1 + exponent  # exponent of the first digit
    if -5 <= e <= 15:
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + digits
        if len(digits) <= e + 1:
            return sign + digits + "0" * (e + 1 - len(digits)) + ".0"
        return sign + digits[: e + 1] + "." + digits[e + 1:]
    mantissa = digits[0] + ("." + digits[1:] if len(digits) > 1 else "")
    return f"{sign}{mantissa}e{'-' if e < 0 else '+'}{abs(e)}"


def _escape(match):
    ch = match.group()
    return _ESCAPES.get(ch) or f"\\u{ord(ch):04x}"


def string_text(text):
    return '"' + _NEEDS_ESCAPE.sub(_escape, text) + '"'


def value_text(value):
    if value is None:
        return "null"
    if value is True:
        return "true"
    if value is False:
        return "false"
    if isinstance(value, int):
        return str(value)
    if isinstance(value, float):
        return float_text(value)
    return string_text(value)


def line_text(row, order=None):
    """The whole line (without its line feed) for one read_table record."""
    members = json_object(row, order)
    return "{" + ",".join(string_text(k) + ":" + value_text(v) for k, v in members.items()) + "}"


def assert_same_values(parsed, expected):
    """json.loads of a line against json_object of the record: members, order, types."""
    assert list(parsed) == list(expected)
    for name, want in expected.items():
        got = parsed[name]
        assert type(got) is type(want) and got == want, (name, got, want)
