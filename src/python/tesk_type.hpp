#pragma once
// The TESK class: its instance layout and its type object.

#include <optional>

#include "model/config.hpp"
#include "model/fitted_model.hpp"
#include "python/python.hpp"

namespace tesk {

// Tests reach borrow_flag through ctypes (tests/instance_layout.py): it stays a Py_ssize_t and the
// first field after the object header.
struct TeskObject {
  PyObject_HEAD
  Py_ssize_t borrow_flag;              // 0 free, n > 0 shared uses, -1 held by fit
  ModelConfig config;                  // fixed at construction
  std::optional<FittedModel> fitted;   // absent until the first successful fit
};

// The TESK type, created on first use and kept for the life of the process. Null with a Python
// exception set when it cannot be created.
PyTypeObject* tesk_type() noexcept;

}  // namespace tesk
