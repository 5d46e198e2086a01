"""LZ77 with Huffman coding ("LZXPRESS Huffman"), the decompressor.

Older Windows Search databases store some property values compressed this
way. The layout is Microsoft's: a block opens with 256 bytes holding the
4-bit code lengths of 512 symbols (two per byte, low nibble first); the bit
stream that follows is read in little-endian 16-bit words, most significant
bit first. Symbols below 256 are literal bytes; the others are matches whose
low four bits give the length and high bits the number of offset bits.

Only what those values need is here: the output size is known in advance and
is at most one block (65,536 bytes), so every value is decoded with a single
table. The values are small and rare, which is why this is plain Python.
"""

from __future__ import annotations

_TABLE_BITS = 15
_BLOCK = 65536


class XpressHuffmanError(ValueError):
    """The compressed bytes do not decode to the declared size."""


def _decoding_table(lengths: list[int]) -> tuple[list[int], list[int]]:
    # Codes are canonical: shorter codes first, equal lengths in symbol order,
    # so filling the table in that order assigns each code its range.
    table: list[int] = []
    for bit_length in range(1, _TABLE_BITS + 1):
        span = 1 << (_TABLE_BITS - bit_length)
        for symbol, length in enumerate(lengths):
            if length == bit_length:
                table.extend([symbol] * span)
                if len(table) > 1 << _TABLE_BITS:
                    raise XpressHuffmanError("Huffman code lengths oversubscribe the code space")
    if len(table) != 1 << _TABLE_BITS:
        raise XpressHuffmanError("Huffman code lengths do not fill the code space")
    return table, lengths


def decompress(data: bytes, size: int) -> bytes:
    """The `size` bytes that `data` (one block: table, then bit stream) holds.

    Raises XpressHuffmanError when the table is not a complete prefix code, a
    match reaches before the start of the output or the input ends first."""
    if size < 0 or size > _BLOCK:
        raise XpressHuffmanError(f"declared size {size} is outside one block")
    if size == 0:
        return b""
    if len(data) < 256 + 4:
        raise XpressHuffmanError(f"{len(data)} bytes cannot hold the code table and a bit stream")
    lengths = []
    for byte in data[:256]:
        lengths.append(byte & 0x0F)
        lengths.append(byte >> 4)
    table, lengths = _decoding_table(lengths)

    end = len(data)

    def word(position: int) -> int:
        # Past the end the stream reads as zero bits; a well-formed stream
        # never needs them, and a match that would is caught by the size.
        if position + 2 <= end:
            return data[position] | (data[position + 1] << 8)
        if position < end:
            return data[position]
        return 0

    position = 256
    bits = (word(position) << 16) | word(position + 2)
    position += 4
    extra = 16
    out = bytearray()

    def consume(count: int) -> None:
        nonlocal bits, extra, position
        bits = (bits << count) & 0xFFFFFFFF
        extra -= count
        if extra < 0:
            bits |= (word(position) << (-extra)) & 0xFFFFFFFF
            extra += 16
            position += 2

    while len(out) < size:
        symbol = table[bits >> (32 - _TABLE_BITS)]
        consume(lengths[symbol])
        if symbol < 256:
            out.append(symbol)
            continue
        symbol -= 256
        length = symbol & 0x0F
        offset_bits = symbol >> 4
        if length == 15:
            if position >= end:
                raise XpressHuffmanError("the stream ends inside a match length")
            length = data[position]
            position += 1
            if length == 255:
                if position + 2 > end:
                    raise XpressHuffmanError("the stream ends inside a match length")
                length = data[position] | (data[position + 1] << 8)
                position += 2
                if length == 0:
                    if position + 4 > end:
                        raise XpressHuffmanError("the stream ends inside a match length")
                    length = int.from_bytes(data[position : position + 4], "little")
                    position += 4
                if length < 15:
                    raise XpressHuffmanError(f"match length {length} is below its escape")
                length -= 15
            length += 15
        length += 3
        offset = (bits >> (32 - offset_bits)) if offset_bits else 0
        offset += 1 << offset_bits
        consume(offset_bits)
        if offset > len(out):
            raise XpressHuffmanError(f"match offset {offset} reaches before the output's start ({len(out)} bytes)")
        start = len(out) - offset
        for i in range(length):
            out.append(out[start + i])
    if len(out) > size:
        del out[size:]
    return bytes(out)
