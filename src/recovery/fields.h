// Reads of record and node fields whose place the caller has already
// checked; a field that does not fit reads as 0.
#pragma once

#include <cstddef>
#include <cstdint>

#include "utils/bytes.h"

namespace pellumo::recovery_detail {

// Fields the caller has already checked lie inside `b`.
inline std::uint16_t u16(Bytes b, std::size_t off) { return read_u16_le(b, off).value_or(0); }
inline std::uint32_t u32(Bytes b, std::size_t off) { return read_u32_le(b, off).value_or(0); }
inline std::uint32_t u32_be(Bytes b, std::size_t off) { return read_u32_be(b, off).value_or(0); }

}  // namespace pellumo::recovery_detail
