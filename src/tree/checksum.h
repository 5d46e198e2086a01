// Page checksums as the engine writes them.
//
// Pages of 8 KiB or less hold one checksum. With page flag 0x2000 (the ECC
// checksum format) its low 32 bits are the XOR of every 32-bit word of the
// page, the first two (the checksum itself) taken as 0, XOR the page
// number. Without the flag (older files) the first word is the XOR of all
// the other words and 0x89ABCDEF, and the second word is the page number.
// Pages of 16 and 32 KiB are checked in blocks (4 KiB for 16 KiB pages,
// 8 KiB for 32 KiB pages): block 0 as above against the u64 at offset 0,
// block i against the u64 at offset 40 + 8 (i - 1), each block's XOR taken
// with the page number. Only the XOR half is checked; a stored checksum
// that reads 0 is not checked at all (temporary databases write none).
#pragma once

#include <cstdint>

#include "utils/bytes.h"

namespace pellumo {

enum class ChecksumState : std::uint8_t { Unchecked, Good, Bad };

// The state of the checksum of `page` (a whole page of `page_size` bytes,
// page number `page_number`).
ChecksumState verify_page_checksum(Bytes page, std::uint32_t page_number, std::uint32_t page_size);

// The XOR of the little-endian 32-bit words of `bytes` from word `first_word`
// on (a trailing part word is ignored). Exposed for the fixture writer's
// tests.
std::uint32_t xor_words(Bytes bytes, std::size_t first_word);

inline constexpr std::uint32_t kPageFlagNewChecksum = 0x2000;
inline constexpr std::uint32_t kOldChecksumSeed = 0x89ABCDEF;

}  // namespace pellumo
