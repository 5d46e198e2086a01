#include "python/damage.h"

#include <string>
#include <utility>

#include "python/convert.h"

namespace pellumo::python {
namespace {

PyObject* g_damage_warning = nullptr;  // borrowed from the module's state
// The attribute names, made once: interning a name afresh for every
// warning churned the interpreter's table of interned strings. Kept for the
// process's life (the module loads once per process).
PyObject* g_path_name = nullptr;
PyObject* g_table_name = nullptr;
PyObject* g_damage_name = nullptr;
PyObject* g_warnings_name = nullptr;
// Looked up by an interned name too: CPython's type attribute cache keys
// on the name's address and keeps the name alive, so a fresh "warn" string
// per warning pinned one more string in it whenever the allocator placed
// it somewhere new (bounded, but slow to fill: it read as a leak).
PyObject* g_warn_name = nullptr;

// d[key] = value; false with an exception set. Not PyDict_SetItemString,
// which interns its key on every call: over thousands of reports that
// showed as memory growth in the leak check, which plain keys do not.
bool put(PyObject* d, const char* key, PyObject* value) {
  PyRef name = PyRef::steal(PyUnicode_FromString(key));
  return name && value && PyDict_SetItem(d, name.get(), value) == 0;
}

bool put_count(PyObject* d, const char* key, std::uint64_t n) {
  PyRef value = PyRef::steal(PyLong_FromUnsignedLongLong(n));
  return value && put(d, key, value.get());
}

}  // namespace

PyRef make_damage_warning(std::string_view path, std::string_view table, const ReadDamage& damage) {
  if (g_damage_warning == nullptr) {
    PyErr_SetString(PyExc_SystemError, "pellumo.DamageWarning is gone");
    return {};
  }
  PyRef text = decode_utf8_replace(damage_warning_text(path, table, damage));
  if (!text) return {};
  PyRef warning = PyRef::steal(PyObject_CallOneArg(g_damage_warning, text.get()));
  if (!warning) return {};
  // The path as os.fsdecode gives it: it opens the same file again.
  PyRef path_obj = PyRef::steal(PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size())));
  PyRef table_obj = decode_utf8_replace(table);
  PyRef counts = damage_dict(damage);
  if (!path_obj || !table_obj || !counts || PyObject_SetAttr(warning.get(), g_path_name, path_obj.get()) < 0 ||
      PyObject_SetAttr(warning.get(), g_table_name, table_obj.get()) < 0 ||
      PyObject_SetAttr(warning.get(), g_damage_name, counts.get()) < 0) {
    return {};
  }
  return warning;
}

PyObject* create_damage_warning_type() {
  for (auto [name, text] : {std::pair{&g_path_name, "path"}, {&g_table_name, "table"}, {&g_damage_name, "damage"},
                                   {&g_warnings_name, "warnings"}, {&g_warn_name, "warn"}}) {
    if (*name == nullptr && (*name = PyUnicode_InternFromString(text)) == nullptr) return nullptr;
  }
  return PyErr_NewExceptionWithDoc("pellumo.DamageWarning", kDamageWarningDoc, PyExc_RuntimeWarning, nullptr);
}

void set_damage_warning_type(PyObject* category) { g_damage_warning = category; }
PyObject* damage_warning_type() { return g_damage_warning; }

PyRef damage_dict(const ReadDamage& damage) {
  PyRef reasons = PyRef::steal(PyDict_New());
  if (!reasons) return {};
  for (std::size_t i = 1; i < ReadDamage::kReasonCount; ++i) {
    if (damage.refused[i] == 0) continue;
    const std::string name(refusal_name(static_cast<Refusal>(i)));
    if (!put_count(reasons.get(), name.c_str(), damage.refused[i])) return {};
  }
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !put_count(d.get(), "pages_refused", damage.pages_refused()) ||
      !put(d.get(), "reasons", reasons.get()) ||
      !put_count(d.get(), "pages_beyond_end", damage.beyond_end) ||
      !put_count(d.get(), "entries_skipped", damage.entries_skipped) ||
      !put_count(d.get(), "records_undecodable", damage.records_undecodable) ||
      !put_count(d.get(), "values_unresolved", damage.values_unresolved)) {
    return {};
  }
  return d;
}

int warn_damage(std::string_view path, std::string_view table, const ReadDamage& damage) {
  if (!damage.any()) return 0;
  PyRef warning = make_damage_warning(path, table, damage);
  if (!warning) return -1;
  // warnings.warn, not PyErr_WarnEx: only it takes a warning instance,
  // whose attributes callers read. Level 1 is the caller's own line.
  // The interpreter imports warnings at start-up: take it from sys.modules
  // without going through the import machinery on every table read.
  PyRef module = PyRef::steal(PyImport_GetModule(g_warnings_name));
  if (!module) {
    if (PyErr_Occurred()) return -1;
    module = PyRef::steal(PyImport_ImportModule("warnings"));
    if (!module) return -1;
  }
  PyRef warn = PyRef::steal(PyObject_GetAttr(module.get(), g_warn_name));
  if (!warn) return -1;
  PyRef done = PyRef::steal(PyObject_CallOneArg(warn.get(), warning.get()));
  return done ? 0 : -1;
}

void warn_damage_unraisable(std::string_view path, std::string_view table, const ReadDamage& damage,
                            PyObject* context) {
  if (!damage.any() || g_damage_warning == nullptr) return;
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  if (warn_damage(path, table, damage) < 0) PyErr_WriteUnraisable(context);
  PyErr_Restore(type, value, traceback);
}

}  // namespace pellumo::python
