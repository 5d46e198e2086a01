#include "utils/utf8.h"

#include <cstring>

namespace pellumo {

std::size_t utf8_sequence(const unsigned char* p, std::size_t avail, std::size_t& bad) {
  const unsigned char b0 = p[0];
  std::size_t need;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    need = 2;
  } else if (b0 == 0xE0) {
    need = 3;
    lo = 0xA0;  // no overlong forms
  } else if (b0 == 0xED) {
    need = 3;
    hi = 0x9F;  // no surrogates
  } else if (b0 >= 0xE1 && b0 <= 0xEF) {
    need = 3;
  } else if (b0 == 0xF0) {
    need = 4;
    lo = 0x90;  // no overlong forms
  } else if (b0 >= 0xF1 && b0 <= 0xF3) {
    need = 4;
  } else if (b0 == 0xF4) {
    need = 4;
    hi = 0x8F;  // nothing above U+10FFFF
  } else {
    bad = 1;  // a continuation byte, C0, C1 or F5..FF starts nothing
    return 0;
  }
  std::size_t i = 1;
  for (; i < need && i < avail; ++i) {
    const unsigned char c = p[i];
    const bool ok = i == 1 ? (c >= lo && c <= hi) : (c >= 0x80 && c <= 0xBF);
    if (!ok) break;
  }
  if (i == need) return need;
  bad = i;
  return 0;
}

Utf8Fault find_utf8_fault(std::string_view bytes, std::size_t from) {
  const auto* p = reinterpret_cast<const unsigned char*>(bytes.data());
  const std::size_t n = bytes.size();
  std::size_t i = from;
  while (i < n) {
    if (p[i] < 0x80) {
      ++i;
      continue;
    }
    std::size_t bad = 0;
    const std::size_t len = utf8_sequence(p + i, n - i, bad);
    if (len == 0) return Utf8Fault{i, bad};
    i += len;
  }
  return Utf8Fault{n, 0};
}

void append_utf8_lossy(std::string& out, std::string_view bytes) {
  std::size_t from = 0;
  for (;;) {
    const Utf8Fault fault = find_utf8_fault(bytes, from);
    out.append(bytes.substr(from, fault.offset - from));
    if (fault.length == 0) return;
    out.append(kUtf8Replacement, 3);
    from = fault.offset + fault.length;
  }
}

std::size_t write_utf8_lossy(std::string_view bytes, char* out) {
  char* p = out;
  std::size_t from = 0;
  for (;;) {
    const Utf8Fault fault = find_utf8_fault(bytes, from);
    const std::size_t run = fault.offset - from;
    if (run != 0) std::memcpy(p, bytes.data() + from, run);
    p += run;
    if (fault.length == 0) return static_cast<std::size_t>(p - out);
    std::memcpy(p, kUtf8Replacement, 3);
    p += 3;
    from = fault.offset + fault.length;
  }
}

}  // namespace pellumo
