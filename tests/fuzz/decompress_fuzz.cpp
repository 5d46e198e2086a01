// Decompression fuzzing: the input is a compressed value (header byte
// first), given to the value decoder, to each stream decoder with the
// declared size it carries, and to the text decoder in every code page.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "record/decompress.h"
#include "utils/decode_string.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const pellumo::Bytes in(data, size);
  std::string out;
  if (pellumo::decompress_value(in, out) && size >= 3) {
    const std::uint8_t scheme = data[0] >> 3;
    const std::size_t declared = data[1] | (data[2] << 8);
    // A sized stream that decodes gives exactly its declared size.
    if ((scheme == pellumo::kSchemeXpress || scheme == pellumo::kSchemeLz4) && out.size() != declared) std::abort();
  }
  if (size >= 3) {
    const std::size_t declared = data[1] | (data[2] << 8);
    if (pellumo::xpress_decompress(in.subspan(3), declared, out) && out.size() != declared) std::abort();
    if (pellumo::lz4_decompress(in.subspan(3), declared, out) && out.size() != declared) std::abort();
  }
  pellumo::unpack_seven_bit(in, size * 8 / 7, size % 2 == 0, out);
  for (std::uint32_t cp : {1200u, 1252u, 20127u, 0u}) {
    auto text = pellumo::decode_string(in, cp);
    if (text.ok() && text->size() > 4 * size + 3) std::abort();  // at most 3 bytes per input byte, plus U+FFFD
  }
  return 0;
}
