#include "database/check.h"

#include <unordered_map>

#include "catalog/parser.h"
#include "cursor/long_value.h"
#include "database/database.h"
#include "page/leaf.h"
#include "page/tag.h"
#include "record/parser.h"

namespace pellumo {
namespace {

// Walks one tree, filling `out`; calls on_entry(data) for every readable
// live entry of every leaf of the expected kind.
template <class OnEntry>
void walk_tree(const Database& db, TreeKind kind, std::optional<std::uint32_t> object_id, std::vector<bool>& reached,
               const std::function<bool()>& interrupted, TreeCheck& out, OnEntry&& on_entry) {
  TreeWalker::Options options;
  options.kind = kind;
  options.object_id = object_id;
  options.on_refused = [&](const RefusedPage& r) {
    out.refused.push_back(r);
    if (r.page < reached.size()) reached[r.page] = true;  // seen, and reported as refused
  };
  options.on_page = [&](std::uint32_t n, const Page&) {
    ++out.pages_visited;
    if (n < reached.size()) reached[n] = true;
  };
  options.on_bad_entry = [&](std::uint32_t, std::uint16_t) { ++out.unreadable_tags; };
  auto walker = TreeWalker::open(db.tree_source(), out.root_page, std::move(options));
  if (!walker) {
    out.error = walker.error().message();
    return;
  }
  out.object_id = walker->object_id();
  ByteVector scratch;
  std::size_t leaves = 0;
  while (auto leaf = walker->next_leaf()) {
    if (interrupted && ++leaves % 64 == 0 && interrupted()) return;
    const Page& page = leaf->page;
    const TagExtractor tags(page, db.format_version(), db.format_revision(), db.page_size());
    // The stored count: tags past the capped count are unreadable ones.
    const std::uint16_t count = std::max(tags.tag_count(), page.stored_tag_count());
    for (std::uint16_t i = page.first_entry_tag(); i < count; ++i) {
      auto tag = tags.read_entry_tag(i, scratch);
      if (!tag) {
        ++out.unreadable_tags;
        continue;
      }
      if (tag->flags & kTagFlagDeleted) {
        ++out.deleted_nodes;
        continue;
      }
      auto entry = LeafEntryView::parse(tag->flags, tag->data);
      if (!entry) {
        ++out.unreadable_tags;
        continue;
      }
      on_entry(entry->data);
    }
  }
}

}  // namespace

bool CheckReport::damaged() const {
  if (!shadow_header_matches) return true;
  for (const TreeCheck& t : trees) {
    if (t.damaged()) return true;
  }
  return false;
}

namespace {

// What the walks of one file share: the pages reached so far and the
// object ids of the trees walked (pages of other objects are no orphans).
struct CheckState {
  const Database& db;
  const std::function<bool()>& interrupted;
  std::vector<bool> reached;
  std::unordered_map<std::uint32_t, bool> known_objects;
};

TreeCheck tree_check(const char* kind, const std::string& name, const std::string& table, std::uint32_t root) {
  TreeCheck t;
  t.kind = kind;
  t.name = name;
  t.table = table;
  t.root_page = root;
  return t;
}

void add_tree(CheckState& state, CheckReport& report, TreeCheck t) {
  if (!t.error) state.known_objects[t.object_id] = true;
  report.trees.push_back(std::move(t));
}

// A table's own tree, each record decoded and its long values looked up.
void check_table_tree(CheckState& state, CheckReport& report, const std::string& name, const TableInfo& table) {
  const Database& db = state.db;
  TreeCheck t = tree_check("table", name, name, table.root_page);
  RecordParser parser(std::make_shared<const RecordLayout>(table), db.large_page_tag_format());
  Record record(parser.layout());
  std::optional<LongValueReader> long_values;
  std::string fetched;
  walk_tree(db, TreeKind::Table, std::nullopt, state.reached, state.interrupted, t, [&](Bytes data) {
    if (!RecordParser::header_fits(data)) {
      ++t.undecodable_records;
      return;
    }
    parser.decode(data, record);
    for (std::size_t i = 0; i < record.size(); ++i) {
      if (record.value(i).kind() != ValueKind::LongValue) continue;
      if (!long_values) long_values.emplace(db, table);
      if (!long_values->fetch(record.value(i).bytes(), fetched)) ++t.unresolved_long_values;
    }
  });
  add_tree(state, report, std::move(t));
}

// The long-value trees and secondary indexes of a table, walked page by page.
void check_side_trees(CheckState& state, CheckReport& report, const std::string& name, const TableInfo& table) {
  for (const auto& [lv_name, lv] : table.long_values) {
    TreeCheck t = tree_check("long_value", lv_name, name, lv.root_page);
    walk_tree(state.db, TreeKind::LongValue, std::nullopt, state.reached, state.interrupted, t, [](Bytes) {});
    add_tree(state, report, std::move(t));
  }
  for (const auto& [index_name, index] : table.indexes) {
    if (index.root_page == table.root_page) continue;  // the primary index is the table's own tree
    TreeCheck t = tree_check("index", index_name, name, index.root_page);
    walk_tree(state.db, TreeKind::Index, std::nullopt, state.reached, state.interrupted, t, [](Bytes) {});
    add_tree(state, report, std::move(t));
  }
}

// Pages no walk reached; leaves with entries of a known object among them
// are orphans: data the trees no longer lead to.
void count_unreached(const CheckState& state, CheckReport& report) {
  const Database& db = state.db;
  for (std::uint32_t n = 1; n <= db.total_pages(); ++n) {
    if (state.reached[n]) continue;
    ++report.unreached_pages;
    auto page = db.read_page(n);
    if (!page) continue;
    const std::uint32_t flags = page->page_flags();
    if ((flags & kPageFlagSpaceTree) || (flags & kPageFlagEmpty) || !page->is_leaf()) continue;
    if (!state.known_objects.count(page->object_id())) continue;
    const TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    if (tags.tag_count() <= page->first_entry_tag()) continue;
    report.orphan_pages.push_back(n);
  }
}

}  // namespace

CheckReport check_database(const Database& db, const std::function<bool()>& interrupted) {
  CheckReport report;
  report.format_version = db.format_version();
  report.format_revision = db.format_revision();
  report.page_size = db.page_size();
  report.total_pages = db.total_pages();
  report.state = db.database_state();
  report.state_name = Database::database_state_name(report.state);
  report.shadow_header_matches = db.shadow_header_matches();
  CheckState state{db, interrupted, std::vector<bool>(static_cast<std::size_t>(db.total_pages()) + 1, false), {}};

  TreeCheck catalog = tree_check("catalog", "MSysObjects", "MSysObjects", kCatalogRootPage);
  walk_tree(db, TreeKind::Table, kCatalogObjectId, state.reached, interrupted, catalog, [](Bytes) {});
  state.known_objects[kCatalogObjectId] = true;
  report.trees.push_back(std::move(catalog));
  for (const auto& [name, table] : db.tables()) {
    if (interrupted && interrupted()) return report;
    // The catalog lists itself as MSysObjects, rooted at page 4: walked above.
    if (table.root_page != kCatalogRootPage) check_table_tree(state, report, name, table);
    check_side_trees(state, report, name, table);
  }
  if (interrupted && interrupted()) return report;
  count_unreached(state, report);
  return report;
}

}  // namespace pellumo
