#include "cursor/table_cursor.h"

#include <string>

#include "page/branch.h"
#include "page/leaf.h"

namespace pellumo {

void TableCursor::decode_only(std::vector<bool> wanted) {
  parser_.decode_only(std::move(wanted));
  record_ = Record(layout_);
}

Result<TableCursor> TableCursor::open(const PageSource& pages, const TableInfo& table) {
  std::uint32_t number = table.root_page;
  PELLUMO_TRY(Page page, pages.read_page(number));
  std::unordered_set<std::uint32_t> descended{number};
  ByteVector scratch;
  while (!page.is_leaf()) {
    const TagExtractor tags = pages.tags(page);
    const std::uint16_t first = page.first_entry_tag();
    // A branch page without entries: the cursor starts on it and moves on
    // along its next-page link.
    if (tags.tag_count() <= first) break;
    PELLUMO_TRY(Tag tag, tags.read_entry_tag(first, scratch));
    PELLUMO_TRY(std::uint32_t child, BranchEntry::parse_child(tag.flags, tag.data));
    if (!descended.insert(child).second) {
      return EseError::parse("Table tree loops back to page " + std::to_string(child) + " from page " +
                             std::to_string(number));
    }
    PELLUMO_TRY(page, pages.read_page(child));
    number = child;
  }
  return TableCursor(pages, table, page, number);
}

TableCursor::TableCursor(const PageSource& pages, const TableInfo& table, Page page, std::uint32_t page_number)
    : pages_(&pages),
      table_(&table),
      layout_(std::make_shared<const RecordLayout>(table)),
      page_(page),
      tags_(pages.tags(page)),
      page_number_(page_number),
      tag_index_(page.first_entry_tag()),
      parser_(layout_, pages.large_page_tag_format()),
      record_(layout_) {
  chain_.insert(page_number);
}

void TableCursor::enter_page(Page page, std::uint32_t page_number) {
  page_ = page;
  tags_ = pages_->tags(page_);
  page_number_ = page_number;
  tag_index_ = page_.first_entry_tag();
  chain_.insert(page_number);
}

Result<bool> TableCursor::advance() {
  while (true) {
    // The stored count, not the capped one: indices past the real tags fail
    // to read and are skipped like any unreadable tag.
    if (tag_index_ >= page_.stored_tag_count()) {
      const std::uint32_t next = page_.next_page();
      if (next == 0) return false;
      if (chain_.count(next)) {
        return EseError::parse("Leaf chain of the table loops back to page " + std::to_string(next) +
                               " from page " + std::to_string(page_number_));
      }
      PELLUMO_TRY(Page page, pages_->read_page(next));
      enter_page(page, next);
      continue;
    }
    const std::uint16_t i = tag_index_++;
    if (!page_.is_table_leaf()) {
      tag_index_ = page_.stored_tag_count();  // no tag of this page is a record
      continue;
    }
    auto tag = tags_.read_entry_tag(i, scratch_);
    if (!tag) continue;  // an unreadable tag is skipped, never fatal
    if (skip_deleted_ && (tag->flags & kTagFlagDeleted)) continue;
    auto entry = LeafEntryView::parse(tag->flags, tag->data);
    if (!entry) continue;
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
  if (!long_values_) long_values_ = std::make_unique<LongValueIndex>(LongValueIndex::build(*pages_, *table_));
  return long_values_->fetch(reference, out);
}

}  // namespace pellumo
