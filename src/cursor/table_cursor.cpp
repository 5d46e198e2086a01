#include "cursor/table_cursor.h"

#include "page/leaf.h"

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
      tags_(pages.tags(page_)),
      page_number_(walker ? walker->root_number() : table.root_page),
      tag_index_(page_.stored_tag_count()),  // nothing read until the first leaf is entered
      walker_(std::move(walker)),
      parser_(layout_, pages.large_page_tag_format()),
      record_(layout_),
      damage_(std::move(damage)) {}

void TableCursor::enter_page(const LeafPage& leaf) {
  page_ = leaf.page;
  tags_ = pages_->tags(page_);
  page_number_ = leaf.number;
  tag_index_ = page_.first_entry_tag();
}

Result<bool> TableCursor::advance() {
  while (true) {
    // The stored count, not the capped one: indices past the real tags fail
    // to read and are skipped like any unreadable tag.
    if (tag_index_ >= page_.stored_tag_count()) {
      if (!walker_) return false;
      auto leaf = walker_->next_leaf();
      if (!leaf) return false;
      enter_page(*leaf);
      continue;
    }
    const std::uint16_t i = tag_index_++;
    if (!page_.is_table_leaf()) {
      tag_index_ = page_.stored_tag_count();  // no tag of this page is a record
      continue;
    }
    auto tag = tags_.read_entry_tag(i, scratch_);
    if (!tag) {
      ++damage_->entries_skipped;  // an unreadable tag is skipped, never fatal
      continue;
    }
    if (skip_deleted_ && (tag->flags & kTagFlagDeleted)) continue;
    auto entry = LeafEntryView::parse(tag->flags, tag->data);
    if (!entry) {
      ++damage_->entries_skipped;
      continue;
    }
    if (!RecordParser::header_fits(entry->data)) ++damage_->records_undecodable;
    parser_.decode(entry->data, record_);
    resolve_long_values(record_);
    return true;
  }
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
  if (long_values_->fetch(reference, out)) return true;
  ++damage_->values_unresolved;
  return false;
}

}  // namespace pellumo
