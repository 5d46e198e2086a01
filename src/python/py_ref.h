// An owned reference to a Python object. Results are built in PyRef locals
// and handed to the interpreter with release() in the return statement, so a
// failure part-way drops everything built so far.
#pragma once

#include <Python.h>

#include <utility>

namespace pellumo::python {

class PyRef {
 public:
  PyRef() = default;
  // Takes over a reference the caller owns (a "new reference"); may be null.
  static PyRef steal(PyObject* obj) { return PyRef(obj); }
  // Adds a reference to a borrowed object; may be null.
  static PyRef new_ref(PyObject* obj) {
    Py_XINCREF(obj);
    return PyRef(obj);
  }

  PyRef(const PyRef&) = delete;
  PyRef& operator=(const PyRef&) = delete;
  PyRef(PyRef&& other) noexcept : obj_(other.obj_) { other.obj_ = nullptr; }
  PyRef& operator=(PyRef&& other) noexcept {
    if (this != &other) {
      PyObject* old = obj_;
      obj_ = std::exchange(other.obj_, nullptr);
      Py_XDECREF(old);
    }
    return *this;
  }
  ~PyRef() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Gives up ownership: the caller now owns the reference.
  [[nodiscard]] PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit PyRef(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace pellumo::python
