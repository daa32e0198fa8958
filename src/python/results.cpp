#include "python/results.hpp"

#include <type_traits>

#include "python/errors.hpp"

namespace tesk::py {

namespace {

// New references, or null with a Python error set.
PyObject* new_object(std::uint64_t value) noexcept { return PyLong_FromUnsignedLongLong(value); }
PyObject* new_object(double value) noexcept { return PyFloat_FromDouble(value); }

template <class Element>
PyRef to_list(const std::vector<Element>& values) {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) {
    fail_object_creation();
  }
  Py_ssize_t index = 0;
  for (const Element& value : values) {
    PyObject* item = nullptr;
    if constexpr (std::is_arithmetic_v<Element>) {
      item = new_object(value);
    } else {
      item = to_python(value).release();
    }
    // PyList_SetItem takes the element's reference even when it fails.
    if (item == nullptr || PyList_SetItem(list.get(), index, item) < 0) {
      fail_object_creation();
    }
    ++index;
  }
  return list;
}

}  // namespace

PyRef to_python(std::uint64_t value) {
  PyRef result = PyRef::steal(new_object(value));
  if (!result) {
    fail_object_creation();
  }
  return result;
}

PyRef to_python(std::string_view utf8) {
  PyRef result =
      PyRef::steal(PyUnicode_FromStringAndSize(utf8.data(), static_cast<Py_ssize_t>(utf8.size())));
  if (!result) {
    fail_object_creation();
  }
  return result;
}

PyRef to_python(const std::vector<std::uint64_t>& values) { return to_list(values); }

PyRef to_python(const std::vector<double>& values) { return to_list(values); }

PyRef to_python(const std::vector<std::vector<std::uint64_t>>& rows) { return to_list(rows); }

PyRef none() { return PyRef::borrow(Py_None); }

}  // namespace tesk::py
