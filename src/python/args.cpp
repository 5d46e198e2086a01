#include "python/args.h"

#include <algorithm>
#include <cassert>

#include "python/py_ref.h"

namespace pellumo::python {
namespace {

bool bind_positional(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, std::span<PyObject*> out) {
  assert(out.size() == signature.names.size());
  for (auto& slot : out) slot = nullptr;
  const auto limit = static_cast<Py_ssize_t>(std::min(signature.names.size(), signature.positional));
  if (nargs > limit) {
    const bool keyword_only = signature.positional < signature.names.size();
    PyErr_Format(PyExc_TypeError, "%s() takes at most %zd %sargument%s (%zd given)", signature.function, limit,
                 keyword_only ? "positional " : "", limit == 1 ? "" : "s", nargs);
    return false;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[static_cast<std::size_t>(i)] = args[i];
  return true;
}

bool bind_keyword(const ArgSpec& signature, PyObject* key, PyObject* value, std::span<PyObject*> out) {
  if (!PyUnicode_Check(key)) {
    PyErr_Format(PyExc_TypeError, "%s() keywords must be strings", signature.function);
    return false;
  }
  for (std::size_t i = 0; i < signature.names.size(); ++i) {
    // Never raises: a str that is not ASCII simply compares unequal.
    if (PyUnicode_CompareWithASCIIString(key, signature.names[i]) != 0) continue;
    if (out[i] != nullptr) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%s') and position (%zu)", signature.function,
                   signature.names[i], i + 1);
      return false;
    }
    out[i] = value;
    return true;
  }
  PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%U'", signature.function, key);
  return false;
}

bool check_required(const ArgSpec& signature, std::span<PyObject*> out) {
  for (std::size_t i = 0; i < signature.required; ++i) {
    if (out[i] == nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", signature.function, signature.names[i],
                   i + 1);
      return false;
    }
  }
  return true;
}

}  // namespace

bool parse_fastcall(const ArgSpec& signature, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    std::span<PyObject*> out) {
  if (!bind_positional(signature, args, nargs, out)) return false;
  if (kwnames != nullptr) {
    const Py_ssize_t nkw = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < nkw; ++i) {
      if (!bind_keyword(signature, PyTuple_GET_ITEM(kwnames, i), args[nargs + i], out)) return false;
    }
  }
  return check_required(signature, out);
}

bool parse_tuple_dict(const ArgSpec& signature, PyObject* args, PyObject* kwargs, std::span<PyObject*> out) {
  const Py_ssize_t nargs = PyTuple_GET_SIZE(args);
  // A tuple's items are contiguous; the interpreter's own calls use the same view.
  if (!bind_positional(signature, PySequence_Fast_ITEMS(args), nargs, out)) return false;
  if (kwargs != nullptr) {
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &key, &value)) {
      if (!bind_keyword(signature, key, value, out)) return false;
    }
  }
  return check_required(signature, out);
}

void name_argument_in_type_error(const char* name) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError)) return;
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  PyRef original_type = PyRef::steal(type);
  PyRef original = PyRef::steal(value);
  PyRef original_traceback = PyRef::steal(traceback);
  PyRef message = PyRef::steal(original ? PyObject_Str(original.get()) : PyUnicode_FromString(""));
  if (!message) return;  // the failure of str() is reported instead
  PyErr_Format(PyExc_TypeError, "argument '%s': %U", name, message.get());
}

bool arg_to_utf8(PyObject* obj, const char* name, std::string_view& out) {
  if (!PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "'%.200s' object cannot be converted to 'str'", Py_TYPE(obj)->tp_name);
    name_argument_in_type_error(name);
    return false;
  }
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) {
    name_argument_in_type_error(name);
    return false;
  }
  out = std::string_view(data, static_cast<std::size_t>(size));
  return true;
}

bool arg_to_u64(PyObject* obj, const char* name, std::uint64_t& out) {
  PyRef index = PyRef::steal(PyNumber_Index(obj));
  if (!index) {
    name_argument_in_type_error(name);
    return false;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(index.get());
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    // OverflowError for negative or too large values; passed on as it is.
    name_argument_in_type_error(name);
    return false;
  }
  out = static_cast<std::uint64_t>(value);
  return true;
}

}  // namespace pellumo::python
