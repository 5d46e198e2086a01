// The EseDatabase type: one opened database file, read-only for its whole
// life. The methods live in one file per group and are listed in the type's
// method table in ese_database.cpp.
#pragma once

#include <Python.h>

#include <memory>
#include <string>

#include "database/database.h"
#include "python/module_state.h"
#include "recovery/dropped.h"

namespace pellumo::python {

// What an instance owns, made in tp_new and destroyed in tp_dealloc.
struct EseDatabaseData {
  // Shared with the Arrow streams made from it, which may outlive the instance.
  std::shared_ptr<Database> database;
  std::string path;  // the constructor's argument, as UTF-8 bytes
  // The dropped tables, found on the first call that needs them (their
  // record counts only once asked for).
  std::shared_ptr<const DroppedTables> dropped;
  bool dropped_counted = false;
};

struct PyEseDatabase {
  PyObject_HEAD
  EseDatabaseData* data;  // never null in a constructed instance
  // Access claims in progress: n > 0 shared claims, -1 one exclusive claim.
  Py_ssize_t borrows;
};

// Claims access to an instance for the duration of one call: shared for
// every method and attribute, exclusive for __exit__. Every call holds the
// interpreter lock throughout and nothing changes the instance, so two claims
// can only meet when a call re-enters the same object (Python code run during
// an argument conversion, say); the later claim then fails with RuntimeError.
class Borrow {
 public:
  enum class Mode { Shared, Exclusive };
  Borrow(PyObject* self, Mode mode);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;
  // False with RuntimeError set when the claim conflicts with one in progress.
  bool ok() const { return self_ != nullptr; }

 private:
  PyEseDatabase* self_ = nullptr;
};

inline PyEseDatabase* as_ese_database(PyObject* self) { return reinterpret_cast<PyEseDatabase*>(self); }
inline const Database& database_of(PyObject* self) { return *as_ese_database(self)->data->database; }
inline ModuleState& state_of(PyObject* self) { return module_state_of(Py_TYPE(self)); }

// Creates the EseDatabase type for `module`. New reference, or null with an
// exception set.
PyObject* create_ese_database_type(PyObject* module);

}  // namespace pellumo::python
