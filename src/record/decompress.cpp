#include "record/decompress.h"

#include <limits>

#include <lz4.h>

namespace pellumo {
namespace {

constexpr std::size_t kSizedHeader = 3;  // scheme byte, u16 uncompressed size

}  // namespace

void unpack_seven_bit(Bytes packed, std::size_t count, bool wide, std::string& out) {
  const std::size_t width = wide ? 2 : 1;
  // Zeroed: a wide character's high byte is written once, here.
  out.assign(count * width, '\0');
  char* o = out.data();
  std::size_t produced = 0;
  std::size_t i = 0;
  // Seven bytes hold eight characters exactly: whole groups a word at a
  // time (the load reads one byte past the group, so while eight remain).
  while (count - produced >= 8 && packed.size() - i >= 8) {
    const std::uint64_t word = read_u64_le(packed, i).value_or(0);
    for (std::size_t k = 0; k < 8; ++k) o[(produced + k) * width] = static_cast<char>((word >> (7 * k)) & 0x7F);
    produced += 8;
    i += 7;
  }
  // The rest bit by bit, from the byte boundary the groups ended on.
  std::uint32_t held = 0;
  int bits = 0;
  for (; produced < count; ++produced) {
    if (bits < 7) {
      if (i >= packed.size()) break;
      held |= static_cast<std::uint32_t>(packed[i++]) << bits;
      bits += 8;
    }
    o[produced * width] = static_cast<char>(held & 0x7F);
    held >>= 7;
    bits -= 7;
  }
  out.resize(produced * width);  // input that ran out gives fewer characters
}

bool xpress_decompress(Bytes in, std::size_t declared, std::string& out) {
  out.assign(declared, '\0');
  ByteReader r(in);
  std::size_t op = 0;
  std::uint32_t flags = 0;
  int flag_count = 0;
  // Length nibbles come in pairs: the first use of a nibble byte takes its
  // low half and leaves the high half for the next long match.
  bool have_half = false;
  std::size_t half_pos = 0;
  while (op < declared) {
    if (flag_count == 0) {
      flags = r.u32_le();
      if (!r) return false;
      flag_count = 32;
    }
    --flag_count;
    if ((flags & (1u << flag_count)) == 0) {
      const std::uint8_t literal = r.u8();
      if (!r) return false;
      out[op++] = static_cast<char>(literal);
      continue;
    }
    // A match flag with the input used up marks the end of the stream.
    if (r.remaining() == 0) return false;
    const std::uint16_t match_bytes = r.u16_le();
    if (!r) return false;
    std::uint64_t length = match_bytes & 7;
    const std::size_t offset = (match_bytes >> 3) + 1u;
    if (length == 7) {
      if (!have_half) {
        half_pos = r.offset();
        length = r.u8() & 0x0F;
        have_half = true;
      } else {
        length = read_u8(in, half_pos).value_or(0) >> 4;
        have_half = false;
      }
      if (length == 15) {
        length = r.u8();
        if (length == 255) {
          length = r.u16_le();
          if (length == 0) length = r.u32_le();
          if (r && length < 15 + 7) return false;
          length -= 15 + 7;
        }
        length += 15;
      }
      if (!r) return false;
      length += 7;
    }
    length += 3;
    if (offset > op || length > declared - op) return false;
    // Overlapping copies repeat the bytes just written, so byte by byte.
    for (std::uint64_t k = 0; k < length; ++k, ++op) out[op] = out[op - offset];
  }
  return true;
}

bool lz4_decompress(Bytes block, std::size_t declared, std::string& out) {
  if (block.size() > static_cast<std::size_t>(std::numeric_limits<int>::max()) ||
      declared > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
    return false;
  }
  out.assign(declared, '\0');
  const int got = LZ4_decompress_safe(reinterpret_cast<const char*>(block.data()), out.data(),
                                      static_cast<int>(block.size()), static_cast<int>(declared));
  return got >= 0 && static_cast<std::size_t>(got) == declared;
}

bool decompress_value(Bytes value, std::string& out) {
  if (value.empty()) return false;
  const std::uint8_t header = value[0];
  const std::uint8_t scheme = header >> 3;
  switch (scheme) {
    case kSchemeSevenBitAscii:
    case kSchemeSevenBitUnicode: {
      // (len - 2) full bytes plus the used bits of the last one, 7 per character.
      const std::size_t used_last = (header & 7u) + 1;
      const std::size_t count = value.size() < 2 ? 0 : ((value.size() - 2) * 8 + used_last) / 7;
      unpack_seven_bit(value.subspan(1), count, scheme == kSchemeSevenBitUnicode, out);
      return true;
    }
    case kSchemeXpress:
    case kSchemeLz4: {
      auto declared = read_u16_le(value, 1);
      auto stream = slice_from(value, kSizedHeader);
      if (!declared || !stream) return false;
      return scheme == kSchemeXpress ? xpress_decompress(*stream, *declared, out)
                                     : lz4_decompress(*stream, *declared, out);
    }
    default: return false;
  }
}

}  // namespace pellumo
