// The pages of one mapped database file, with the format numbers that steer
// their parsing: everything the readers above the page layer (catalog,
// cursor, long values, carving) need of an opened database.
#pragma once

#include <cstdint>
#include <optional>

#include "error/ese_error.h"
#include "page/page.h"
#include "page/tag.h"
#include "utils/bytes.h"

namespace pellumo {

// Borrows the file bytes: must not outlive the mapping.
class PageSource {
 public:
  PageSource() = default;
  // The page count is the file length divided by the page size, less the two
  // header pages, never below 0, kept as its low 32 bits.
  PageSource(Bytes file, std::uint32_t page_size, std::uint32_t format_version, std::uint32_t format_revision);

  // Page N lies at file offset (N + 1) * page_size. Fails with
  // InvalidPageNumber when it does not lie wholly inside the file.
  Result<Page> read_page(std::uint32_t page_number) const;
  // The bytes of page N, or nullopt when it does not lie inside the file.
  std::optional<Bytes> page_bytes(std::uint32_t page_number) const;
  // The tags of a page of this file.
  TagExtractor tags(const Page& page) const {
    return TagExtractor(page, format_version_, format_revision_, page_size_);
  }

  std::uint32_t page_size() const { return page_size_; }
  std::uint32_t total_pages() const { return total_pages_; }
  std::uint32_t format_version() const { return format_version_; }
  std::uint32_t format_revision() const { return format_revision_; }
  bool large_page_tag_format() const {
    return is_large_page_tag_format(format_version_, format_revision_, page_size_);
  }
  // The whole file; pages and everything read later borrow it.
  Bytes mapped() const { return file_; }

 private:
  Bytes file_;
  std::uint32_t page_size_ = 0;
  std::uint32_t total_pages_ = 0;
  std::uint32_t format_version_ = 0;
  std::uint32_t format_revision_ = 0;
};

}  // namespace pellumo
