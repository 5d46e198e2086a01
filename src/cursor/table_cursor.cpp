#include "cursor/table_cursor.h"


namespace pellumo {

void TableCursor::decode_only(std::vector<bool> wanted) {
  parser_.decode_only(std::move(wanted));
  record_ = Record(layout_);
}

Result<TableCursor> TableCursor::open(const PageSource& pages, const TableInfo& table) {
  TreeWalker::Options options;
  options.kind = TreeKind::Table;
  PELLUMO_TRY(TreeWalker walker, TreeWalker::open(make_tree_source(pages), table.root_page, std::move(options)));
  return TableCursor(pages, table, std::move(walker));
}

TableCursor::TableCursor(const PageSource& pages, const TableInfo& table, TreeWalker walker)
    : pages_(&pages),
      table_(&table),
      layout_(std::make_shared<const RecordLayout>(table)),
      page_(walker.root_page()),
      page_number_(walker.root_number()),  // nothing read until the first leaf is entered
      walker_(std::move(walker)),
      parser_(layout_, pages.large_page_tag_format()),
      record_(layout_) {}

void TableCursor::enter_page(const LeafPage& leaf) {
  page_ = leaf.page;
  page_number_ = leaf.number;
  // Unreadable tags are skipped, never fatal.
  scan_leaf_entries(page_, pages_->large_page_tag_format(), pages_->page_size(), skip_deleted_, scan_);
  entry_index_ = 0;
}

const LeafScan* TableCursor::next_page() {
  while (auto leaf = walker_.next_leaf()) {
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
    auto leaf = walker_.next_leaf();
    if (!leaf) return false;
    enter_page(*leaf);
  }
  parser_.decode(scan_.entries[entry_index_++], record_);
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
  if (!long_values_) long_values_ = std::make_unique<LongValueReader>(*pages_, *table_);
  return long_values_->fetch(reference, out);
}

}  // namespace pellumo
