// Long values fetched the slow, literal way: one walk of the tree from its
// leftmost leaf per reference, stopping at the first key past the LID. The
// index the cursor uses is held against this.
#pragma once

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "cursor/long_value.h"
#include "page/page_source.h"
#include "record/record.h"
#include "utils/bytes.h"

namespace pellumo::long_value_reference {

// The value `reference` names; nullopt when the tree's root cannot be read.
inline std::optional<std::string> fetch_by_scan(const PageSource& pages, const TableInfo& table, Bytes reference) {
  auto id = parse_long_value_reference(reference);
  if (!id) return std::string();
  auto root = long_value_root(table);
  if (!root) return std::string();

  // The search key: the LID big-endian, 4 or 8 bytes.
  const std::size_t width = id->wide ? 8 : 4;
  std::uint8_t wanted[8];
  for (std::size_t i = 0; i < width; ++i) wanted[i] = static_cast<std::uint8_t>(id->lid >> (8 * (width - 1 - i)));
  std::vector<LongValueChunk> chunks;
  std::optional<std::uint32_t> total;
  const bool readable = walk_long_value_tree(pages, *root, [&](const LongValueTreeEntry& e) {
    // Keys compare as bytes; a key that is a proper prefix of the LID is smaller.
    const std::size_t n = std::min(e.key_len, width);
    const int c = std::memcmp(e.key, wanted, n);
    if (c > 0) return false;  // past the LID: the scan is over
    if (c < 0 || e.key_len < width) return true;
    if (e.key_len < width + 4) {
      if (auto size = read_u32_le(e.data, 4)) total = *size;  // root entry: reference count, total size
    } else {
      chunks.push_back(LongValueChunk{*read_u32_be(Bytes(e.key), width), e.data});
    }
    return true;
  });
  if (!readable) return std::nullopt;
  std::string out;
  assemble_long_value(chunks, total, out);
  return out;
}

// resolve_long_values_with over fetch_by_scan.
inline void resolve_by_scan(const PageSource& pages, const TableInfo& table, Record& record) {
  resolve_long_values_with(record, [&](Bytes reference, std::string& out) {
    auto v = fetch_by_scan(pages, table, reference);
    if (!v) return false;
    out = std::move(*v);
    return true;
  });
}

}  // namespace pellumo::long_value_reference
