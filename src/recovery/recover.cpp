#include "recovery/recover.h"

#include "recovery/fields.h"
#include <algorithm>
#include <cstring>
#include <functional>

#include "database/database.h"
#include "page/branch.h"
#include "page/used_space.h"

namespace pellumo {

using recovery_detail::u16;
using recovery_detail::u32;
using recovery_detail::u32_be;
namespace {

constexpr const char* kSourceNames[kRecoverySourceCount] = {"deleted_node", "hole",      "tail",         "stale_tag",
                                                            "emptied_page", "free_page", "dropped_table"};
// Under the large-page layout a node's first size word carries the tag
// flags in its top three bits.
constexpr std::uint16_t kLargeNodeSizeMask = 0x1FFF;
constexpr std::uint16_t kKeySizeMask = 0x7FFF;
constexpr std::uint16_t kMaxSlots = 0x0FFF;
// How far before a record the search for its node's key looks.
constexpr std::size_t kMaxKeyScan = 1024;

std::uint64_t hash_bytes(Bytes b) {
  return std::hash<std::string_view>{}(std::string_view(reinterpret_cast<const char*>(b.data()), b.size()));
}

// A hash of a record's values, agreeing with ColumnValue's ==: records
// equal in every column hash alike, whatever bytes they were decoded from.
std::uint64_t hash_values(const Record& record) {
  std::uint64_t h = 0xcbf29ce484222325ull;
  auto mix = [&h](std::uint64_t v) {
    h ^= v + 0x9e3779b97f4a7c15ull + (h << 6) + (h >> 2);
  };
  for (std::size_t i = 0; i < record.size(); ++i) {
    const ColumnValue& v = record.value(i);
    mix(static_cast<std::uint64_t>(v.kind()));
    switch (v.kind()) {
      case ValueKind::Null: break;
      case ValueKind::Guid: mix(hash_bytes(Bytes(v.as_guid().data(), v.as_guid().size()))); break;
      case ValueKind::Binary:
      case ValueKind::Text:
      case ValueKind::MultiValue:
      case ValueKind::LongValue: mix(hash_bytes(v.bytes())); break;
      default: mix(v.as_unsigned()); break;
    }
  }
  return h;
}

bool same_values(const Record& a, const Record& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (!(a.value(i) == b.value(i))) return false;
  }
  return true;
}

// Whether `a` opens with all of `b`.
bool opens_with(Bytes a, Bytes b) { return a.size() >= b.size() && std::equal(b.begin(), b.end(), a.begin()); }

// A node of a page as it stands there (recovery reports file offsets, so
// it never reads copies); nullopt for an unreadable or empty tag.
std::optional<Tag> raw_node(const TagExtractor& tags, std::size_t i) {
  auto tag = tags.extract_tag(static_cast<std::uint16_t>(i));
  if (!tag || tag->data.empty()) return std::nullopt;
  return *tag;
}

// A leaf node's parts, all borrowing the page.
struct NodeParts {
  std::optional<std::size_t> common;  // bytes of the key taken from the page prefix
  Bytes suffix;
  Bytes data;
};

std::optional<NodeParts> split_node(std::uint8_t flags, Bytes node, bool large) {
  NodeParts parts;
  std::size_t p = 0;
  bool first_word = true;
  auto size_word = [&](std::size_t at) {
    const std::uint16_t w = u16(node, at);
    const std::uint16_t mask = (large && first_word) ? kLargeNodeSizeMask : kKeySizeMask;
    first_word = false;
    return static_cast<std::size_t>(w & mask);
  };
  if (flags & kTagFlagCommonKey) {
    if (node.size() < 4) return std::nullopt;
    parts.common = size_word(0);
    p = 2;
  }
  if (!in_bounds(node, p, 2)) return std::nullopt;
  const std::size_t declared = size_word(p);
  p += 2;
  if (declared > node.size() - p) return std::nullopt;  // a key running past the node: not a node
  parts.suffix = node.subspan(p, declared);
  parts.data = node.subspan(p + declared);
  return parts;
}

void full_key(const NodeParts& parts, Bytes prefix, std::string& out) {
  out.clear();
  if (parts.common) {
    append_bytes(out, prefix.first(std::min(*parts.common, prefix.size())));
  }
  append_bytes(out, parts.suffix);
}

}  // namespace

const char* recovery_source_name(RecoverySource source) {
  return kSourceNames[static_cast<unsigned>(source)];
}

std::optional<RecoverySource> recovery_source_from_name(std::string_view name) {
  for (unsigned i = 0; i < kRecoverySourceCount; ++i) {
    if (name == kSourceNames[i]) return static_cast<RecoverySource>(i);
  }
  return std::nullopt;
}

const char* recovery_status_name(RecoveryStatus status) {
  switch (status) {
    case RecoveryStatus::Deleted: return "deleted";
    case RecoveryStatus::Superseded: return "superseded";
    case RecoveryStatus::Unkeyed: return "unkeyed";
    case RecoveryStatus::Dropped: return "dropped";
  }
  return "unkeyed";
}

RecoveryScanner::RecoveryScanner(const Database& db, const TableInfo& table, unsigned sources)
    : db_(&db),
      table_(&table),
      sources_(sources),
      layout_(std::make_shared<const RecordLayout>(table)),
      check_(*layout_, db.large_page_tag_format()),
      parser_(layout_, db.large_page_tag_format()),
      record_(layout_),
      large_(db.large_page_tag_format()),
      live_scratch_(layout_) {}

Result<std::unique_ptr<RecoveryScanner>> RecoveryScanner::open(const Database& db, const std::string& name,
                                                               unsigned sources,
                                                               std::shared_ptr<const DroppedTables> dropped) {
  const TableInfo* table = db.tables().find(name);
  if (!table) return EseError::table_not_found(name);
  std::unique_ptr<RecoveryScanner> scanner(new RecoveryScanner(db, *table, sources));
  scanner->damage_.file_pages = db.total_pages();
  auto root = db.read_page(table->root_page);
  if (!root) {
    // Without its root the tree's owner is unknown: nothing can be told apart.
    scanner->damage_.refuse(table->root_page, Refusal::OutOfRange);
    scanner->next_page_ = 0;
    return scanner;
  }
  // Every page of the table's tree carries the tree's object id.
  scanner->object_id_ = root->object_id();
  if (sources & kDefaultRecoverySources) {
    scanner->key_ = find_fixed_primary_key(db, scanner->object_id_, table->root_page, *scanner->layout_);
    scanner->walk_live_tree();
    if (sources & recovery_source_bit(RecoverySource::FreePage)) scanner->available_ = collect_available_pages(db);
  } else {
    scanner->next_page_ = 0;  // nothing of its own pages is wanted
  }
  if (sources & recovery_source_bit(RecoverySource::DroppedTable)) {
    if (!dropped) dropped = DroppedTables::find(db, false);
    scanner->twins_ = dropped->twins_of(name);
    scanner->dropped_tables_ = std::move(dropped);
  }
  return scanner;
}

std::unique_ptr<RecoveryScanner> RecoveryScanner::open_dropped(const Database& db,
                                                               std::shared_ptr<const DroppedTables> dropped,
                                                               const DroppedTable& table) {
  std::unique_ptr<RecoveryScanner> scanner(new RecoveryScanner(db, *table.table, kDefaultRecoverySources));
  scanner->dropped_ = true;
  scanner->object_id_ = table.objid;
  scanner->key_ = table.key;
  scanner->long_value_objid_ = table.long_value_objid;
  scanner->dropped_tables_ = std::move(dropped);  // owns `table`
  // Without columns no candidate can pass: nothing to scan.
  if (table.schema == DroppedSchema::None) scanner->next_page_ = 0;
  return scanner;
}

// Not through TreeWalker, on purpose: the walker refuses a page failing
// its checksum, and an emptied page a branch still names, and leaves out
// their nodes. Recovery must hold both for live: a torn page's nodes are
// still the live records whose copies elsewhere are not recoveries, and
// its deleted nodes and holes are still to be scanned. Routing this walk
// through the walker needs a refusal policy that admits these pages (told,
// so that damage() still counts them) and keeps every other check; until
// the walker has one, this loop keeps the checks recovery can afford:
// pages in the file, each once, of the table's own object.
void RecoveryScanner::walk_live_tree() {
  std::vector<std::uint32_t> stack{table_->root_page};
  std::unordered_set<std::uint32_t> visited;
  std::string key;
  while (!stack.empty()) {
    const std::uint32_t number = stack.back();
    stack.pop_back();
    if (number == 0 || number > db_->total_pages()) {
      damage_.refuse(number, Refusal::OutOfRange);
      continue;
    }
    if (!visited.insert(number).second) {
      damage_.refuse(number, Refusal::Revisit);
      continue;
    }
    auto page = db_->read_page(number);
    if (!page) {
      damage_.refuse(number, Refusal::OutOfRange);
      continue;
    }
    if (page->object_id() != object_id_) {  // a link out of the tree is damage
      damage_.refuse(number, Refusal::ForeignOwner);
      continue;
    }
    TagExtractor tags(*page, db_->format_version(), db_->format_revision(), db_->page_size());
    const std::size_t count = std::min<std::size_t>(page->stored_tag_count(), tags.tag_count());
    if (!page->is_leaf()) {
      for (std::size_t i = page->first_entry_tag(); i < count; ++i) {
        auto tag = tags.read_entry_tag(static_cast<std::uint16_t>(i), tag_scratch_);
        if (!tag) continue;
        auto child = BranchEntry::parse_child(tag->flags, tag->data);
        if (child) stack.push_back(*child);
      }
      continue;
    }
    if (!page->is_table_leaf()) continue;
    live_pages_.insert(number);
    const Bytes prefix = page_key_prefix(*page, tags);
    for (std::size_t i = page->first_entry_tag(); i < count; ++i) {
      auto node = raw_node(tags, i);
      if (!node || (node->flags & kTagFlagDeleted)) continue;  // a deleted node is not live
      auto parts = split_node(node->flags, node->data, large_);
      if (!parts) continue;
      full_key(*parts, prefix, key);
      live_keys_.push_back(std::hash<std::string_view>{}(key));
      const Bytes data = parts->data;
      live_records_.push_back({hash_bytes(data.first(RecordCheck::tagged_start(data))), data});
    }
  }
  std::sort(live_keys_.begin(), live_keys_.end());
  std::sort(live_records_.begin(), live_records_.end(),
            [](const LiveRecord& a, const LiveRecord& b) { return a.hash < b.hash; });
}

bool RecoveryScanner::is_live_key(std::string_view key) const {
  return std::binary_search(live_keys_.begin(), live_keys_.end(), std::hash<std::string_view>{}(key));
}

RecoveryStatus RecoveryScanner::status_of(std::string_view key) const {
  return is_live_key(key) ? RecoveryStatus::Superseded : RecoveryStatus::Deleted;
}

bool RecoveryScanner::is_live_copy(Bytes candidate, bool exact) const {
  const std::uint64_t h = hash_bytes(candidate.first(RecordCheck::tagged_start(candidate)));
  auto it = std::lower_bound(live_records_.begin(), live_records_.end(), h,
                             [](const LiveRecord& r, std::uint64_t v) { return r.hash < v; });
  for (; it != live_records_.end() && it->hash == h; ++it) {
    const LiveRecord& live = *it;
    if (exact) {
      if (live.bytes.size() == candidate.size() && opens_with(candidate, live.bytes)) return true;
    } else if (opens_with(candidate, live.bytes)) {
      // A record found in free space may run on into other bytes: one that
      // opens with a live record's bytes is that record's copy. One that is
      // only a start of a live record is an older, shorter version of it.
      return true;
    }
  }
  return false;
}

std::uint64_t RecoveryScanner::file_offset(Bytes part) const {
  // Every view the scan holds lies inside the mapping.
  return static_cast<std::uint64_t>(std::distance(db_->mapped().data(), part.data()));
}

bool RecoveryScanner::already_recovered(Bytes candidate) {
  const std::uint64_t offset = file_offset(candidate);
  if (!recovered_offsets_.insert(offset).second) return true;
  const std::uint64_t h = hash_bytes(candidate);
  const auto range = recovered_.equal_range(h);
  for (auto it = range.first; it != range.second; ++it) {
    if (it->second.size() == candidate.size() && opens_with(candidate, it->second)) {
      return true;
    }
  }
  recovered_.emplace(h, candidate);
  return false;
}

void RecoveryScanner::consider_node(std::uint32_t number, Bytes page, std::size_t data_at, std::uint8_t flags,
                                    Bytes node, Bytes prefix, RecoverySource source, std::vector<Pending>& found) {
  (void)page;
  (void)data_at;
  auto parts = split_node(flags, node, large_);
  if (!parts || parts->data.size() < kRecordHeaderSize) return;
  const Bytes record = parts->data;
  if (!check_.plausible_header(record)) return;
  ++stats_.candidates;
  if (!check_.check(record, true)) {
    ++stats_.rejected;
    return;
  }
  RecoveryStatus status = RecoveryStatus::Unkeyed;
  std::string node_key;
  full_key(*parts, prefix, node_key);
  const bool whole_key = !parts->common || *parts->common <= prefix.size();
  if (key_ && build_fixed_key(*key_, *layout_, record, large_, key_scratch_)) {
    // The node's own key must be the one its values give.
    const std::string& rebuilt = key_scratch_;
    const std::size_t suffix = parts->suffix.size();
    const bool suffix_ok = rebuilt.size() >= suffix &&
                           matches_at(parts->suffix, 0, std::string_view(rebuilt).substr(rebuilt.size() - suffix)) &&
                           rebuilt.size() == parts->common.value_or(0) + suffix;
    if (!suffix_ok || (whole_key && node_key != rebuilt)) {
      ++stats_.rejected;
      return;
    }
    status = status_of(rebuilt);
  } else if (whole_key) {
    status = status_of(node_key);
  }
  take(number, record, true, status, source, found);
}

void RecoveryScanner::take(std::uint32_t number, Bytes record, bool exact, RecoveryStatus status,
                           RecoverySource source, std::vector<Pending>& found) {
  if (is_live_copy(record, exact)) {
    ++stats_.live_copies;
    return;
  }
  if (already_recovered(record)) {
    ++stats_.duplicates;
    return;
  }
  Pending p;
  p.info.status = dropped_ ? RecoveryStatus::Dropped : status;
  p.info.source = dropped_ ? RecoverySource::DroppedTable : source;
  p.info.objid = object_id_;
  p.info.page = number;
  p.info.offset = file_offset(record);
  p.info.size = static_cast<std::uint32_t>(record.size());
  p.bytes = record;
  found.push_back(p);
}

std::optional<std::size_t> RecoveryScanner::live_node_before(Bytes page, std::size_t begin, std::size_t at,
                                                              Bytes prefix) {
  std::string& key = key_scratch_;
  const std::size_t reach = std::min<std::size_t>(at - begin, kMaxKeyScan);
  for (std::size_t s = 0; s + 2 <= reach; ++s) {
    const std::size_t q = at - s;
    if ((u16(page, q - 2) & kKeySizeMask) != s) continue;
    key = to_byte_string(page.subspan(q, s));
    if (is_live_key(key)) return q - 2;
    if (s + 4 <= reach) {
      const std::size_t common = u16(page, q - 4) & kLargeNodeSizeMask;
      if (common == 0 || common > prefix.size()) continue;
      key.insert(0, to_byte_string(prefix.first(common)));
      if (is_live_key(key)) return q - 4;
    }
  }
  return std::nullopt;
}

std::optional<std::size_t> RecoveryScanner::node_keyed_before(Bytes page, std::size_t begin, std::size_t at,
                                                               std::string_view key, Bytes prefix) {
  // The node's key comes right before the record: its size word, the part
  // of the key the node stores, and before that, when the rest comes from
  // the page prefix, the size of that part.
  const std::size_t k = key.size();
  for (std::size_t s = k + 1; s-- > 0;) {
    if (at < begin + s + 2) continue;
    const std::size_t q = at - s;
    if (!matches_at(page, q, key.substr(k - s))) continue;
    const std::uint16_t word = u16(page, q - 2);
    if (s == k && (word & kLargeNodeSizeMask) == s) return q - 2;
    if (s < k && (word & kKeySizeMask) == s && q >= begin + 4 && (u16(page, q - 4) & kLargeNodeSizeMask) == k - s &&
        (prefix.size() < k - s || matches_at(prefix, 0, key.substr(0, k - s)))) {
      return q - 4;
    }
  }
  return std::nullopt;
}

void RecoveryScanner::scan_region(std::uint32_t number, Bytes page, std::size_t begin, std::size_t end, Bytes prefix,
                                  RecoverySource source, std::vector<Pending>& found) {
  end = std::min(end, page.size());
  if (begin >= end || end - begin < kRecordHeaderSize) return;
  struct Candidate {
    std::size_t node_start;
    std::size_t at;
    RecoveryStatus status;
  };
  std::vector<Candidate> candidates;
  for (std::size_t at = begin; at + kRecordHeaderSize <= end; ++at) {
    const Bytes room = page.subspan(at, end - at);
    if (!check_.plausible_header(room)) continue;
    ++stats_.candidates;
    if (!check_.check(room, false)) {
      ++stats_.rejected;
      continue;
    }
    if (!key_ || !build_fixed_key(*key_, *layout_, room, large_, key_scratch_)) {
      // The key cannot be rebuilt, but an older version of a live record
      // still sits behind its node's key, which is a live one.
      if (auto node_start = live_node_before(page, begin, at, prefix)) {
        candidates.push_back({*node_start, at, RecoveryStatus::Superseded});
      } else {
        candidates.push_back({at, at, RecoveryStatus::Unkeyed});
      }
      continue;
    }
    const std::string rebuilt = key_scratch_;
    auto node_start = node_keyed_before(page, begin, at, rebuilt, prefix);
    if (!node_start) {
      ++stats_.rejected;
      continue;
    }
    candidates.push_back({*node_start, at, status_of(rebuilt)});
  }
  std::size_t covered = begin;
  for (std::size_t i = 0; i < candidates.size(); ++i) {
    const Candidate& c = candidates[i];
    if (c.at < covered) {
      ++stats_.rejected;  // inside the bytes of a record already taken
      continue;
    }
    // A record in free space ends, at the latest, where the next node begins.
    const std::size_t fixed_end = c.at + RecordCheck::tagged_start(page.subspan(c.at, end - c.at));
    std::size_t room_end = end;
    for (std::size_t j = i + 1; j < candidates.size(); ++j) {
      if (candidates[j].node_start >= fixed_end) {
        room_end = candidates[j].node_start;
        break;
      }
    }
    auto length = check_.check(page.subspan(c.at, room_end - c.at), false);
    if (!length) {
      ++stats_.rejected;
      continue;
    }
    covered = c.at + *length;
    take(number, page.subspan(c.at, *length), false, c.status, source, found);
  }
}

void RecoveryScanner::scan_page(std::uint32_t number) {
  auto bytes = db_->page_bytes(number);
  if (!bytes || bytes->size() < kPageHeaderSize) return;
  // Cheap tests on the raw header first: most pages belong to other trees.
  if (u32(*bytes, kOffsetObjectId) != object_id_) return;
  auto parsed = Page::parse(*bytes, db_->format_version(), db_->format_revision(), db_->page_size());
  if (!parsed || !parsed->is_table_leaf()) return;
  const Page& page = *parsed;
  const bool emptied = (page.page_flags() & kPageFlagEmpty) != 0;
  // Every page a dropped table still owns is read as its tree's pages are.
  const bool live = dropped_ ? !emptied : live_pages_.count(number) != 0;
  if (!live && !emptied && !available_.contains(number)) return;  // neither in the tree nor given up
  ++stats_.pages_scanned;

  const Bytes b = page.bytes();
  const std::size_t header = page.header_size();
  const std::size_t size = b.size();
  const std::size_t mic = std::min(size, header + page.first_available_data_offset());
  // Slots live at the page's end, below the data: one lying inside the
  // data area is data, not a slot.
  const std::size_t slot_room = size > mic ? (size - mic) / 4 : 0;
  const std::size_t slots = std::min<std::size_t>(slot_room, kMaxSlots);
  const std::size_t count = std::min<std::size_t>(page.stored_tag_count(), slots);
  const std::size_t first = page.first_entry_tag();
  const Bytes prefix =
      page_key_prefix(page, TagExtractor(page, db_->format_version(), db_->format_revision(), db_->page_size()));
  // Slots past the tag count are read too: removed nodes may keep theirs.
  const TagExtractor tags(page, db_->format_version(), db_->format_revision(), db_->page_size(),
                          static_cast<std::uint16_t>(slots));
  std::vector<Pending> found;

  auto wants = [&](RecoverySource s) { return (sources_ & recovery_source_bit(s)) != 0; };

  if (live) {
    std::vector<ByteRange> used;
    used_ranges(tags, count, used);
    auto overlaps_used = [&](const Tag& n) {
      for (const ByteRange& r : used) {
        if (n.at < r.end && r.begin < n.at + n.data.size()) return true;
      }
      return false;
    };
    for (std::size_t i = first; i < count; ++i) {
      auto node = raw_node(tags, i);
      // Of a dropped table, every node is a record; of a live one, those
      // flagged deleted.
      if (!node || !(dropped_ || (node->flags & kTagFlagDeleted))) continue;
      // Its bytes are the node's own, so they are no hole either.
      if (wants(RecoverySource::DeletedNode)) {
        consider_node(number, b, node->at, node->flags, node->data, prefix, RecoverySource::DeletedNode, found);
      }
    }
    if (wants(RecoverySource::StaleTag)) {
      for (std::size_t i = std::max<std::size_t>(count, first); i < slots; ++i) {
        auto node = raw_node(tags, i);
        if (!node || overlaps_used(*node)) continue;
        consider_node(number, b, node->at, node->flags, node->data, prefix, RecoverySource::StaleTag, found);
      }
    }
    if (wants(RecoverySource::Hole)) {
      for_each_unused(used, header, mic, [&](std::size_t begin, std::size_t end) {
        scan_region(number, b, begin, end, prefix, RecoverySource::Hole, found);
        return true;
      });
    }
    if (wants(RecoverySource::Tail)) {
      const std::size_t tail = used.empty() ? mic : std::max(mic, used.back().end);
      scan_region(number, b, tail, size - 4 * count, prefix, RecoverySource::Tail, found);
    }
  } else {
    const RecoverySource source = emptied ? RecoverySource::EmptiedPage : RecoverySource::FreePage;
    if (!wants(source)) return;
    // The count of an emptied page is 0 or 1, but its slots stay: read them
    // until a slot would lie inside the data the slots before it point at.
    std::size_t data_end = header;
    for (std::size_t i = first; i < slots; ++i) {
      if (size - 4 * (i + 1) < data_end) break;
      auto node = raw_node(tags, i);
      if (!node) continue;
      data_end = std::max(data_end, node->at + node->data.size());
      if (size - 4 * (i + 1) < data_end) break;  // a "slot" made of record bytes
      consider_node(number, b, node->at, node->flags, node->data, prefix, source, found);
    }
    scan_region(number, b, header, size - 4 * std::max<std::size_t>(count, 1), prefix, source, found);
  }
  for (Pending& p : found) queue_.push_back(p);
}

NodeFit fit_nodes(const Database& db, const std::vector<std::uint32_t>& pages, const RecordLayout& layout,
                  const std::optional<PrimaryKey>& key) {
  NodeFit fit;
  const bool large = db.large_page_tag_format();
  const RecordCheck check(layout, large);
  std::string node_key, rebuilt;
  for (std::uint32_t number : pages) {
    auto page = db.read_page(number);
    if (!page || !page->is_table_leaf()) continue;
    TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    const Bytes b = page->bytes();
    const Bytes prefix = page_key_prefix(*page, tags);
    const std::size_t header = page->header_size();
    const std::size_t mic = std::min(b.size(), header + page->first_available_data_offset());
    const std::size_t slots = std::min<std::size_t>(b.size() > mic ? (b.size() - mic) / 4 : 0, kMaxSlots);
    const std::size_t count = std::min<std::size_t>(page->stored_tag_count(), slots);
    const bool emptied = (page->page_flags() & kPageFlagEmpty) != 0;
    // The slots in use; on an emptied page, the slots left behind, as
    // recovery reads them (until one would lie inside the data before it).
    const std::size_t end = emptied ? slots : count;
    std::size_t data_end = header;
    for (std::size_t i = page->first_entry_tag(); i < end; ++i) {
      if (emptied && b.size() - 4 * (i + 1) < data_end) break;
      auto node = raw_node(tags, i);
      if (!node) continue;
      if (emptied) {
        data_end = std::max(data_end, node->at + node->data.size());
        if (b.size() - 4 * (i + 1) < data_end) break;
      }
      auto parts = split_node(node->flags, node->data, large);
      if (!parts || parts->data.size() < kRecordHeaderSize) continue;
      ++fit.nodes;
      if (!check.check(parts->data, true)) continue;
      // Where the key is over fixed columns, the node's key is the one its
      // values give.
      if (key && build_fixed_key(*key, layout, parts->data, large, rebuilt)) {
        const bool whole = !parts->common || *parts->common <= prefix.size();
        full_key(*parts, prefix, node_key);
        if (whole ? node_key != rebuilt : !std::string_view(rebuilt).ends_with(as_chars(parts->suffix))) continue;
      }
      ++fit.fitting;
    }
  }
  return fit;
}

std::vector<Bytes> RecoveryScanner::live_records() const {
  std::vector<Bytes> out;
  out.reserve(live_records_.size());
  for (const LiveRecord& live : live_records_) out.push_back(live.bytes);
  std::sort(out.begin(), out.end(), [](Bytes a, Bytes b) { return std::less<>()(a.data(), b.data()); });
  return out;
}

bool RecoveryScanner::advance() {
  if (!own_done_) {
    if (advance_own()) return true;
    own_done_ = true;
  }
  while (true) {
    if (twin_ && twin_->advance()) return true;
    if (next_twin_ >= twins_.size()) {
      twin_.reset();
      return false;
    }
    twin_ = open_dropped(*db_, dropped_tables_, *twins_[next_twin_++]);
  }
}

bool RecoveryScanner::advance_own() {
  if (has_current_) {
    queue_.pop_front();
    has_current_ = false;
  }
  while (true) {
    while (queue_.empty()) {
      if (next_page_ == 0 || next_page_ > db_->total_pages()) return false;
      scan_page(next_page_++);
    }
    if (decode(queue_.front())) break;
    queue_.pop_front();
  }
  has_current_ = true;
  return true;
}

bool RecoveryScanner::equals_live_record(const Record& record) {
  if (!live_values_made_) {
    live_values_made_ = true;
    live_values_.reserve(live_records_.size());
    for (std::size_t i = 0; i < live_records_.size(); ++i) {
      parser_.decode(live_records_[i].bytes, live_scratch_);
      live_values_.emplace_back(hash_values(live_scratch_), i);
    }
    std::sort(live_values_.begin(), live_values_.end());
  }
  const std::uint64_t h = hash_values(record);
  auto it = std::lower_bound(live_values_.begin(), live_values_.end(), std::make_pair(h, std::size_t{0}));
  for (; it != live_values_.end() && it->first == h; ++it) {
    parser_.decode(live_records_[it->second].bytes, live_scratch_);
    if (same_values(record, live_scratch_)) return true;
  }
  return false;
}

bool RecoveryScanner::decode(const Pending& pending) {
  parser_.decode(pending.bytes, record_);
  // Bytes that differ from every live record's can still hold one's values
  // (a merge leaves a copy whose last tagged value runs on into the bytes
  // after it): that is the live record, not a recovery. Long values are
  // compared by reference, before they are fetched.
  if (equals_live_record(record_)) {
    ++stats_.live_copies;
    return false;
  }
  bool any = false;
  for (std::size_t i = 0; i < record_.size() && !any; ++i) any = record_.value(i).kind() == ValueKind::LongValue;
  if (!any) return true;
  if (!long_values_) long_values_ = std::make_unique<LongValueReader>(*db_, *table_, long_value_objid_);
  LongValueReader& index = *long_values_;
  // A value the tree no longer holds comes back empty: that is no value.
  resolve_long_values_with(record_, [&](Bytes reference, std::string& out) {
    return index.fetch(reference, out) && !out.empty();
  });
  for (std::size_t i = 0; i < record_.size(); ++i) {
    if (record_.value(i).kind() == ValueKind::LongValue) record_.value(i).set_null();
  }
  return true;
}

}  // namespace pellumo
