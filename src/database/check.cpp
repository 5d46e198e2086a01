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

CheckReport check_database(const Database& db, const std::function<bool()>& interrupted) {
  CheckReport report;
  report.format_version = db.format_version();
  report.format_revision = db.format_revision();
  report.page_size = db.page_size();
  report.total_pages = db.total_pages();
  report.state = db.database_state();
  report.state_name = Database::database_state_name(report.state);
  report.shadow_header_matches = db.shadow_header_matches();
  std::vector<bool> reached(static_cast<std::size_t>(db.total_pages()) + 1, false);
  std::unordered_map<std::uint32_t, bool> known_objects;  // object ids of the trees walked

  {
    TreeCheck catalog;
    catalog.kind = "catalog";
    catalog.name = "MSysObjects";
    catalog.table = "MSysObjects";
    catalog.root_page = kCatalogRootPage;
    walk_tree(db, TreeKind::Table, kCatalogObjectId, reached, interrupted, catalog, [](Bytes) {});
    known_objects[kCatalogObjectId] = true;
    report.trees.push_back(std::move(catalog));
  }
  for (const auto& [name, table] : db.tables()) {
    if (interrupted && interrupted()) return report;
    // The catalog lists itself as MSysObjects, rooted at page 4: walked above.
    if (table.root_page != kCatalogRootPage) {
      TreeCheck t;
      t.kind = "table";
      t.name = name;
      t.table = name;
      t.root_page = table.root_page;
      RecordParser parser(std::make_shared<const RecordLayout>(table), db.large_page_tag_format());
      Record record(parser.layout());
      std::optional<LongValueReader> long_values;
      std::string fetched;
      walk_tree(db, TreeKind::Table, std::nullopt, reached, interrupted, t, [&](Bytes data) {
        const RecordView view(data);
        if (data.size() < kRecordHeaderSize || view.variable_offsets() > data.size()) {
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
      if (!t.error) known_objects[t.object_id] = true;
      report.trees.push_back(std::move(t));
    }
    for (const auto& [lv_name, lv] : table.long_values) {
      TreeCheck t;
      t.kind = "long_value";
      t.name = lv_name;
      t.table = name;
      t.root_page = lv.root_page;
      walk_tree(db, TreeKind::LongValue, std::nullopt, reached, interrupted, t, [](Bytes) {});
      if (!t.error) known_objects[t.object_id] = true;
      report.trees.push_back(std::move(t));
    }
    for (const auto& [index_name, index] : table.indexes) {
      if (index.root_page == table.root_page) continue;  // the primary index is the table's own tree
      TreeCheck t;
      t.kind = "index";
      t.name = index_name;
      t.table = name;
      t.root_page = index.root_page;
      walk_tree(db, TreeKind::Index, std::nullopt, reached, interrupted, t, [](Bytes) {});
      if (!t.error) known_objects[t.object_id] = true;
      report.trees.push_back(std::move(t));
    }
  }

  if (interrupted && interrupted()) return report;
  for (std::uint32_t n = 1; n <= db.total_pages(); ++n) {
    if (reached[n]) continue;
    ++report.unreached_pages;
    auto page = db.read_page(n);
    if (!page) continue;
    const std::uint32_t flags = page->page_flags();
    if ((flags & kPageFlagSpaceTree) || (flags & kPageFlagEmpty) || !page->is_leaf()) continue;
    if (!known_objects.count(page_object_id(*page))) continue;
    const TagExtractor tags(*page, db.format_version(), db.format_revision(), db.page_size());
    if (tags.tag_count() <= page->first_entry_tag()) continue;
    report.orphan_pages.push_back(n);
  }
  return report;
}

}  // namespace pellumo
