// The module's iterator objects (iter_table's, recover's): a native reader
// that borrows the Database of an EseDatabase, which the iterator keeps
// alive with a strong reference, and the notice of the damage the reader met.
//
// `State` owns the reader and has a `DamageNotice notice` and a
// `const ReadDamage& damage() const` that reports what the reader could
// not read so far. Each iterator type writes only its own `next`.
#pragma once

#include <Python.h>

#include <memory>

#include "python/damage.h"

namespace pellumo::python {

template <class State>
struct NativeIterator {
  PyObject_HEAD
  PyObject* database;  // the EseDatabase, strong reference
  State* state;        // null once exhausted or after an error

  static NativeIterator* of(PyObject* self) { return reinterpret_cast<NativeIterator*>(self); }

  // Drops the reader: always before the database it borrows.
  void finish() {
    delete state;
    state = nullptr;
  }

  // The reader is at its end: the warning about what it could not read goes
  // out now, in place of StopIteration when a filter makes it an error.
  // Returns null for next() to return.
  PyObject* end() {
    const int failed = state->notice.tell(state->damage());
    finish();
    (void)failed;  // with the error set, returning null raises it
    return nullptr;
  }

  // A new iterator of `type` (made by create_type) over `made`, holding
  // `database`. Null with an exception set.
  static PyObject* make(PyObject* type_object, PyObject* database, std::unique_ptr<State> made) {
    auto* type = reinterpret_cast<PyTypeObject*>(type_object);
    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
    PyObject* it = alloc(type, 0);
    if (it == nullptr) return nullptr;
    of(it)->database = Py_NewRef(database);
    of(it)->state = made.release();
    return it;
  }

  // The iterator type `name` (a string literal: the type keeps pointing at
  // it), stepped by `next`. Made only by the module's methods: no
  // constructor, not subclassable.
  static PyObject* create_type(PyObject* module, const char* name, const char* doc, iternextfunc next) {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(doc)},
        {Py_tp_dealloc, reinterpret_cast<void*>(dealloc)},
        {Py_tp_traverse, reinterpret_cast<void*>(traverse)},
        {Py_tp_clear, reinterpret_cast<void*>(clear)},
        {Py_tp_iter, reinterpret_cast<void*>(PyObject_SelfIter)},
        {Py_tp_iternext, reinterpret_cast<void*>(next)},
        {0, nullptr},
    };
    PyType_Spec spec = {
        .name = name,
        .basicsize = sizeof(NativeIterator),
        .itemsize = 0,
        .flags = Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_HAVE_GC |
                 Py_TPFLAGS_DISALLOW_INSTANTIATION,
        .slots = slots,
    };
    return PyType_FromModuleAndSpec(module, &spec, nullptr);
  }

 private:
  static int traverse(PyObject* self, visitproc visit, void* arg) {
    Py_VISIT(Py_TYPE(self));
    Py_VISIT(of(self)->database);
    return 0;
  }

  static int clear(PyObject* self) {
    NativeIterator* it = of(self);
    // Released before its end: the damage met so far is told all the same.
    if (it->state != nullptr) it->state->notice.tell_unraisable(it->state->damage(), it->database);
    it->finish();
    Py_CLEAR(it->database);
    return 0;
  }

  static void dealloc(PyObject* self) {
    PyObject_GC_UnTrack(self);
    clear(self);
    PyTypeObject* type = Py_TYPE(self);
    auto free_fn = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
    free_fn(self);
    Py_DECREF(type);
  }
};

}  // namespace pellumo::python
