// Which table owns each table leaf page: the first table, in catalog order,
// whose leaf chain reaches it. Carving labels its hits with it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <unordered_map>
#include <vector>

#include "catalog/table_info.h"
#include "page/page_source.h"

namespace pellumo {

namespace page_owner_detail {

// What the walks leave on a page: its owner (a table index, or kNone) and
// the fewest leaf-chain steps any walk so far took to get there.
struct Mark {
  std::uint32_t owner;
  std::uint32_t reach;
};
inline constexpr std::uint32_t kNone = 0xFFFFFFFF;

// Two words for every page 0..total_pages.
class DenseMarks {
 public:
  DenseMarks() = default;
  explicit DenseMarks(std::uint32_t total_pages) : marks_(static_cast<std::size_t>(total_pages) + 1, Mark{kNone, kNone}) {}
  Mark get(std::uint32_t page_number) const {
    return page_number < marks_.size() ? marks_[page_number] : Mark{kNone, kNone};
  }
  // Only for pages 1..total_pages, the only ones a walk claims.
  void set(std::uint32_t page_number, Mark mark) { marks_[page_number] = mark; }

 private:
  std::vector<Mark> marks_;
};

// Only the pages the walks reach.
class SparseMarks {
 public:
  Mark get(std::uint32_t page_number) const {
    auto it = marks_.find(page_number);
    return it == marks_.end() ? Mark{kNone, kNone} : it->second;
  }
  void set(std::uint32_t page_number, Mark mark) { marks_[page_number] = mark; }

 private:
  std::unordered_map<std::uint32_t, Mark> marks_;
};

// Marks the owner of every page the tables' leaf chains reach, one descent
// and one chain walk per table. Instantiated for both stores.
template <class Marks>
void mark_page_owners(const PageSource& pages, const TableMap& tables, Marks& marks);

}  // namespace page_owner_detail

class PageOwners {
 public:
  // Keeps two words per page of the file unless pages are so small that the
  // table would be a noticeable fraction of the file; then only the pages
  // the walks reach.
  static PageOwners compute(const PageSource& pages, const TableMap& tables);

  // The index of the owning table in catalog order, or nullopt. Pages
  // outside 1..total_pages have no owner.
  std::optional<std::size_t> owner(std::uint32_t page_number) const;

 private:
  PageOwners() = default;

  bool dense_ = true;
  page_owner_detail::DenseMarks dense_marks_;
  page_owner_detail::SparseMarks sparse_marks_;
};

}  // namespace pellumo
