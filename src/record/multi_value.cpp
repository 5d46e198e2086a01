#include "record/multi_value.h"

namespace pellumo {
namespace {

constexpr std::uint16_t kSeparatedInstance = 0x8000;
constexpr std::uint16_t kInstanceOffsetMask = 0x7FFF;

}  // namespace

bool split_multi_value(Bytes value, std::uint8_t flags, std::vector<MultiValueInstance>& out) {
  out.clear();
  const bool first_compressed = (flags & kTaggedFlagCompressed) != 0;
  if (flags & kTaggedFlagTwoValues) {
    if (value.empty()) return false;
    const std::size_t first = value[0];
    if (first > value.size() - 1) return false;
    out.push_back({value.subspan(1, first), first_compressed, false});
    out.push_back({value.subspan(1 + first), false, false});
    return true;
  }
  const auto head = read_u16_le(value, 0);
  if (!head) return false;
  const std::size_t array_size = *head & kInstanceOffsetMask;
  if (array_size == 0 || array_size % 2 != 0 || array_size > value.size()) return false;
  const std::size_t count = array_size / 2;
  out.reserve(count);
  // The whole array lies inside the value (array_size <= value.size()).
  ByteReader offsets(value);
  std::uint16_t word = offsets.u16_le();
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint16_t next = i + 1 < count ? offsets.u16_le() : 0;
    const std::size_t start = word & kInstanceOffsetMask;
    const std::size_t end = i + 1 < count ? (next & kInstanceOffsetMask) : value.size();
    if (start < array_size || start > end || end > value.size()) {
      out.clear();
      return false;
    }
    out.push_back({value.subspan(start, end - start), i == 0 && first_compressed, (word & kSeparatedInstance) != 0});
    word = next;
  }
  return true;
}

}  // namespace pellumo
