#include "python/module_state.h"

namespace pellumo::python {

PyObject* ModuleState::column_type_name(ColumnType type) const {
  // The catalog accepts no code above kMaxColumnType.
  const auto code = static_cast<std::size_t>(type);
  return code < column_type_names.size() ? column_type_names[code] : nullptr;
}

int init_module_state(ModuleState& state) {
  for (std::size_t i = 0; i < kKeyCount; ++i) {
    state.keys[i] = PyUnicode_InternFromString(kKeyText[i]);
    if (state.keys[i] == nullptr) return -1;
  }
  for (std::size_t code = 0; code < state.column_type_names.size(); ++code) {
    const char* name = pellumo::column_type_name(static_cast<ColumnType>(code));
    state.column_type_names[code] = PyUnicode_InternFromString(name);
    if (state.column_type_names[code] == nullptr) return -1;
  }
  return 0;
}

int traverse_module_state(ModuleState& state, visitproc visit, void* arg) {
  // Only the type can take part in a cycle; the strings cannot.
  Py_VISIT(state.ese_database_type);
  Py_VISIT(state.table_iterator_type);
  Py_VISIT(state.arrow_source_type);
  Py_VISIT(state.recovery_iterator_type);
  Py_VISIT(state.damage_warning);
  Py_VISIT(state.uuid_class);
  return 0;
}

void clear_module_state(ModuleState& state) {
  Py_CLEAR(state.ese_database_type);
  Py_CLEAR(state.table_iterator_type);
  Py_CLEAR(state.arrow_source_type);
  Py_CLEAR(state.recovery_iterator_type);
  Py_CLEAR(state.damage_warning);
  Py_CLEAR(state.uuid_class);
  for (auto& key : state.keys) Py_CLEAR(key);
  for (auto& name : state.column_type_names) Py_CLEAR(name);
}

ModuleState& module_state_of(PyTypeObject* type) {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace pellumo::python
