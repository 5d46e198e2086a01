#include "cursor/long_value.h"

#include <algorithm>
#include <cstring>
#include <unordered_set>

#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"
#include "record/decompress.h"
#include "utils/decode_string.h"

namespace pellumo {
namespace {

constexpr std::size_t kLid32KeySize = 4;
constexpr std::size_t kLid64KeySize = 8;
constexpr std::size_t kRootSizeEnd = 8;  // root data: u32 reference count, u32 total size

// Descends from `root` through the first entry of each branch page. nullopt
// when a page on the way cannot be read; otherwise the page where the walk
// starts, which is not a leaf when the descent stopped early.
std::optional<std::uint32_t> descend_leftmost(const PageSource& pages, std::uint32_t root) {
  auto page = pages.read_page(root);
  if (!page) return std::nullopt;
  std::unordered_set<std::uint32_t> visited{root};
  std::uint32_t current = root;
  ByteVector scratch;
  while (!page->is_leaf()) {
    const TagExtractor tags = pages.tags(*page);
    const std::uint16_t first = page->first_entry_tag();
    if (tags.tag_count() <= first) break;
    auto tag = tags.read_entry_tag(first, scratch);
    if (!tag) break;
    auto child = BranchEntry::parse_child(tag->flags, tag->data);
    if (!child) break;
    if (!visited.insert(*child).second) break;  // a loop in the tree ends the descent
    auto next = pages.read_page(*child);
    if (!next) return std::nullopt;
    page = std::move(next);
    current = *child;
  }
  return current;
}

// Walks the leaf chain from `start`, calling visit(const LongValueTreeEntry&)
// for every entry whose full key has at least 4 bytes, in order, until visit
// returns false or the chain ends (page 0, past the file's page count, a
// page seen before, an unreadable or non-leaf page, a page linked to itself).
template <class Visit>
void walk_leaves(const PageSource& pages, std::uint32_t start, Visit&& visit) {
  std::unordered_set<std::uint32_t> visited;
  ByteVector scratch;
  std::uint32_t p = start;
  while (p != 0 && p <= pages.total_pages() && visited.insert(p).second) {
    auto page = pages.read_page(p);
    if (!page || !page->is_leaf()) return;
    const TagExtractor tags = pages.tags(*page);
    const bool large = tags.large_page_tag_format();
    // The page prefix is taken as stored, flag bits of byte 1 included.
    Bytes prefix;
    if (auto tag0 = tags.extract_tag(0)) prefix = tag0->data;
    const std::uint16_t count = tags.tag_count();
    for (std::uint16_t i = page->first_entry_tag(); i < count; ++i) {
      auto tag = tags.read_entry_tag(i, scratch);
      if (!tag) continue;  // an unreadable tag is skipped
      auto entry = LeafEntryView::parse(tag->flags, tag->data);
      if (!entry) continue;
      LongValueTreeEntry e;
      const std::size_t common =
          entry->common_key_size ? std::min<std::size_t>(*entry->common_key_size, prefix.size()) : 0;
      e.key_len = common + entry->local_key.size();
      if (e.key_len < kLid32KeySize) continue;
      // The first 12 key bytes: the shared prefix part, then the local key.
      std::memset(e.key, 0, sizeof e.key);
      const std::size_t from_prefix = std::min<std::size_t>(common, sizeof e.key);
      (void)copy_bytes(prefix, 0, e.key, from_prefix);
      const std::size_t local = std::min(sizeof e.key - from_prefix, entry->local_key.size());
      (void)copy_bytes(entry->local_key, 0, e.key + from_prefix, local);
      e.data = entry->data;
      if (large && !tag->data.empty()) {
        // The owned copy differs from the page only in byte 1 (the flag
        // bits), which lies before the data: point back into the page.
        // The data is the tail of the entry.
        auto raw = tags.extract_tag(i);
        if (!raw) continue;
        auto data = slice(raw->data, tag->data.size() - entry->data.size(), entry->data.size());
        if (!data) continue;
        e.data = *data;
      }
      if (!visit(static_cast<const LongValueTreeEntry&>(e))) return;
    }
    const std::uint32_t next = page->next_page();
    if (next == p) return;
    p = next;
  }
}

// Big-endian key word at `at` (0, 4 or 8) of the 12 key bytes a walk keeps.
std::uint32_t key_word(const LongValueTreeEntry& e, std::size_t at) { return read_u32_be(Bytes(e.key), at).value_or(0); }

}  // namespace

std::optional<LongValueId> parse_long_value_reference(Bytes ref) {
  // Bit 63 of an 8-byte reference marks a 64-bit LID.
  if (ref.size() == 8 && (read_u8(ref, 7).value_or(0) & 0x80) != 0) return LongValueId{true, *read_u64_le(ref, 0)};
  auto lid = read_u32_le(ref, 0);
  if (!lid) return std::nullopt;
  return LongValueId{false, *lid};
}

std::optional<std::uint32_t> long_value_root(const TableInfo& table) {
  if (table.long_values.empty()) return std::nullopt;
  return table.long_values[0].second.root_page;
}

void assemble_long_value(std::vector<LongValueChunk>& chunks, std::optional<std::uint32_t> total_size,
                         std::string& out) {
  out.clear();
  std::stable_sort(chunks.begin(), chunks.end(),
                   [](const LongValueChunk& a, const LongValueChunk& b) { return a.offset < b.offset; });
  std::string unpacked;
  for (std::size_t i = 0; i < chunks.size(); ++i) {
    const LongValueChunk& c = chunks[i];
    std::optional<std::uint64_t> room;
    if (i + 1 < chunks.size()) {
      room = chunks[i + 1].offset - c.offset;
    } else if (total_size && *total_size > c.offset) {
      room = *total_size - c.offset;
    }
    if (room && c.data.size() < *room && decompress_value(c.data, unpacked)) {
      out.append(unpacked);
    } else {
      append_bytes(out, c.data);
    }
  }
  if (total_size && out.size() > *total_size) out.resize(*total_size);
}

void set_resolved_value(const ColumnInfo& column, std::string& fetched, ColumnValue& out) {
  const bool text = column.column_type == ColumnType::Text || column.column_type == ColumnType::LongText;
  const std::uint32_t cp = column.codepage.value_or(kDefaultCodepage);
  if (text && is_known_codepage(cp)) {
    decode_string_into(as_bytes(fetched), cp, out.text_buffer());
  } else {
    out.byte_buffer(ValueKind::Binary).swap(fetched);
  }
}

bool walk_long_value_tree(const PageSource& pages, std::uint32_t root,
                          const std::function<bool(const LongValueTreeEntry&)>& visit) {
  auto start = descend_leftmost(pages, root);
  if (!start) return false;
  walk_leaves(pages, *start, visit);
  return true;
}

LongValueIndex LongValueIndex::build(const PageSource& pages, const TableInfo& table) {
  LongValueIndex index;
  auto root = long_value_root(table);
  if (!root) return index;
  const bool readable = walk_long_value_tree(pages, *root, [&](const LongValueTreeEntry& e) {
    Entry x;
    x.key8 = (static_cast<std::uint64_t>(key_word(e, 0)) << 32) | key_word(e, 4);
    x.data = e.data.data();
    x.size = static_cast<std::uint32_t>(e.data.size());
    x.offset32 = key_word(e, 4);
    x.offset64 = key_word(e, 8);
    x.key_len = static_cast<std::uint32_t>(std::min<std::size_t>(e.key_len, 0xFFFFFFFFu));
    index.entries_.push_back(x);
    return true;
  });
  index.state_ = readable ? State::Ready : State::RootUnreadable;
  const std::size_t n = index.entries_.size();
  index.running_max_.resize(n);
  std::uint64_t max = 0;
  for (std::size_t i = 0; i < n; ++i) index.running_max_[i] = max = std::max(max, index.entries_[i].key8);
  index.by_key_.resize(n);
  for (std::size_t i = 0; i < n; ++i) index.by_key_[i] = static_cast<std::uint32_t>(i);
  std::sort(index.by_key_.begin(), index.by_key_.end(), [&](std::uint32_t a, std::uint32_t b) {
    const std::uint64_t ka = index.entries_[a].key8, kb = index.entries_[b].key8;
    return ka != kb ? ka < kb : a < b;
  });
  return index;
}

bool LongValueIndex::fetch(Bytes reference, std::string& out) const {
  out.clear();
  auto id = parse_long_value_reference(reference);
  if (!id || state_ == State::NoTree) return true;  // an empty value
  if (state_ == State::RootUnreadable) return false;

  // A key is greater than the LID when its first 8 bytes (zero-padded) are
  // above `last`: the largest 8-byte key that still begins with the LID.
  const std::uint64_t first = id->wide ? id->lid : id->lid << 32;
  const std::uint64_t last = id->wide ? id->lid : first | 0xFFFFFFFFu;
  const std::size_t width = id->wide ? kLid64KeySize : kLid32KeySize;
  // The scan stops at the first entry greater than the LID.
  const std::size_t stop =
      static_cast<std::size_t>(std::upper_bound(running_max_.begin(), running_max_.end(), last) - running_max_.begin());

  hits_.clear();
  auto it = std::lower_bound(by_key_.begin(), by_key_.end(), first,
                             [&](std::uint32_t i, std::uint64_t k) { return entries_[i].key8 < k; });
  for (; it != by_key_.end() && entries_[*it].key8 <= last; ++it) {
    if (*it < stop && entries_[*it].key_len >= width) hits_.push_back(*it);
  }
  std::sort(hits_.begin(), hits_.end());

  chunks_.clear();
  std::optional<std::uint32_t> total;
  for (std::uint32_t i : hits_) {
    const Entry& e = entries_[i];
    const Bytes data(e.data, e.size);
    if (e.key_len < width + 4) {
      if (auto size = read_u32_le(data, kRootSizeEnd - 4)) total = *size;
    } else {
      chunks_.push_back(LongValueChunk{id->wide ? e.offset64 : e.offset32, data});
    }
  }
  assemble_long_value(chunks_, total, out);
  return true;
}

}  // namespace pellumo
