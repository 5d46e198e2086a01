#include "carve/page_owners.h"

#include <unordered_set>

#include "page/branch.h"
#include "page/tag.h"

namespace pellumo {
namespace {

// Follows the first entry of each branch page from `root` down to a leaf.
// nullopt when the root itself cannot be read. Otherwise the page the
// descent stopped at, which the leaf-chain walk starts from: the leaf, or
// the page where a missing or undecodable first entry or an unreadable
// child ended it. A damaged tree whose first entries lead back to a page
// already passed would never reach a leaf; the descent stops at the first
// page it reaches a second time and the walk starts there, like any other
// descent that ends early. Child numbers never exceed 100000, so that
// happens within 100001 steps.
std::optional<std::uint32_t> descend_to_leftmost_leaf(const PageSource& pages, std::uint32_t root,
                                                      ByteVector& scratch) {
  auto page = pages.read_page(root);
  if (!page) return std::nullopt;
  std::uint32_t p = root;
  std::unordered_set<std::uint32_t> passed;
  while (!page->is_leaf()) {
    if (!passed.insert(p).second) break;
    const TagExtractor tags = pages.tags(*page);
    // Tag 0 is the page's key prefix and the reserved tags after it hold
    // no entries: the first child hangs off the first entry tag.
    const std::uint16_t first = page->first_entry_tag();
    if (tags.tag_count() <= first) break;
    auto tag = tags.read_entry_tag(first, scratch);
    if (!tag) break;
    auto child = BranchEntry::parse_child(tag->flags, tag->data);
    if (!child) break;
    p = *child;
    page = pages.read_page(p);
    if (!page) break;
  }
  return p;
}

}  // namespace

namespace page_owner_detail {

// A table's leaf-chain walk reaches p_0 (where its descent ended), p_1 =
// next of p_0, and so on, and it claims p_i when i <= total_pages and
// p_0..p_(i-1) are all non-zero and readable; the first table in catalog
// order to claim a page owns it. Each page remembers the fewest steps any
// walk took to reach it. A walk that reaches a page in no fewer steps than
// that has nothing left to claim: the earlier walk went on from the same
// page along the same links with at least as many steps to spare, and a
// walk that comes back to a page of its own has entered a loop. So the walk
// stops there, which bounds the work on looping and shared chains.
template <class Marks>
void mark_page_owners(const PageSource& pages, const TableMap& tables, Marks& marks) {
  const std::uint32_t total = pages.total_pages();
  ByteVector scratch;
  for (std::size_t t = 0; t < tables.size(); ++t) {
    auto start = descend_to_leftmost_leaf(pages, tables[t].second.root_page, scratch);
    if (!start) continue;
    std::uint32_t p = *start;
    for (std::uint64_t steps = 0;; ++steps) {
      // Pages outside 1..total cannot be read, so the walk ends at them
      // and no carved page can be one of them.
      if (p == 0 || p > total) break;
      Mark mark = marks.get(p);
      if (mark.reach <= steps) break;
      mark.reach = static_cast<std::uint32_t>(steps);
      if (mark.owner == kNone) mark.owner = static_cast<std::uint32_t>(t);
      marks.set(p, mark);
      auto page = pages.read_page(p);
      if (!page) break;
      if (steps + 1 > total) break;
      p = page->next_page();
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
