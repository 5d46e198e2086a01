// Long values: data of long columns kept in the table's long-value tree,
// referred to from the record by a long-value id (LID).
//
// Reference in the record: 4 bytes, a 32-bit LID little-endian; or 8 bytes
// with bit 63 set, a 64-bit LID little-endian.
// Keys in the tree (big-endian): 32-bit LID, then for a chunk the u32 byte
// offset of the chunk in the value; or, for 64-bit LIDs, the 8-byte LID and
// then the u32 offset. A root entry (key of the LID alone, plus up to 3 bytes)
// holds a reference count and the total size (u32 LE at data bytes 4-7).
// A chunk stored shorter than the room it must fill is compressed.
//
// Values are found by one walk of the tree: descend through the first entry
// of each branch page to the leftmost leaf, then follow the leaf chain,
// scanning entries in order until a key greater than the LID.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "catalog/table_info.h"
#include "page/page_source.h"
#include "record/record.h"
#include "utils/bytes.h"

namespace pellumo {

struct LongValueId {
  bool wide = false;       // a 64-bit LID
  std::uint64_t lid = 0;
};

// The LID a reference names; nullopt for a reference shorter than 4 bytes.
std::optional<LongValueId> parse_long_value_reference(Bytes reference);

// The root page of the table's long-value tree: that of the first tree the
// catalog lists for it; nullopt when it lists none.
std::optional<std::uint32_t> long_value_root(const TableInfo& table);

// One chunk found for a value: its offset and its stored bytes (borrowing
// the mapped file).
struct LongValueChunk {
  std::uint32_t offset;
  Bytes data;
};

// Joins the chunks of one value into `out`: chunks ordered by offset (equal
// offsets in the order found), a chunk shorter than the distance to the next
// one (to `total_size` for the last) decompressed first, the result cut to
// `total_size` when it is longer. Gaps and overlaps are kept as they are.
void assemble_long_value(std::vector<LongValueChunk>& chunks, std::optional<std::uint32_t> total_size,
                         std::string& out);

// One leaf entry of a long-value tree as a walk meets it.
struct LongValueTreeEntry {
  std::uint8_t key[12];  // the first 12 bytes of the full key (page prefix part, then local key), zero-padded
  std::size_t key_len;   // of the full key
  Bytes data;            // borrows the mapped file
};

// Walks the tree rooted at `root` in key order: descends through the first
// entry of each branch page to the leftmost leaf, then follows the leaf
// chain, calling visit for every entry whose full key has at least 4 bytes
// until visit returns false or the chain ends (page 0, past the page count,
// a page seen before, an unreadable or non-leaf page). Returns false, having
// visited nothing, when a page of the descent cannot be read.
bool walk_long_value_tree(const PageSource& pages, std::uint32_t root,
                          const std::function<bool(const LongValueTreeEntry&)>& visit);

// Every entry of the long-value tree that a lookup can meet, in walk order,
// with positions and views instead of copies; built once and then answers
// each LID with what a scan from the leftmost leaf would find: the entries
// with that LID that come before the first entry whose key is greater.
class LongValueIndex {
 public:
  // Reads the tree of `table`. Never fails: a tree whose root cannot be read
  // answers every lookup with "cannot fetch", one without a tree with
  // empty values. Borrows the mapped file.
  static LongValueIndex build(const PageSource& pages, const TableInfo& table);

  // The bytes of the value `reference` names, into `out` (replaced). False
  // when the value cannot be fetched (the reference is then kept as it is).
  bool fetch(Bytes reference, std::string& out) const;

  std::size_t entry_count() const { return entries_.size(); }

 private:
  enum class State : std::uint8_t { NoTree, RootUnreadable, Ready };
  struct Entry {
    std::uint64_t key8;     // key bytes 0-7, big-endian, zero-padded
    const std::uint8_t* data;
    std::uint32_t size;
    std::uint32_t offset32;  // key bytes 4-7: chunk offset under a 32-bit LID
    std::uint32_t offset64;  // key bytes 8-11: chunk offset under a 64-bit LID
    std::uint32_t key_len;   // full key length, capped
  };

  State state_ = State::NoTree;
  std::vector<Entry> entries_;
  std::vector<std::uint64_t> running_max_;  // max key8 of entries [0, i]
  std::vector<std::uint32_t> by_key_;       // entry positions sorted by (key8, position)
  mutable std::vector<std::uint32_t> hits_;
  mutable std::vector<LongValueChunk> chunks_;
};

// Replaces each LongValue of `record` by the value fetched with `fetch`
// (a callable (Bytes reference, std::string& out) -> bool): Text decoded
// with the column's code page for text columns (Binary when the code page
// is unknown), Binary otherwise. A value that cannot be fetched is left.
template <class Fetch>
void resolve_long_values_with(Record& record, Fetch&& fetch);

// Detail of resolve_long_values_with: builds the new value from fetched bytes.
void set_resolved_value(const ColumnInfo& column, std::string& fetched, ColumnValue& out);

template <class Fetch>
void resolve_long_values_with(Record& record, Fetch&& fetch) {
  std::string fetched;
  for (std::size_t i = 0; i < record.size(); ++i) {
    ColumnValue& v = record.value(i);
    if (v.kind() != ValueKind::LongValue) continue;
    if (!fetch(v.bytes(), fetched)) continue;  // unresolvable: the reference stays
    set_resolved_value(record.layout().column(i), fetched, v);
  }
}

}  // namespace pellumo
