#include "carve/range_scan.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

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
    mask |= static_cast<std::uint32_t>(is_printable_unit(read_u16_le(block, 2 * k).value_or(0))) << k;
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
    __m128i units = zero;
    (void)copy_bytes(block, at, &units, sizeof units);  // a block is 64 bytes
    return _mm_cmpeq_epi16(_mm_subs_epu16(_mm_sub_epi16(units, bias), span), zero);
  };
  const __m128i low = _mm_packs_epi16(characters(0), characters(16));
  const __m128i high = _mm_packs_epi16(characters(32), characters(48));
  return static_cast<std::uint32_t>(_mm_movemask_epi8(low)) |
         (static_cast<std::uint32_t>(_mm_movemask_epi8(high)) << 16);
}
#endif

// Walks the code units of `units` (which starts at page offset `base`)
// and calls on_run(start, end) with the page offsets of every maximal run
// of characters at least `min_bytes` long, stopping early when on_run
// returns true. Blocks without a character are passed over whole unless
// a run is open.
template <class MaskFn, class OnRun>
void scan_units(Bytes units, std::size_t base, std::size_t min_bytes, MaskFn mask_of, OnRun& on_run) {
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
    const bool character = is_printable_unit(read_u16_le(units, pos).value_or(0));
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

}  // namespace

CarveNeedle::CarveNeedle(const std::optional<std::string>& needle) {
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

// Runs are short and many, so this looks for the first character and
// compares from there rather than paying a general substring search's setup
// on every run.
bool CarveNeedle::found_in(Bytes run) const {
  const std::size_t n = pattern.size();
  if (run.size() < n) return false;
  // Where a match can start: [0, starts.size()).
  const Bytes starts = *slice(run, 0, run.size() - n + 1);
  const auto first = static_cast<std::uint8_t>(pattern[0]);
  for (std::size_t at = find_byte(starts, 0, first); at < starts.size(); at = find_byte(starts, at + 2, first)) {
    if (matches_at(run, at, pattern)) return true;
    // The first character is never zero, so `at` is on a code unit.
  }
  return false;
}

RangeCarver::RangeCarver(const std::optional<std::string>& needle, std::size_t min_chars, std::size_t max_hits,
                         std::vector<CarvedString>& hits, carve_detail::Kernel kernel)
    : needle_(needle),
      min_chars_(std::max<std::size_t>(min_chars, 1)),
      min_bytes_(min_chars_ > SIZE_MAX / 2 ? SIZE_MAX : 2 * min_chars_),
      max_hits_(max_hits),
      hits_(hits),
      kernel_(kernel) {}

void RangeCarver::scan(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                       const CarveLabels& labels) {
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

bool RangeCarver::emit(std::uint32_t page, Bytes page_bytes, std::size_t run_start, std::size_t run_end, std::size_t start,
          std::size_t end, const CarveLabels& labels) {
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

namespace carve_detail {

bool kernel_available(Kernel kernel) {
#if PELLUMO_CARVE_SSE2
  return kernel == Kernel::Portable || kernel == Kernel::Sse2;
#else
  return kernel == Kernel::Portable;
#endif
}

Kernel best_kernel() {
#if PELLUMO_CARVE_SSE2
  return Kernel::Sse2;
#else
  return Kernel::Portable;
#endif
}

void carve_range_with(Kernel kernel, std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                      std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                      const std::optional<std::string>& table, const std::optional<std::string>& needle,
                      std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits) {
  if (!kernel_available(kernel)) kernel = Kernel::Portable;
  RangeCarver carver(needle, min_chars, max_hits, hits, kernel);
  carver.scan(page, page_bytes, start, end, CarveLabels{region_kind, page_flags, page_type, table});
}

}  // namespace carve_detail

void carve_utf16le_from_range(std::uint32_t page, Bytes page_bytes, std::size_t start, std::size_t end,
                              std::string_view region_kind, std::uint32_t page_flags, std::string_view page_type,
                              const std::optional<std::string>& table, const std::optional<std::string>& needle,
                              std::size_t min_chars, std::size_t max_hits, std::vector<CarvedString>& hits) {
  carve_detail::carve_range_with(carve_detail::best_kernel(), page, page_bytes, start, end, region_kind, page_flags, page_type,
                                 table, needle, min_chars, max_hits, hits);
}

}  // namespace pellumo
