#include "python/carve_methods.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "carve/carve.h"
#include "python/args.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

constexpr std::uint64_t kDefaultMinChars = 6;
constexpr std::uint64_t kDefaultMaxHits = 1000;

// The request as converted from the arguments.
struct CarveRequest {
  std::optional<std::string> needle;
  std::uint64_t min_chars = kDefaultMinChars;
  std::uint64_t max_hits = kDefaultMaxHits;
};

// needle, min_chars and max_hits, in that order; an omitted one keeps its
// default. False with an exception set when one does not convert.
bool convert_common(PyObject* needle, PyObject* min_chars, PyObject* max_hits, CarveRequest& request) {
  if (needle != nullptr && needle != Py_None) {
    std::string_view text;
    if (!arg_to_utf8(needle, "needle", text)) return false;
    request.needle.emplace(text);
  }
  if (min_chars != nullptr && !arg_to_u64(min_chars, "min_chars", request.min_chars)) return false;
  if (max_hits != nullptr && !arg_to_u64(max_hits, "max_hits", request.max_hits)) return false;
  return true;
}

// The few distinct texts that hits repeat (region kinds, page types, table
// names), each made into a str once per call and shared by every dict.
class TextCache {
 public:
  // A borrowed reference, valid while the cache lives; null with an
  // exception set when memory runs out.
  PyObject* get(const std::string& text) {
    auto it = texts_.find(text);
    if (it != texts_.end()) return it->second.get();
    PyRef made = decode_utf8_replace(text);
    if (!made) return nullptr;
    return texts_.emplace(text, std::move(made)).first->second.get();
  }

 private:
  std::unordered_map<std::string, PyRef> texts_;
};

bool set_new(PyObject* dict, PyObject* key, PyObject* value) {
  if (value == nullptr) return false;
  const int failed = PyDict_SetItem(dict, key, value);
  Py_DECREF(value);
  return failed == 0;
}

bool set_shared(PyObject* dict, PyObject* key, PyObject* value) {
  return value != nullptr && PyDict_SetItem(dict, key, value) == 0;
}

// One dict per hit, its nine keys in a fixed order.
PyRef hit_to_dict(const ModuleState& state, TextCache& cache, const CarvedString& hit) {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return {};
  PyObject* d = dict.get();
  const bool ok =
      set_new(d, state.key(Key::Page), PyLong_FromUnsignedLong(hit.page)) &&
      set_new(d, state.key(Key::Offset), PyLong_FromUnsignedLongLong(hit.offset)) &&
      set_new(d, state.key(Key::SlackStart), PyLong_FromUnsignedLongLong(hit.slack_start)) &&
      set_new(d, state.key(Key::SlackEnd), PyLong_FromUnsignedLongLong(hit.slack_end)) &&
      set_shared(d, state.key(Key::RegionKind), cache.get(hit.region_kind)) &&
      set_new(d, state.key(Key::PageFlags), PyLong_FromUnsignedLong(hit.page_flags)) &&
      set_shared(d, state.key(Key::PageType), cache.get(hit.page_type)) &&
      set_shared(d, state.key(Key::Table), hit.table ? cache.get(*hit.table) : Py_None) &&
      set_new(d, state.key(Key::Text), decode_utf8_replace(hit.text).release());
  if (!ok) return {};
  return dict;
}

PyObject* run_carve(PyObject* self, CarveScope scope, const CarveRequest& request) {
  auto carved = database_of(self).carve_utf16le_strings_scoped(scope, request.needle, request.min_chars,
                                                               request.max_hits);
  if (!carved) return set_ese_error(carved.error());
  const std::vector<CarvedString>& hits = carved.value();

  const ModuleState& state = state_of(self);
  TextCache cache;
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(hits.size())));
  if (!list) return nullptr;
  Py_ssize_t i = 0;
  for (const CarvedString& hit : hits) {
    PyRef dict = hit_to_dict(state, cache, hit);
    if (!dict) return nullptr;
    PyList_SET_ITEM(list.get(), i++, dict.release());
  }
  return list.release();
}

}  // namespace

PyObject* carve_utf16le_strings(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"needle", "min_chars", "max_hits"};
    static constexpr ArgSpec kSpec{"EseDatabase.carve_utf16le_strings", kParams, 0};
    PyObject* values[3];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    CarveRequest request;
    if (!convert_common(values[0], values[1], values[2], request)) return nullptr;
    return run_carve(self, CarveScope::Slack, request);
  });
}

PyObject* carve_utf16le_strings_scoped(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                       PyObject* kwnames) {
  return guarded([&]() -> PyObject* {
    static constexpr const char* kParams[] = {"scope", "needle", "min_chars", "max_hits"};
    static constexpr ArgSpec kSpec{"EseDatabase.carve_utf16le_strings_scoped", kParams, 1};
    PyObject* values[4];
    if (!parse_fastcall(kSpec, args, nargs, kwnames, values)) return nullptr;
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    // Every argument converts before the scope name is judged, so a badly
    // typed later argument is reported ahead of an unknown scope.
    std::string_view scope_name;
    if (!arg_to_utf8(values[0], "scope", scope_name)) return nullptr;
    CarveRequest request;
    if (!convert_common(values[1], values[2], values[3], request)) return nullptr;
    const std::optional<CarveScope> scope = carve_scope_from_name(scope_name);
    if (!scope) {
      PyErr_Format(PyExc_ValueError, "Invalid scope: %U (expected: slack, all, tag_data, lv_all, lv_slack)",
                   values[0]);
      return nullptr;
    }
    return run_carve(self, *scope, request);
  });
}

}  // namespace pellumo::python
