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
// A value is found as the engine seeks it: descend the long-value tree by
// key to the leaf where the LID's entries begin, then read entries in key
// order until a key greater than the LID. Pages are checked on the way; a
// value whose entries may sit on a refused page is not given at all.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "catalog/table_info.h"
#include "page/page_source.h"
#include "record/record.h"
#include "tree/tree_walker.h"
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

// Walks the whole tree rooted at `root` in key order, as every reader walks
// it (pages checked, a refused page skipped), calling visit for every entry
// whose full key has at least 4 bytes until visit returns false. Returns
// false, having visited nothing, when the root is refused.
bool walk_long_value_tree(const PageSource& pages, std::uint32_t root,
                          const std::function<bool(const LongValueTreeEntry&)>& visit);

// Resolves the references of one table, each by a seek in the long-value
// tree, as the engine seeks: descend by key (root key, then chunk keys) to
// the leaf where the LID's entries begin, then read entries in key order
// until a key greater than the LID. Pages are checked on the way. Borrows
// the page source; not for use from two threads.
class LongValueReader {
 public:
  // `object_id`: the owner every page of the tree must carry, when known
  // apart from the root page (a dropped table's tree, whose root may have
  // gone to another object); default: the root page's own.
  LongValueReader(const PageSource& pages, const TableInfo& table,
                  std::optional<std::uint32_t> object_id = std::nullopt);

  // The bytes of the value `reference` names, into `out` (replaced). False
  // when the value cannot be resolved: the tree's root or a page holding
  // (or possibly holding) its entries was refused, or a branch entry that
  // may lead to them cannot be read. A table without a
  // long-value tree, or a reference too short to name one, gives an empty
  // value.
  bool fetch(Bytes reference, std::string& out);

 private:
  const PageSource* pages_;
  std::optional<std::uint32_t> root_;
  PageCheckCache cache_;
  // Set when a lookup's walk meets a branch entry it cannot read (shared
  // with the walker's callback, so the reader may move).
  std::shared_ptr<bool> bad_entry_ = std::make_shared<bool>(false);
  std::optional<TreeWalker> walker_;
  ByteVector scratch_;
  std::vector<LongValueChunk> chunks_;
  // The leaf a lookup ended on, with the keys of its entries cut to 8 bytes
  // and their tags, in order.
  std::optional<LeafPage> hot_;
  std::vector<std::pair<std::uint64_t, std::uint16_t>> hot_keys_;

  void remember_hot(LeafPage leaf);
};

// Replaces each LongValue of `record` by the value fetched with `fetch`
// (a callable (Bytes reference, std::string& out) -> bool): Text decoded
// with the column's code page for text columns (Binary when the code page
// is unknown), Binary otherwise. A value that cannot be fetched is null.
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
    if (!fetch(v.bytes(), fetched)) {
      v.set_null();  // unresolved: no value, never a wrong or empty one
      continue;
    }
    set_resolved_value(record.layout().column(i), fetched, v);
  }
}

}  // namespace pellumo
