"""How Windows Search stores property values, and how to read them back.

Windows 8 and later (table SystemIndex_PropertyStore) keep most properties
in plainly typed columns; those the engine has no type for are bytes: times
as 8-byte little-endian FILETIMEs, sizes and counts as little-endian
integers, and lists of strings as UTF-16LE text with a NUL between items.

Windows XP, Vista and 7 (table SystemIndex_0A) wrote times and integers
big-endian (Vista little-endian), and many strings in an encoded form: the
bytes are XORed with a mask built from 0x05000113 (the SID S-1-5-12 folded
to 32 bits) and the value's size, rotated by byte position and mixed with the
position itself; the first decoded byte then says how the rest is packed:

- bit 0x02: the rest is LZXPRESS Huffman data after a 16-bit output size;
- bit 0x04: what remains is the value itself (UTF-16LE text for strings);
- otherwise bit 0x01: one byte per character, high byte zero ("8-bit");
- otherwise: runs of (count, high byte, count low bytes), each run count
  characters sharing one high byte ("run-length").

Every decoder here returns None for bytes it cannot read; the caller keeps
those bytes and counts them.
"""

from __future__ import annotations

from pellumo_artifacts._xpress_huffman import XpressHuffmanError
from pellumo_artifacts._xpress_huffman import decompress as xpress_huffman_decompress

_OBFUSCATION_SEED = 0x05000113

_TYPE_8BIT = 0x01
_TYPE_HUFFMAN = 0x02
_TYPE_STORED = 0x04
_KNOWN_TYPE_BITS = _TYPE_8BIT | _TYPE_HUFFMAN | _TYPE_STORED


def deobfuscate(data: bytes) -> bytes:
    """Undoes the position-keyed XOR of the older stores (it is its own inverse)."""
    mask32 = (_OBFUSCATION_SEED ^ len(data)) & 0xFFFFFFFF
    masks = mask32.to_bytes(4, "little")
    return bytes(b ^ masks[i & 3] ^ (i & 0xFF) for i, b in enumerate(data))


def _run_length_utf16(data: bytes) -> bytes | None:
    out = bytearray()
    position = 0
    while position < len(data):
        if position + 2 > len(data):
            return None
        count = data[position]
        high = data[position + 1]
        position += 2
        if position + count > len(data):
            return None
        for low in data[position : position + count]:
            out.append(low)
            out.append(high)
        position += count
    return bytes(out)


def _eight_bit_utf16(data: bytes) -> bytes:
    out = bytearray(len(data) * 2)
    out[0::2] = data
    return bytes(out)


def unpack_encoded(data: bytes) -> bytes | None:
    """The UTF-16LE bytes (or, for stored data, the bytes) an encoded value
    holds, after deobfuscation; None when its packing is unknown or broken."""
    plain = deobfuscate(data)
    if not plain:
        return None
    kind = plain[0]
    if kind & ~_KNOWN_TYPE_BITS:
        return None
    body = plain[1:]
    if kind & _TYPE_HUFFMAN:
        if len(body) < 2:
            return None
        size = body[0] | (body[1] << 8)
        try:
            body = xpress_huffman_decompress(body[2:], size)
        except XpressHuffmanError:
            return None
    if kind & _TYPE_STORED:
        return body
    if kind & _TYPE_8BIT:
        return _eight_bit_utf16(body)
    return _run_length_utf16(body)


def utf16_text(data: bytes) -> str | None:
    """UTF-16LE bytes as text without its trailing NULs; None when the bytes
    are not UTF-16 (odd length, a lone surrogate)."""
    if len(data) % 2:
        # A compressed string may be cut in the middle of its last unit.
        return None
    try:
        text = data.decode("utf-16-le")
    except UnicodeDecodeError:
        return None
    return text.rstrip("\x00")


def decode_encoded_string(data: bytes) -> str | None:
    """An encoded string of the older stores as text, or None."""
    unpacked = unpack_encoded(data)
    if unpacked is None:
        return None
    if len(unpacked) % 2:
        # LZXPRESS output may end half-way through a UTF-16 unit.
        unpacked = unpacked[:-1]
    return utf16_text(unpacked)


def looks_like_text(text: str) -> bool:
    """True when every character is one a property's text holds: no control
    characters but tab, CR and LF, no replacement characters."""
    for ch in text:
        code = ord(ch)
        if code < 0x20 and ch not in "\t\r\n":
            return False
        if 0x7F <= code < 0xA0 or code == 0xFFFD:
            return False
    return True


def string_list(data: bytes) -> list[str] | None:
    """A multi-valued string property (UTF-16LE items separated by NULs)."""
    text = utf16_text(data)
    if text is None:
        return None
    return text.split("\x00") if text else []
