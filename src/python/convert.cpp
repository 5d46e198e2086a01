#include "python/convert.h"

namespace pellumo::python {

PyRef decode_utf8_replace(std::string_view bytes) {
  // CPython's "replace" handler substitutes one U+FFFD per maximal
  // subpart of an ill-formed sequence, as the Unicode Standard recommends.
  return PyRef::steal(
      PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()), "replace"));
}

}  // namespace pellumo::python
