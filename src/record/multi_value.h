// The instances of a multi-valued tagged column, as the engine lays them out
// behind the value's flag byte:
//   - two values (flag 0x10 with 0x08): one byte giving the length of the
//     first value, then the first value, then the second (the rest);
//   - otherwise an array of u16 offsets, one per instance, relative to the
//     byte after the flag byte; the first offset is also the array's size,
//     so the count is that offset / 2. An instance runs to the next offset
//     (the last to the end of the value). Offset bit 15 marks an instance
//     kept in the long-value tree: its bytes are then a long-value id.
// With flag 0x02 the first instance alone is compressed.
#pragma once

#include <cstdint>
#include <vector>

#include "record/layout.h"
#include "utils/bytes.h"

namespace pellumo {

struct MultiValueInstance {
  Bytes data;              // borrows the value
  bool compressed = false;
  bool separated = false;  // data is a long-value reference
};

// Splits `value` (the bytes after the flag byte `flags`) into `out`
// (replaced). False when the layout is inconsistent: an offset past the
// value or before the end of the array, offsets going backwards, an array
// that does not fill whole 16-bit entries, a first length past the end.
bool split_multi_value(Bytes value, std::uint8_t flags, std::vector<MultiValueInstance>& out);

}  // namespace pellumo
