#include "carve/page_owners.h"

#include "tree/tree_walker.h"

namespace pellumo {

namespace page_owner_detail {

// Every table's tree is walked once, as every reader walks it; the first
// table in catalog order whose walk reaches a leaf page owns it. A page
// reached from another table's tree fails that walk's owner check, so shared
// or crossed links claim nothing.
template <class Marks>
void mark_page_owners(const PageSource& pages, const TableMap& tables, Marks& marks) {
  const std::uint32_t total = pages.total_pages();
  const TreeSource source = make_tree_source(pages);
  for (std::size_t t = 0; t < tables.size(); ++t) {
    TreeWalker::Options options;
    options.kind = TreeKind::Table;
    auto walker = TreeWalker::open(source, tables[t].second.root_page, std::move(options));
    if (!walker) continue;
    while (auto leaf = walker->next_leaf()) {
      const std::uint32_t p = leaf->number;
      if (p == 0 || p > total) continue;
      Mark mark = marks.get(p);
      if (mark.owner != kNone) continue;
      mark.owner = static_cast<std::uint32_t>(t);
      mark.reach = 0;
      marks.set(p, mark);
    }
  }
}

template void mark_page_owners(const PageSource&, const TableMap&, DenseMarks&);
template void mark_page_owners(const PageSource&, const TableMap&, SparseMarks&);

}  // namespace page_owner_detail

PageOwners PageOwners::compute(const PageSource& pages, const TableMap& tables) {
  PageOwners owners;
  owners.dense_ = pages.page_size() >= 1024;
  if (owners.dense_) {
    owners.dense_marks_ = page_owner_detail::DenseMarks(pages.total_pages());
    page_owner_detail::mark_page_owners(pages, tables, owners.dense_marks_);
  } else {
    page_owner_detail::mark_page_owners(pages, tables, owners.sparse_marks_);
  }
  return owners;
}

std::optional<std::size_t> PageOwners::owner(std::uint32_t page_number) const {
  const page_owner_detail::Mark mark = dense_ ? dense_marks_.get(page_number) : sparse_marks_.get(page_number);
  if (mark.owner == page_owner_detail::kNone) return std::nullopt;
  return mark.owner;
}

}  // namespace pellumo
