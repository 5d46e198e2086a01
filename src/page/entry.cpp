#include <algorithm>
#include <cstdio>
#include <string>

#include "page/branch.h"
#include "page/leaf.h"
#include "page/tag.h"

namespace pellumo {
namespace {

std::string hex_flags(std::uint8_t flags) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%x", flags);
  return buf;
}

EseError too_short(const char* what, std::size_t n, std::size_t minimum, std::uint8_t flags) {
  return EseError::parse(std::string(what) + " entry too short: got " + std::to_string(n) + " bytes, need at least " +
                         std::to_string(minimum) + " (flags: 0x" + hex_flags(flags) + ")");
}

}  // namespace

Result<LeafEntryView> LeafEntryView::parse(std::uint8_t flags, Bytes bytes) {
  const std::size_t n = bytes.size();
  const bool common = (flags & kTagFlagCommonKey) != 0;
  const std::size_t minimum = common ? 4 : 2;
  if (n < minimum) return too_short("Leaf", n, minimum, flags);
  LeafEntryView e;
  ByteReader r(bytes);
  if (common) e.common_key_size = r.u16_le();
  const std::size_t declared = r.u16_le() & 0x7FFF;
  // A key declared longer than the entry takes what there is.
  e.local_key = r.bytes(std::min(declared, r.remaining()));
  e.data = r.rest();
  return e;
}

Result<LeafEntry> LeafEntry::parse(std::uint8_t flags, Bytes bytes) {
  PELLUMO_TRY(LeafEntryView v, LeafEntryView::parse(flags, bytes));
  LeafEntry e;
  e.local_key.assign(v.local_key.begin(), v.local_key.end());
  e.data.assign(v.data.begin(), v.data.end());
  e.common_key_size = v.common_key_size;
  return e;
}

namespace {

struct BranchParts {
  std::optional<std::uint16_t> common_key_size;
  std::uint16_t declared;
  Bytes key;
  std::uint32_t child;
};

Result<BranchParts> parse_branch(std::uint8_t flags, Bytes bytes, std::uint32_t page_count) {
  const std::size_t n = bytes.size();
  const bool common = (flags & kTagFlagCommonKey) != 0;
  const std::size_t minimum = common ? 8 : 6;
  if (n < minimum) return too_short("Branch", n, minimum, flags);
  BranchParts b{};
  ByteReader r(bytes);
  if (common) b.common_key_size = r.u16_le();
  b.declared = r.u16_le() & 0x7FFF;
  b.key = r.bytes(std::min<std::size_t>(b.declared, r.remaining()));
  b.child = r.u32_le();
  if (!r) {
    return EseError::parse("Branch entry too short for child page number: got " + std::to_string(n) +
                           " bytes, offset " + std::to_string(r.offset()) + ", need 4 more (likely metadata tag)");
  }
  if (b.child == 0 || b.child > page_count) {
    return EseError::parse("Branch entry has invalid child page number: " + std::to_string(b.child) +
                           " (likely corrupted data)");
  }
  return b;
}

}  // namespace

Result<BranchEntry> BranchEntry::parse(std::uint8_t flags, Bytes bytes, std::uint32_t page_count) {
  PELLUMO_TRY(BranchParts b, parse_branch(flags, bytes, page_count));
  BranchEntry e;
  e.local_key.assign(b.key.begin(), b.key.end());
  e.common_key_size = b.common_key_size;
  e.child_page = b.child;
  e.declared_key_size = b.declared;
  return e;
}

Result<BranchEntryView> BranchEntryView::parse(std::uint8_t flags, Bytes bytes, std::uint32_t page_count) {
  PELLUMO_TRY(BranchParts b, parse_branch(flags, bytes, page_count));
  return BranchEntryView{b.key, b.common_key_size, b.child};
}

Result<std::uint32_t> BranchEntry::parse_child(std::uint8_t flags, Bytes bytes, std::uint32_t page_count) {
  PELLUMO_TRY(BranchParts b, parse_branch(flags, bytes, page_count));
  return b.child;
}

}  // namespace pellumo
