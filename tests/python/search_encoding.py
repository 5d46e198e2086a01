"""Encoders of the Windows Search value packings, for building test values:
written from the formats' descriptions, independently of the decoders."""

import heapq
import struct

# An LZ77+Huffman encoder for the tests: literals and short matches (3 to 17
# bytes) coded with a Huffman code over the 512 symbols, the bit stream
# packed into little-endian 16-bit words, most significant bit first.


def _code_lengths(freq):
    symbols = [s for s in range(512) if freq[s]]
    if len(symbols) == 1:
        symbols.append(0 if symbols[0] else 1)
        freq = dict(freq)
        freq[symbols[1]] = 1
    heap = [(freq[s], i, [s]) for i, s in enumerate(symbols)]
    heapq.heapify(heap)
    lengths = [0] * 512
    counter = len(heap)
    while len(heap) > 1:
        fa, _, a = heapq.heappop(heap)
        fb, _, b = heapq.heappop(heap)
        for s in a + b:
            lengths[s] += 1
        counter += 1
        heapq.heappush(heap, (fa + fb, counter, a + b))
    assert max(lengths) <= 15
    return lengths


def _canonical_codes(lengths):
    codes = {}
    code = 0
    for length in range(1, 16):
        for symbol in range(512):
            if lengths[symbol] == length:
                codes[symbol] = (code, length)
                code += 1
        code <<= 1
    return codes


def huffman_compress(tokens):
    """tokens: ints (literal bytes) and (length, offset) matches."""
    symbols = []
    for token in tokens:
        if isinstance(token, int):
            symbols.append((token, 0, 0))
        else:
            length, offset = token
            assert 3 <= length < 18 and offset >= 1
            bits = offset.bit_length() - 1
            symbols.append((256 + (bits << 4) + (length - 3), bits, offset - (1 << bits)))
    freq = {s: 0 for s in range(512)}
    for symbol, _, _ in symbols:
        freq[symbol] += 1
    lengths = _code_lengths(freq)
    codes = _canonical_codes(lengths)
    bitstring = []
    for symbol, extra_bits, extra in symbols:
        code, length = codes[symbol]
        bitstring.extend((code >> (length - 1 - i)) & 1 for i in range(length))
        bitstring.extend((extra >> (extra_bits - 1 - i)) & 1 for i in range(extra_bits))
    bitstring.extend([0] * (-len(bitstring) % 16 + 32))
    table = bytes(lengths[2 * i] | (lengths[2 * i + 1] << 4) for i in range(256))
    words = b"".join(
        struct.pack("<H", int("".join(map(str, bitstring[i : i + 16])), 2)) for i in range(0, len(bitstring), 16)
    )
    return table + words



# The mask seed is the SID S-1-5-12 as stored, folded into 32 bits.
_SEED_SID = bytes([1, 1, 0, 0, 0, 0, 0, 5, 0x12, 0, 0, 0])


def obfuscate(plain: bytes) -> bytes:
    words = struct.unpack("<3I", _SEED_SID)
    mask = (words[0] ^ words[1] ^ words[2] ^ len(plain)).to_bytes(4, "little")
    return bytes(b ^ mask[i % 4] ^ (i % 256) for i, b in enumerate(plain))


def run_length(text: str) -> bytes:
    units = text.encode("utf-16-le")
    out = bytearray()
    i = 0
    while i < len(units):
        high = units[i + 1]
        run = bytearray()
        while i < len(units) and units[i + 1] == high and len(run) < 255:
            run.append(units[i])
            i += 2
        out += bytes([len(run), high]) + run
    return bytes(out)


