#include "tree/checksum.h"

namespace pellumo {
namespace {

constexpr std::size_t kOffsetFlags = 36;
constexpr std::size_t kOffsetBlockChecksums = 40;
constexpr std::uint32_t kSmallPageLimit = 8192;

std::uint32_t block_size(std::uint32_t page_size) {
  if (page_size <= kSmallPageLimit) return page_size;
  return page_size <= 16384 ? 4096 : 8192;
}

}  // namespace

std::uint32_t xor_words(Bytes bytes, std::size_t first_word) {
  auto words = slice_from(bytes, 4 * first_word);
  return words ? xor_u32_le_words(*words) : 0;
}

ChecksumState verify_page_checksum(Bytes page, std::uint32_t page_number, std::uint32_t page_size) {
  if (page.size() < kOffsetBlockChecksums || page.size() != page_size) return ChecksumState::Unchecked;
  const std::uint32_t stored = read_u32_le(page, 0).value_or(0);
  const std::uint32_t flags = read_u32_le(page, kOffsetFlags).value_or(0);
  const bool new_format = (flags & kPageFlagNewChecksum) != 0;
  if (!new_format) {
    if (stored == 0) return ChecksumState::Unchecked;
    const bool good = (xor_words(page, 1) ^ kOldChecksumSeed) == stored && read_u32_le(page, 4).value_or(0) == page_number;
    return good ? ChecksumState::Good : ChecksumState::Bad;
  }
  const std::uint32_t block = block_size(page_size);
  if (block == 0 || page_size % block != 0) return ChecksumState::Unchecked;
  bool checked = false;
  const std::uint32_t blocks = page_size / block;
  for (std::uint32_t i = 0; i < blocks && i < 4; ++i) {
    const std::size_t at = i == 0 ? 0 : kOffsetBlockChecksums + 8 * (i - 1);
    if (!in_bounds(page, at, 4)) return ChecksumState::Unchecked;
    const std::uint32_t expected = read_u32_le(page, at).value_or(0);
    if (expected == 0) continue;  // a block without a checksum
    auto data = slice(page, static_cast<std::size_t>(i) * block, block);
    if (!data) return ChecksumState::Unchecked;
    const std::uint32_t actual = xor_words(*data, i == 0 ? 2 : 0) ^ page_number;
    if (actual != expected) return ChecksumState::Bad;
    checked = true;
  }
  return checked ? ChecksumState::Good : ChecksumState::Unchecked;
}

}  // namespace pellumo
