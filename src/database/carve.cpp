#include "database/carve.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "database/database.h"
#include "page/tag.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#define PELLUMO_CARVE_SSE2 1
#endif

namespace pellumo {
namespace {

// Code units 0x20..0x7E are string characters; (u - 0x20) mod 2^16 <= 0x5E
// tests both ends at once.
constexpr std::uint16_t kFirstPrintable = 0x20;
constexpr std::uint16_t kPrintableSpan = 0x7E - 0x20;

constexpr bool is_printable_unit(std::uint16_t u) {
  return static_cast<std::uint16_t>(u - kFirstPrintable) <= kPrintableSpan;
}

// The scan looks at 32 code units (64 bytes) at a time and turns them into
// a bit mask, bit k set when unit k is a character.
constexpr std::size_t kBlockBytes = 64;

std::uint32_t printable_mask_portable(Bytes block) {
  std::uint32_t mask = 0;
  for (std::size_t k = 0; k < kBlockBytes / 2; ++k) {
    mask |= static_cast<std::uint32_t>(is_printable_unit(get_u16_le(block, 2 * k))) << k;
  }
  return mask;
}

#if PELLUMO_CARVE_SSE2
std::uint32_t printable_mask_sse2(Bytes block) {
  const __m128i bias = _mm_set1_epi16(static_cast<short>(kFirstPrintable));
  const __m128i span = _mm_set1_epi16(static_cast<short>(kPrintableSpan));
  const __m128i zero = _mm_setzero_si128();
  // 0xFFFF for each character: subtracting the span with unsigned
  // saturation leaves 0 exactly for units within it.
  auto characters = [&](std::size_t at) {
    __m128i units;
    std::memcpy(&units, block.data() + at, sizeof units);
    return _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(units, bias), span), zero);
  };
  const __m128i low = _mm_packs_epi16(characters(0), characters(16));
  const __m128i high = _mm_packs_epi16(characters(32), characters(48));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
         (static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16);
}
#endif

// The needle prepared for matching against the raw bytes of a run: its
// characters with a zero byte between each two. Inside a run every even
// byte is a character (never zero) and every odd byte is zero, so a match
// of this pattern can only start on a code unit and means the run's text
// contains the needle.
struct Needle {
  bool filter = false;      // an absent or empty needle lets every run through
  bool impossible = false;  // a character outside 0x20..0x7E never matches
  std::string pattern;

  explicit Needle(const std::optional<std::string>& needle) {
    if (!needle || needle->empty()) return;
    filter = true;
    for (const char c : *needle) {
      if (!is_printable_unit(static_cast<std::uint8_t>(c))) impossible = true;
    }
    if (impossible) return;
    pattern.reserve(2 * needle->size() - 1);
    for (const char c : *needle) {
      if (!pattern.empty()) pattern.push_back('\0');
      pattern.push_back(c);
    }
  }

  // Whether the raw bytes of a run contain the pattern. Runs are short and
  // many, so this looks for the first character and compares from there
  // rather than paying a general substring search's setup on every run.
  bool found_in(Bytes run) const {
    const std::size_t n = pattern.size();
    if (run.size() < n) return false;
    const std::uint8_t* at = run.data();
    const std::uint8_t* const last = run.data() + (run.size() - n);
    const auto first = static_cast<unsigned char>(pattern[0]);
    while (at <= last) {
      at = static_cast<const std::uint8_t*>(std::memchr(at, first, static_cast<std::size_t>(last - at) + 1));
      if (at == nullptr) return false;
      if (std::memcmp(at, pattern.data(), n) == 0) return true;
      at += 2;  // the first character is never zero, so `at` is on a code unit
    }
    return false;
  }
};

// What a range scan copies into each hit.
struct Labels {
  std::string_view region_kind;
  std::uint32_t page_flags;
  std::string_view page_type;
  const std::optional<std::string>& table;
};

// Appends qualifying runs to the hit list shared by one request.
class RangeCarver {
 public:
  RangeCarver(const std::optional<std::string>& needle, std::size_t min_chars, std::size_t max_hits,
              std::vector<CarvedString>& hits, carve_detail::Kernel kernel)
      : needle_(needle),
        min_chars_(std::max<std::size_t>(min_chars, 1)),
        min_bytes_(min_chars_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * min_chars_),
        max_hits_(max_hits),
        hits_(hits),
        kernel_(kernel) {}

  bool full() const { return hits_.size() >= max_hits_; }
  bool can_match() const { return !needle_.impossible; }

  void scan(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end, const Labels& labels) {
    end = std::min(end, page_bytes.size());
    if (full() || !can_match() || start >= end) return;
    // Strings start only at even page offsets: an odd start moves up one.
    const std::size_t first = start + (start & 1);
    if (first >= end || end - first < 2) return;
    const std::size_t limit = first + (end - first) / 2 * 2;  // an odd last byte is never read
    auto range = slice(page_bytes, first, limit - first);
    if (!range) return;
    auto on_run = [&](std::size_t run_start, std::size_t run_end) {
      return emit(page, page_bytes, run_start, run_end, start, end, labels);
    };
#if PELLUMO_CARVE_SSE2
    if (kernel_ == carve_detail::Kernel::Sse2) {
      scan_units(*range, first, min_bytes_, printable_mask_sse2, on_run);
      return;
    }
#endif
    scan_units(*range, first, min_bytes_, printable_mask_portable, on_run);
  }

 private:
  // Walks the code units of `units` (which starts at page offset `base`)
  // and calls on_run(start, end) with the page offsets of every maximal run
  // of characters at least `min_bytes` long, stopping early when on_run
  // returns true. Blocks without a character are passed over whole unless
  // a run is open.
  template <class MaskFn, class OnRun>
  static void scan_units(Bytes units, std::size_t base, std::size_t min_bytes, MaskFn mask_of, OnRun& on_run) {
    auto run_ends = [&](std::size_t run_start, std::size_t run_end) {
      return run_end - run_start >= min_bytes && on_run(run_start, run_end);
    };
    bool in_run = false;
    std::size_t run_start = 0;
    std::size_t pos = 0;
    const std::size_t size = units.size();
    for (; size - pos >= kBlockBytes; pos += kBlockBytes) {
      const std::uint64_t characters = mask_of(units.subspan(pos, kBlockBytes));
      if (characters == 0 && !in_run) continue;
      const std::uint64_t terminators = ~characters & 0xFFFFFFFFu;
      unsigned from = 0;  // units below `from` in this block are settled; at most 32
      for (;;) {
        if (in_run) {
          const std::uint64_t t = terminators & (~std::uint64_t{0} << from);
          if (t == 0) break;  // the run goes on into the next block
          const unsigned z = static_cast<unsigned>(__builtin_ctzll(t));
          in_run = false;
          if (run_ends(run_start, base + pos + 2 * z)) return;
          from = z + 1;
        } else {
          const std::uint64_t c = characters & (~std::uint64_t{0} << from);
          if (c == 0) break;
          const unsigned a = static_cast<unsigned>(__builtin_ctzll(c));
          in_run = true;
          run_start = base + pos + 2 * a;
          from = a + 1;
        }
      }
    }
    for (; pos < size; pos += 2) {
      const bool character = is_printable_unit(get_u16_le(units, pos));
      if (character && !in_run) {
        in_run = true;
        run_start = base + pos;
      } else if (!character && in_run) {
        in_run = false;
        if (run_ends(run_start, base + pos)) return;
      }
    }
    if (in_run) run_ends(run_start, base + size);
  }

  // Judges one run [run_start, run_end) and appends it when it qualifies.
  // Returns true once the hit list is full.
  bool emit(std::uint32_t page, Bytes page_bytes, std::size_t run_start, std::size_t run_end, std::size_t start,
            std::size_t end, const Labels& labels) {
    const std::size_t length = (run_end - run_start) / 2;
    if (length < min_chars_) return false;
    const Bytes run = page_bytes.subspan(run_start, run_end - run_start);
    if (needle_.filter && !needle_.found_in(run)) return false;
    CarvedString& hit = hits_.emplace_back();
    hit.page = page;
    hit.offset = run_start;
    hit.slack_start = start;
    hit.slack_end = end;
    hit.region_kind = labels.region_kind;
    hit.page_flags = labels.page_flags;
    hit.page_type = labels.page_type;
    hit.table = labels.table;
    hit.text.resize(length);
    for (std::size_t k = 0; k < length; ++k) hit.text[k] = static_cast<char>(run[2 * k]);
    return full();
  }

  Needle needle_;
  std::size_t min_chars_;
  std::size_t min_bytes_;  // of a run long enough, saturated
  std::size_t max_hits_;
  std::vector<CarvedString>& hits_;
  carve_detail::Kernel kernel_;
};

constexpr carve_detail::Kernel best_kernel() {
#if PELLUMO_CARVE_SSE2
  return carve_detail::Kernel::Sse2;
#else
  return carve_detail::Kernel::Portable;
#endif
}

// Calls claim(page) for every leaf page the walk of table `t` reaches, in
// key order; a table whose root is refused claims nothing.
template <class Claim>
void walk_table_leaves(const Database& db, std::size_t t, Claim&& claim) {
  TreeWalker::Options options;
  options.kind = TreeKind::Table;
  auto walker = TreeWalker::open(db.page_source(), db.tables()[t].second.root_page, std::move(options));
  if (!walker) return;
  while (auto leaf = walker->next_leaf()) {
    if (!claim(leaf->number)) return;
  }
}

}  // namespace

namespace carve_detail {

bool kernel_available(Kernel kernel) {
#if PELLUMO_CARVE_SSE2
  return kernel == Kernel::Portable || kernel == Kernel::Sse2;
#else
  return kernel == Kernel::Portable;
#endif
}

void carve_range_with(Kernel kernel, std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                      std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                      const std::optional<std::string>& table, const std::optional<std::string>& needle,
                      std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits) {
  if (!kernel_available(kernel)) kernel = Kernel::Portable;
  RangeCarver carver(needle, min_chars, max_hits, hits, kernel);
  carver.scan(page, page_bytes, start, end, Labels{region_kind, page_flags, page_type, table});
}

std::string utf8_lossy(std::string_view s) {
  static constexpr char kReplacement[] = "\xEF\xBF\xBD";
  std::string out;
  out.reserve(s.size());
  const std::size_t n = s.size();
  std::size_t i = 0;
  auto byte = [&](std::size_t at) { return static_cast<std::uint8_t>(s[at]); };
  while (i < n) {
    const std::uint8_t b = byte(i);
    if (b < 0x80) {
      out.push_back(static_cast<char>(b));
      ++i;
      continue;
    }
    // Sequence length and the allowed range of the second byte, which
    // rules out overlong forms, surrogates and values above U+10FFFF.
    std::size_t length = 0;
    std::uint8_t lo = 0x80, hi = 0xBF;
    if (b >= 0xC2 && b <= 0xDF) {
      length = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
      length = 3;
      if (b == 0xE0) lo = 0xA0;
      if (b == 0xED) hi = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
      length = 4;
      if (b == 0xF0) lo = 0x90;
      if (b == 0xF4) hi = 0x8F;
    }
    if (length == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    // The longest valid prefix of a sequence is replaced by one U+FFFD.
    std::size_t taken = 1;
    while (taken < length && i + taken < n) {
      const std::uint8_t c = byte(i + taken);
      const bool fits = taken == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
      if (!fits) break;
      ++taken;
    }
    if (taken == length) {
      out.append(s.substr(i, length));
    } else {
      out += kReplacement;
    }
    i += taken;
  }
  return out;
}

}  // namespace carve_detail

std::optional<CarveScope> carve_scope_from_name(std::string_view name) {
  if (name == "slack") return CarveScope::Slack;
  if (name == "all") return CarveScope::All;
  if (name == "tag_data") return CarveScope::TagData;
  if (name == "lv_all") return CarveScope::LvAll;
  if (name == "lv_slack") return CarveScope::LvSlack;
  return std::nullopt;
}

const char* carve_scope_name(CarveScope scope) {
  switch (scope) {
    case CarveScope::Slack:
      return "slack";
    case CarveScope::All:
      return "all";
    case CarveScope::TagData:
      return "tag_data";
    case CarveScope::LvAll:
      return "lv_all";
    case CarveScope::LvSlack:
      return "lv_slack";
  }
  return "slack";
}

std::string_view carve_page_type(std::uint32_t page_flags) {
  if (page_flags & kPageFlagLongValue) return "long_value";
  if (page_flags & kPageFlagSpaceTree) return "space_tree";
  if (page_flags & kPageFlagIndex) return "index";
  if (page_flags & kPageFlagLeaf) return "leaf";
  return "branch";
}

void carve_utf16le_from_range(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const std::optional<std::string>& table, const std::optional<std::string>& needle,
                              std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits) {
  carve_detail::carve_range_with(best_kernel(), page, page_bytes, start, end, region_kind, page_flags, page_type,
                                 table, needle, min_chars, max_hits, hits);
}

std::optional<std::size_t> find_page_owner(const Database& db, std::uint32_t page_number) {
  for (std::size_t t = 0; t < db.tables().size(); ++t) {
    bool found = false;
    walk_table_leaves(db, t, [&](std::uint32_t p) {
      found = p == page_number;
      return !found;
    });
    if (found) return t;
  }
  return std::nullopt;
}

// Every table's tree is walked once; the first table in catalog order whose
// walk reaches a page owns it. A page reached from another table's tree
// fails that walk's owner check, so shared or crossed links claim nothing.
PageOwners PageOwners::compute(const Database& db, Storage storage) {
  PageOwners owners;
  const std::uint32_t total = db.total_pages();
  owners.dense_ = storage == Storage::Dense || (storage == Storage::Auto && db.page_size() >= 1024);
  if (owners.dense_) owners.dense_marks_.assign(static_cast<std::size_t>(total) + 1, kNone);
  for (std::size_t t = 0; t < db.tables().size(); ++t) {
    walk_table_leaves(db, t, [&](std::uint32_t p) {
      if (p == 0 || p > total) return true;
      if (owners.get(p) == kNone) owners.set(p, static_cast<std::uint32_t>(t));
      return true;
    });
  }
  return owners;
}

std::uint32_t PageOwners::get(std::uint32_t page_number) const {
  if (dense_) return dense_marks_[page_number];
  auto it = sparse_marks_.find(page_number);
  return it == sparse_marks_.end() ? kNone : it->second;
}

void PageOwners::set(std::uint32_t page_number, std::uint32_t owner) {
  if (dense_) {
    dense_marks_[page_number] = owner;
  } else {
    sparse_marks_[page_number] = owner;
  }
}

std::optional<std::size_t> PageOwners::owner(std::uint32_t page_number) const {
  if (dense_ && page_number >= dense_marks_.size()) return std::nullopt;
  const std::uint32_t mark = get(page_number);
  if (mark == kNone) return std::nullopt;
  return mark;
}

Result<std::vector<CarvedString>> Database::carve_utf16le_strings_scoped(CarveScope scope,
                                                                         const std::optional<std::string>& needle,
                                                                         std::size_t min_chars, std::size_t max_hits,
                                                                         const std::function<bool()>& interrupted) const {
  std::vector<CarvedString> hits;
  RangeCarver carver(needle, std::max<std::size_t>(min_chars, 2), std::max<std::size_t>(max_hits, 1), hits,
                     best_kernel());
  // A needle that no run can contain leaves the list empty whatever the pages hold.
  if (!carver.can_match()) return hits;

  const bool long_values_only = scope == CarveScope::LvAll || scope == CarveScope::LvSlack;
  const bool whole_page = scope == CarveScope::All || scope == CarveScope::LvAll;
  const bool slack = scope == CarveScope::Slack || scope == CarveScope::LvSlack;
  const std::string_view region = whole_page ? kRegionAll : slack ? kRegionSlack : kRegionTagData;

  // Owners are worked out once, at the first table leaf page met; names are
  // decoded once per table.
  std::optional<PageOwners> owners;
  std::vector<std::optional<std::string>> table_names(tables_.size());
  const std::optional<std::string> no_table;

  struct Interval {
    std::size_t start, end;
  };
  std::vector<Interval> used;

  for (std::uint64_t n = 1; n <= total_pages_; ++n) {
    if (carver.full()) break;
    if (interrupted && n % 4096 == 0 && interrupted()) break;
    const auto number = static_cast<std::uint32_t>(n);
    auto bytes = page_bytes(number);
    if (!bytes) continue;
    // The next page's header and tag array are the first bytes of it that
    // are read, and the hardware does not fetch across a page boundary on
    // its own: ask for them while this page is scanned.
    if (auto next = page_bytes(number + 1); next && next->size() >= kBlockBytes) {
      __builtin_prefetch(next->data());
      __builtin_prefetch(next->data() + next->size() - kBlockBytes);
    }
    auto page = Page::parse(*bytes, format_version_, format_revision_, page_size_);
    if (!page) continue;  // a page whose header does not parse is skipped
    const std::uint32_t flags = page->page_flags();
    if (long_values_only && (flags & kPageFlagLongValue) == 0) continue;

    const std::string_view page_type = carve_page_type(flags);
    const std::optional<std::string>* table = &no_table;
    if (page->is_table_leaf()) {
      if (!owners) owners = PageOwners::compute(*this);
      if (auto t = owners->owner(number)) {
        if (!table_names[*t]) table_names[*t] = carve_detail::utf8_lossy(tables_[*t].first);
        table = &table_names[*t];
      }
    }
    const Labels labels{region, flags, page_type, *table};
    const Bytes pb = *bytes;
    const std::size_t length = pb.size();

    if (whole_page) {
      carver.scan(number, pb, 0, length, labels);
      continue;
    }

    // The tag slots are read directly: a slot outside the page, or a value
    // running past its end, is no tag for carving.
    const TagExtractor tags(*page, format_version_, format_revision_, page_size_);
    const std::uint16_t count = tags.tag_count();
    const std::size_t header = page->header_size();
    auto tag_value = [&](std::uint16_t i) -> std::optional<Interval> {
      auto s = tags.slot(i);
      if (!s) return std::nullopt;
      const std::size_t begin = header + s->offset;
      if (!in_bounds(pb, begin, s->size)) return std::nullopt;
      return Interval{begin, begin + s->size};
    };

    if (!slack) {
      for (std::uint16_t i = 0; i < count; ++i) {
        if (carver.full()) break;
        auto value = tag_value(i);
        if (!value || value->start == value->end) continue;
        carver.scan(number, pb, value->start, value->end, labels);
      }
      continue;
    }

    used.clear();
    used.push_back(Interval{0, std::min(length, header)});
    const std::size_t array_bytes = 4 * static_cast<std::size_t>(count);
    used.push_back(Interval{length > array_bytes ? length - array_bytes : 0, length});
    for (std::uint16_t i = 0; i < count; ++i) {
      auto value = tag_value(i);
      if (value && value->start != value->end) used.push_back(*value);
    }
    std::sort(used.begin(), used.end(), [](const Interval& a, const Interval& b) { return a.start < b.start; });
    // Merge in start order, scanning each gap before the next interval.
    std::size_t cursor = 0;
    std::size_t merged_end = 0;
    bool open = false;
    for (const Interval& iv : used) {
      if (open && iv.start <= merged_end) {
        merged_end = std::max(merged_end, iv.end);
        continue;
      }
      if (open) cursor = std::max(cursor, merged_end);
      if (cursor < iv.start) {
        carver.scan(number, pb, cursor, iv.start, labels);
        if (carver.full()) break;
      }
      open = true;
      merged_end = iv.end;
    }
    if (open) cursor = std::max(cursor, merged_end);
    if (!carver.full() && cursor < length) carver.scan(number, pb, cursor, length, labels);
  }
  return hits;
}

}  // namespace pellumo
