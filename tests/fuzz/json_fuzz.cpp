// JSON text of the export from arbitrary bytes: strings (with invalid UTF-8
// and control bytes), doubles from raw bits, and record lines whose names are
// the input split at zero bytes. Beyond not crashing, every output must be
// valid UTF-8 with no raw control byte, and every finite double must read
// back to its own bits.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "export/json_line.h"
#include "utils/utf8.h"

namespace {

void require(bool ok) {
  if (!ok) std::abort();
}

void check_text(const std::string& out) {
  require(pellumo::is_valid_utf8(out));
  for (const char c : out) require(static_cast<unsigned char>(c) >= 0x20 || c == '\n');
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace pellumo;
  const std::string_view input(reinterpret_cast<const char*>(data), size);

  std::string out;
  json::append_string(out, input);
  check_text(out);
  require(out.size() >= 2 && out.front() == '"' && out.back() == '"');

  std::string decoded;
  append_utf8_lossy(decoded, input);
  require(is_valid_utf8(decoded));
  require(is_valid_utf8(input) == (decoded == input));

  for (std::size_t off = 0; off + 8 <= size; off += 8) {
    double d;
    std::memcpy(&d, data + off, sizeof d);
    char text[json::kMaxDoubleChars + 1];
    const std::size_t n = json::format_double(d, text);
    require(n > 0 && n <= json::kMaxDoubleChars);
    text[n] = '\0';
    if (std::isfinite(d)) {
      const double back = std::strtod(text, nullptr);
      require(std::memcmp(&back, &d, sizeof d) == 0);
    } else {
      require(n == 1 && text[0] == '0');
    }
  }

  std::vector<std::string_view> names;
  std::size_t start = 0;
  for (std::size_t i = 0; i <= size; ++i) {
    if (i == size || data[i] == 0) {
      names.push_back(input.substr(start, i - start));
      start = i + 1;
    }
  }
  JsonLineWriter writer;
  std::string line;
  for (int round = 0; round < 2; ++round) {
    line.clear();
    writer.append_members(
        line, names.size(), [&](std::size_t i) { return names[i]; },
        [](std::string& o, std::size_t i) { json::append_uint(o, i); });
    check_text(line);
    require(line.size() >= 3 && line.front() == '{' && line.substr(line.size() - 2) == "}\n");
  }
  return 0;
}
