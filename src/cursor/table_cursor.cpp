#include "cursor/table_cursor.h"

#include "page/leaf_scan.h"

namespace pellumo {

void TableCursor::decode_only(std::vector<bool> wanted) {
  parser_.decode_only(std::move(wanted));
  record_ = Record(layout_);
}

Result<TableCursor> TableCursor::open(const PageSource& pages, const TableInfo& table) {
  auto damage = std::make_shared<ReadDamage>();
  damage->file_pages = pages.total_pages();
  TreeWalker::Options options;
  options.kind = TreeKind::Table;
  options.on_refused = [damage](const RefusedPage& r) { damage->refuse(r.page, r.reason); };
  // A branch entry that cannot be read costs its whole subtree.
  options.on_bad_entry = [damage](std::uint32_t, std::uint16_t) { ++damage->entries_skipped; };
  auto walker = TreeWalker::open(make_tree_source(pages), table.root_page, std::move(options));
  // Every failure to open is a refusal of the root, which on_refused has
  // counted: the table reads as empty, and its damage says why.
  if (!walker) return TableCursor(pages, table, std::nullopt, std::move(damage));
  return TableCursor(pages, table, std::move(walker).value(), std::move(damage));
}

TableCursor::TableCursor(const PageSource& pages, const TableInfo& table, std::optional<TreeWalker> walker,
                         std::shared_ptr<ReadDamage> damage)
    : pages_(&pages),
      table_(&table),
      layout_(std::make_shared<const RecordLayout>(table)),
      page_(walker ? walker->root_page() : Page::empty()),
      page_number_(walker ? walker->root_number() : table.root_page),  // nothing read until the first leaf is entered
      walker_(std::move(walker)),
      parser_(layout_, pages.large_page_tag_format()),
      record_(layout_),
      damage_(std::move(damage)) {}

void TableCursor::enter_page(const LeafPage& leaf) {
  page_ = leaf.page;
  page_number_ = leaf.number;
  // Unreadable tags and entries are skipped, never fatal.
  scan_leaf_entries(page_, pages_->large_page_tag_format(), pages_->page_size(), skip_deleted_, scan_);
  damage_->entries_skipped += scan_.unreadable;
  entry_index_ = 0;
}

const LeafScan* TableCursor::next_page() {
  if (!walker_) return nullptr;
  while (auto leaf = walker_->next_leaf()) {
    enter_page(*leaf);
    if (!scan_.entries.empty()) {
      entry_index_ = scan_.entries.size();  // taken by the caller
      return &scan_;
    }
  }
  return nullptr;
}

Result<bool> TableCursor::advance() {
  while (entry_index_ >= scan_.entries.size()) {
    if (!walker_) return false;
    auto leaf = walker_->next_leaf();
    if (!leaf) return false;
    enter_page(*leaf);
  }
  const Bytes data = scan_.entries[entry_index_++];
  count_record(data, 0);
  parser_.decode(data, record_);
  resolve_long_values(record_);
  return true;
}

Result<std::optional<Record>> TableCursor::next_row() {
  PELLUMO_TRY(bool more, advance());
  if (!more) return std::optional<Record>();
  std::optional<Record> out(std::move(record_));
  record_ = Record(layout_);
  return out;
}

void TableCursor::resolve_long_values(Record& record) {
  bool any = false;
  for (std::size_t i = 0; i < record.size() && !any; ++i) any = record.value(i).kind() == ValueKind::LongValue;
  if (!any) return;
  resolve_long_values_with(record, [&](Bytes reference, std::string& out) { return fetch_long_value(reference, out); });
}

bool TableCursor::fetch_long_value(Bytes reference, std::string& out) {
  if (fetch_long_value_uncounted(reference, out)) return true;
  ++damage_->values_unresolved;
  return false;
}

bool TableCursor::fetch_long_value_uncounted(Bytes reference, std::string& out) {
  if (!long_values_) long_values_ = std::make_unique<LongValueReader>(*pages_, *table_);
  return long_values_->fetch(reference, out);
}

}  // namespace pellumo
