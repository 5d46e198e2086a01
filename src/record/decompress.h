// Compressed column values and long-value chunks. The first byte of a
// compressed value is scheme * 8 + (bits used in the last byte - 1):
//   1: 7-bit ASCII, one output byte per 7 bits;
//   2: 7-bit Unicode, one UTF-16LE unit (ch, 0) per 7 bits;
//   3: Xpress (plain LZ77), u16 uncompressed size at bytes 1-2, then the stream;
//   7: LZ4, u16 uncompressed size at bytes 1-2, then one LZ4 block.
// Other schemes (scrubbed data, Xpress9/10) are not decoded.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "utils/bytes.h"

namespace pellumo {

inline constexpr std::uint8_t kSchemeSevenBitAscii = 1;
inline constexpr std::uint8_t kSchemeSevenBitUnicode = 2;
inline constexpr std::uint8_t kSchemeXpress = 3;
inline constexpr std::uint8_t kSchemeLz4 = 7;

// Decodes a whole compressed value, header byte included, into `out`
// (replaced). Returns false when the value is empty, its scheme is not
// decoded here, or its stream is damaged or does not give exactly the
// declared size; `out` is then unspecified. Output never exceeds 64 KiB
// for the sized schemes, nor 8/7 of the input for the 7-bit ones.
bool decompress_value(Bytes value, std::string& out);

// 7-bit packing: `count` characters, least significant bits first, from
// `packed` (the bytes after the header). `wide` emits each as (ch, 0).
void unpack_seven_bit(Bytes packed, std::size_t count, bool wide, std::string& out);

// The plain LZ77 stream of Microsoft's Xpress format. Succeeds only when
// exactly `declared` bytes come out without reading or copying outside the
// buffers.
bool xpress_decompress(Bytes stream, std::size_t declared, std::string& out);

// One LZ4 block that must decode to exactly `declared` bytes.
bool lz4_decompress(Bytes block, std::size_t declared, std::string& out);

}  // namespace pellumo
