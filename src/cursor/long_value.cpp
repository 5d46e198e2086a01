#include "cursor/long_value.h"

#include <algorithm>
#include <cstring>

#include "page/leaf.h"
#include "page/tag.h"
#include "record/decompress.h"
#include "utils/decode_string.h"

namespace pellumo {
namespace {

constexpr std::size_t kLid32KeySize = 4;
constexpr std::size_t kLid64KeySize = 8;
constexpr std::size_t kRootSizeEnd = 8;  // root data: u32 reference count, u32 total size

// Calls visit(const LongValueTreeEntry&) for every entry of leaf page `page`
// from tag `from` on whose full key has at least 4 bytes, in tag order,
// until visit returns false; returns false when it did. `tag_of`, when
// given, is told the tag of each entry visited.
template <class Visit>
bool scan_leaf(const TagExtractor& tags, const Page& page, ByteVector& scratch, Visit&& visit, std::uint16_t from = 0,
               std::uint16_t* tag_of = nullptr) {
  if (!page.is_leaf()) return true;
  const Bytes prefix = page_key_prefix(page, tags);
  const std::uint16_t count = tags.tag_count();
  for (std::uint16_t i = std::max(from, page.first_entry_tag()); i < count; ++i) {
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
    // The entry's data is the tail of the tag. Under the large-page format
    // the tag was copied to clear its flag bits (in byte 1, before the
    // data): the data is taken from the page instead, so that it outlives
    // the next tag read.
    auto data = slice(page.bytes(), tag->at + (tag->data.size() - entry->data.size()), entry->data.size());
    if (!data) continue;
    e.data = *data;
    if (tag_of) *tag_of = i;
    if (!visit(static_cast<const LongValueTreeEntry&>(e))) return false;
  }
  return true;
}

// Big-endian key word at `at` (0, 4 or 8) of the 12 key bytes a walk keeps.
std::uint32_t key_word(const LongValueTreeEntry& e, std::size_t at) { return read_u32_be(Bytes(e.key), at).value_or(0); }

// Whether `bound` is greater than every key that opens with `wanted`.
bool above_every_key_of(const std::optional<ByteVector>& bound, Bytes wanted) {
  if (!bound) return false;
  const std::size_t n = std::min(bound->size(), wanted.size());
  const int c = n == 0 ? 0 : std::memcmp(bound->data(), wanted.data(), n);
  // A bound that opens with the LID (or is a start of it) may still have
  // keys of the LID after it.
  return c > 0;
}

void search_key(const LongValueId& id, std::uint8_t out[8]) {
  const int width = id.wide ? 8 : 4;
  for (int i = 0; i < width; ++i) out[i] = static_cast<std::uint8_t>(id.lid >> (8 * (width - 1 - i)));
}

// Collects the root entry and chunks of one LID from entries in key order;
// returns false at the first entry past the LID.
struct ChunkCollector {
  std::uint8_t wanted[8];
  std::size_t width;
  std::vector<LongValueChunk>& chunks;
  std::optional<std::uint32_t>& total;

  bool operator()(const LongValueTreeEntry& e) const {
    // Keys compare as bytes; a key that is a proper prefix of the LID is smaller.
    const std::size_t n = std::min(e.key_len, width);
    const int c = std::memcmp(e.key, wanted, n);
    if (c > 0) return false;  // past the LID: the scan is over
    if (c < 0 || e.key_len < width) return true;
    if (e.key_len < width + 4) {
      if (auto size = read_u32_le(e.data, kRootSizeEnd - 4)) total = *size;
    } else {
      chunks.push_back(LongValueChunk{key_word(e, width), e.data});
    }
    return true;
  }
};

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
  TreeWalker::Options options;
  options.kind = TreeKind::LongValue;
  auto walker = TreeWalker::open(make_tree_source(pages), root, std::move(options));
  if (!walker) return false;
  ByteVector scratch;
  while (auto leaf = walker->next_leaf()) {
    if (!scan_leaf(pages.tags(leaf->page), leaf->page, scratch, visit)) break;
  }
  return true;
}

LongValueReader::LongValueReader(const PageSource& pages, const TableInfo& table,
                                 std::optional<std::uint32_t> object_id)
    : pages_(&pages) {
  root_ = long_value_root(table);
  if (!root_) return;
  TreeWalker::Options options;
  options.kind = TreeKind::LongValue;
  options.object_id = object_id;
  options.on_refusal = OnRefusal::Stop;
  options.cache = &cache_;
  options.leaf_bounds = true;
  // A branch entry that cannot be read on the way may hide part of a value.
  options.on_bad_entry = [flag = bad_entry_](std::uint32_t, std::uint16_t) { *flag = true; };
  auto walker = TreeWalker::open(make_tree_source(pages), *root_, std::move(options));
  if (walker) walker_.emplace(std::move(walker).value());
}

bool LongValueReader::fetch(Bytes reference, std::string& out) {
  out.clear();
  auto id = parse_long_value_reference(reference);
  if (!id || !root_) return true;  // an empty value
  if (!walker_) return false;      // the tree's root is refused
  chunks_.clear();
  std::optional<std::uint32_t> total;
  ChunkCollector collect{{}, id->wide ? kLid64KeySize : kLid32KeySize, chunks_, total};
  search_key(*id, collect.wanted);
  // Every key of this LID lies in [lo, hi] when cut to 8 bytes.
  const std::uint64_t lo = id->wide ? id->lid : id->lid << 32;
  const std::uint64_t hi = id->wide ? id->lid : lo | 0xFFFFFFFFu;
  // References come mostly in LID order, many to one leaf: when the leaf
  // read last begins below the LID and ends above it, every entry the seek
  // would find lies there, so it is read without a descent.
  if (hot_ && hot_keys_.front().first < lo && hot_keys_.back().first > hi) {
    // Entries before the first whose key reaches `lo` are below the LID.
    auto at = std::lower_bound(hot_keys_.begin(), hot_keys_.end(), lo,
                               [](const std::pair<std::uint64_t, std::uint16_t>& k, std::uint64_t v) {
                                 return k.first < v;
                               });
    scan_leaf(pages_->tags(hot_->page), hot_->page, scratch_, collect,
              at == hot_keys_.end() ? hot_keys_.back().second : at->second);
    assemble_long_value(chunks_, total, out);
    return true;
  }
  const Bytes wanted(collect.wanted, collect.width);
  *bad_entry_ = false;
  walker_->seek(wanted);
  std::optional<LeafPage> last;
  while (!walker_->stopped()) {
    auto leaf = walker_->next_leaf();
    if (!leaf) break;
    const bool more = scan_leaf(pages_->tags(leaf->page), leaf->page, scratch_, collect);
    last = std::move(leaf);
    if (!more) break;
    // The branch key above this leaf bounds its keys: when it lies past
    // every key of the LID, the value ends here, whatever the next page.
    if (above_every_key_of(walker_->leaf_bound(), wanted)) break;
  }
  // A page refused, or a branch entry unreadable, anywhere between the
  // descent and the end of the value may have held part of it: the value
  // is not given at all.
  if (walker_->stopped() || *bad_entry_) return false;
  if (last && (!hot_ || hot_->number != last->number)) remember_hot(std::move(*last));
  assemble_long_value(chunks_, total, out);
  return true;
}

void LongValueReader::remember_hot(LeafPage leaf) {
  hot_.reset();
  hot_keys_.clear();
  bool sorted = true;
  std::uint16_t tag = 0;
  scan_leaf(
      pages_->tags(leaf.page), leaf.page, scratch_,
      [&](const LongValueTreeEntry& e) {
        const std::uint64_t key8 = (static_cast<std::uint64_t>(key_word(e, 0)) << 32) | key_word(e, 4);
        if (!hot_keys_.empty() && key8 < hot_keys_.back().first) sorted = false;
        hot_keys_.emplace_back(key8, tag);
        return true;
      },
      0, &tag);
  // Only a leaf in key order can be searched by halving.
  if (hot_keys_.empty() || !sorted) {
    hot_keys_.clear();
    return;
  }
  hot_ = std::move(leaf);
}

}  // namespace pellumo
