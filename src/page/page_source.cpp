#include "page/page_source.h"

namespace pellumo {

PageSource::PageSource(Bytes file, std::uint32_t page_size, std::uint32_t format_version,
                       std::uint32_t format_revision)
    : file_(file), page_size_(page_size), format_version_(format_version), format_revision_(format_revision) {
  const std::uint64_t quotient = page_size == 0 ? 0 : file.size() / page_size;
  total_pages_ = quotient < 2 ? 0 : static_cast<std::uint32_t>(quotient - 2);
}

std::optional<Bytes> PageSource::page_bytes(std::uint32_t page_number) const {
  // 64-bit arithmetic: no u32 page number and page size can overflow it.
  const std::uint64_t offset = (static_cast<std::uint64_t>(page_number) + 1) * page_size_;
  if (page_size_ == 0) return std::nullopt;
  return slice(file_, offset, page_size_);
}

Result<Page> PageSource::read_page(std::uint32_t page_number) const {
  auto bytes = page_bytes(page_number);
  if (!bytes) return EseError::invalid_page_number(page_number);
  return Page::parse(*bytes, format_version_, format_revision_, page_size_);
}

}  // namespace pellumo
