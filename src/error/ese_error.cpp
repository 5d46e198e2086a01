#include "error/ese_error.h"

#include <cstring>
#include <string>

namespace pellumo {
namespace {

std::string hex(std::uint64_t v) {
  static const char kDigits[] = "0123456789abcdef";
  char buf[17];
  int n = 0;
  do {
    buf[n++] = kDigits[v & 0xF];
    v >>= 4;
  } while (v != 0);
  std::string out = "0x";
  while (n > 0) out.push_back(buf[--n]);
  return out;
}

// Names are shown as the list of their byte values: [65, 66].
std::string byte_list(const std::string& bytes) {
  std::string out = "[";
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i) out += ", ";
    out += std::to_string(static_cast<unsigned char>(bytes[i]));
  }
  out += "]";
  return out;
}

}  // namespace

std::string EseError::io_description() const {
  if (io_has_text_) return text_;
  int code = static_cast<int>(numbers_[0]);
  char buf[256];
  // GNU strerror_r returns the text, which may or may not live in buf.
  const char* text = strerror_r(code, buf, sizeof buf);
  return std::string(text) + " (os error " + std::to_string(code) + ")";
}

std::string EseError::message() const {
  using std::to_string;
  const auto& n = numbers_;
  std::string out = context_;
  switch (kind_) {
    case Kind::InvalidHeader: return out + "Invalid database header";
    case Kind::InvalidSignature: return out + "Invalid signature, expected 0x89ABCDEF, got " + hex(n[0]);
    case Kind::InvalidPageNumber: return out + "Invalid page number: " + to_string(n[0]);
    case Kind::InvalidTagNumber: return out + "Invalid tag number: " + to_string(n[0]);
    case Kind::TableNotFound: return out + "Table not found: " + byte_list(text_);
    case Kind::ColumnNotFound: return out + "Column not found: " + byte_list(text_);
    case Kind::UnsupportedColumnType: return out + "Unsupported column type: " + to_string(n[0]);
    case Kind::CallbackCatalogType: return out + "Callback catalog type is not supported";
    case Kind::InvalidCatalogEntry: return out + "Invalid catalog entry";
    case Kind::PageDataTooShort:
      return out + "Page data too short, expected at least " + to_string(n[0]) + " bytes, got " + to_string(n[1]);
    case Kind::TagOffsetOutOfBounds:
      return out + "Tag offset out of bounds: offset=" + to_string(n[0]) + ", size=" + to_string(n[1]) +
             ", page_size=" + to_string(n[2]);
    case Kind::UnknownCodepage: return out + "Unknown codepage: " + to_string(n[0]);
    case Kind::Io: return out + "IO error: " + io_description();
    case Kind::Parse: return out + "Parse error: " + text_;
    case Kind::CorruptStructure:
      return out + "Corrupt structure: page " + to_string(n[0]) + " refused (" + text_ + ")";
  }
  return out + "Unknown error";
}

}  // namespace pellumo
