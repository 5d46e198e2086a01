#include "python/check_methods.h"

#include "database/check.h"
#include "database/database.h"
#include "python/convert.h"
#include "python/errors.h"
#include "python/ese_database.h"
#include "python/py_ref.h"

namespace pellumo::python {
namespace {

// Sets d[key] = value, taking the new reference `value`.
bool put(PyObject* d, const char* key, PyObject* value) {
  PyRef owned = PyRef::steal(value);
  return owned && PyDict_SetItemString(d, key, owned.get()) == 0;
}

PyObject* new_bool(bool v) { return Py_NewRef(v ? Py_True : Py_False); }
PyObject* new_size(std::size_t v) { return PyLong_FromSize_t(v); }
PyObject* new_text(const std::string& s) { return decode_utf8_replace(s).release(); }

PyRef header_dict(const CheckReport& r) {
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !put(d.get(), "format_version", PyLong_FromUnsignedLong(r.format_version)) ||
      !put(d.get(), "format_revision", PyLong_FromUnsignedLong(r.format_revision)) ||
      !put(d.get(), "page_size", PyLong_FromUnsignedLong(r.page_size)) ||
      !put(d.get(), "total_pages", PyLong_FromUnsignedLong(r.total_pages)) ||
      !put(d.get(), "state", new_text(r.state_name)) ||
      !put(d.get(), "state_code", PyLong_FromUnsignedLong(r.state)) ||
      !put(d.get(), "shadow_header_matches", new_bool(r.shadow_header_matches))) {
    return {};
  }
  return d;
}

PyRef tree_dict(const TreeCheck& t) {
  PyRef refused = PyRef::steal(PyList_New(0));
  if (!refused) return {};
  for (const RefusedPage& p : t.refused) {
    PyRef item = PyRef::steal(PyDict_New());
    if (!item || !put(item.get(), "page", PyLong_FromUnsignedLong(p.page)) ||
        !put(item.get(), "parent", PyLong_FromUnsignedLong(p.parent)) ||
        !put(item.get(), "reason", new_text(std::string(refusal_name(p.reason)))) ||
        PyList_Append(refused.get(), item.get()) < 0) {
      return {};
    }
  }
  PyRef d = PyRef::steal(PyDict_New());
  if (!d || !put(d.get(), "kind", new_text(t.kind)) || !put(d.get(), "name", new_text(t.name)) ||
      !put(d.get(), "table", new_text(t.table)) || !put(d.get(), "root_page", PyLong_FromUnsignedLong(t.root_page)) ||
      !put(d.get(), "object_id", PyLong_FromUnsignedLong(t.object_id)) ||
      !put(d.get(), "pages_visited", new_size(t.pages_visited)) ||
      !put(d.get(), "pages_refused", refused.release()) || !put(d.get(), "deleted_nodes", new_size(t.deleted_nodes)) ||
      !put(d.get(), "unreadable_tags", new_size(t.unreadable_tags)) ||
      !put(d.get(), "undecodable_records", new_size(t.undecodable_records)) ||
      !put(d.get(), "unresolved_long_values", new_size(t.unresolved_long_values)) ||
      !put(d.get(), "error", t.error ? new_text(*t.error) : Py_NewRef(Py_None)) ||
      !put(d.get(), "damaged", new_bool(t.damaged()))) {
    return {};
  }
  return d;
}

}  // namespace

bool raise_if_size_changed(PyObject* self) {
  if (!database_of(self).size_changed()) return false;
  PyErr_SetString(PyExc_OSError, "File changed size while open");
  return true;
}

PyObject* check(PyObject* self, PyObject* /*unused*/) {
  return guarded([&]() -> PyObject* {
    Borrow borrow(self, Borrow::Mode::Shared);
    if (!borrow.ok()) return nullptr;
    bool interrupted = false;
    const CheckReport report = check_database(database_of(self), [&] {
      interrupted = interrupted || PyErr_CheckSignals() < 0;
      return interrupted;
    });
    if (interrupted) return nullptr;
    if (raise_if_size_changed(self)) return nullptr;
    PyRef header = header_dict(report);
    PyRef trees = PyRef::steal(PyList_New(0));
    PyRef orphans = PyRef::steal(PyList_New(0));
    if (!header || !trees || !orphans) return nullptr;
    for (const TreeCheck& t : report.trees) {
      PyRef d = tree_dict(t);
      if (!d || PyList_Append(trees.get(), d.get()) < 0) return nullptr;
    }
    for (std::uint32_t n : report.orphan_pages) {
      PyRef v = PyRef::steal(PyLong_FromUnsignedLong(n));
      if (!v || PyList_Append(orphans.get(), v.get()) < 0) return nullptr;
    }
    PyRef d = PyRef::steal(PyDict_New());
    if (!d || !put(d.get(), "header", header.release()) || !put(d.get(), "trees", trees.release()) ||
        !put(d.get(), "unreached_pages", new_size(report.unreached_pages)) ||
        !put(d.get(), "orphan_pages", orphans.release()) || !put(d.get(), "damaged", new_bool(report.damaged()))) {
      return nullptr;
    }
    return d.release();
  });
}

}  // namespace pellumo::python
