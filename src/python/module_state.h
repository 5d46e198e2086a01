// Per-module state: the EseDatabase type and the strings every result reuses.
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>

#include "catalog/table_info.h"

namespace pellumo::python {

// Keys of the result dictionaries, made once at import and shared by every
// dict built afterwards. Extend the enum and kKeyText together.
enum class Key : std::size_t {
  Name,
  Type,
  Id,
  Nullable,
  // carving hits
  Page,
  Offset,
  SlackStart,
  SlackEnd,
  RegionKind,
  PageFlags,
  PageType,
  Table,
  Text,
  Count_,
};
inline constexpr std::size_t kKeyCount = static_cast<std::size_t>(Key::Count_);
inline constexpr std::array<const char*, kKeyCount> kKeyText = {
    "name",
    "type",
    "id",
    "nullable",
    "page",
    "offset",
    "slack_start",
    "slack_end",
    "region_kind",
    "page_flags",
    "page_type",
    "table",
    "text",
};

struct ModuleState {
  PyObject* ese_database_type = nullptr;
  PyObject* table_iterator_type = nullptr;
  PyObject* arrow_source_type = nullptr;
  PyObject* recovery_iterator_type = nullptr;
  PyObject* damage_warning = nullptr;  // pellumo.DamageWarning
  // uuid.UUID, imported on the first engine reading.
  PyObject* uuid_class = nullptr;
  std::array<PyObject*, kKeyCount> keys{};
  // The display name of each column type code, indexed by code.
  std::array<PyObject*, kMaxColumnType + 1> column_type_names{};

  // Borrowed references, valid while the module lives.
  PyObject* key(Key k) const { return keys[static_cast<std::size_t>(k)]; }
  PyObject* column_type_name(ColumnType type) const;
};

// Fills the strings of a zeroed state. -1 with an exception set on failure;
// whatever was made is released by clear_module_state.
int init_module_state(ModuleState& state);
int traverse_module_state(ModuleState& state, visitproc visit, void* arg);
void clear_module_state(ModuleState& state);

// The state of the module that defined `type` (EseDatabase is not
// subclassable, so the type of an instance is always that type).
ModuleState& module_state_of(PyTypeObject* type);

}  // namespace pellumo::python
